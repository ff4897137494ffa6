"""One run of a Python client for `scripts/bench python`, in the benchmark's
virtual environment (bqx and confluent-kafka installed side by side):

  py_client.py CLIENT produce BOOTSTRAP TOPIC COUNT SIZE
  py_client.py CLIENT consume BOOTSTRAP TOPIC COUNT SIZE GROUP

CLIENT: bqx (Session.produce per message, synch mode 4, send window 5,
then sync(2)), bqx-many (Session.produce_many, same mode), confluent
(Producer.produce per message with its defaults, then flush()); consuming:
bqx (Session.consume, receive window 1000), confluent (poll() per message),
confluent-batch (consume(1000)). Produce runs time from the first produce to
the end of the flush (the close after it is not counted); consume runs from
the first message to the COUNTth (neither the group's join before it nor
the close after it is counted). Every consumed value is
checked for its size; a run with fewer messages fails. Prints one line of
fields: count, seconds, msgs_per_s, client_cpu_s (process CPU, the
client's threads included).
"""

import resource
import sys
import time


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def produce_bqx(bootstrap: str, topic: str, values: list, many: bool) -> float:
    import bqx
    with bqx.Session() as session:
        session.connect(bootstrap, topic)
        session.sync(4, 5)
        produce = session.produce
        if many:
            session.produce_many(values)
        else:
            for value in values:
                produce(value)
        session.sync(2, 0, 0)
        return time.monotonic()


def produce_confluent(bootstrap: str, topic: str, values: list) -> float:
    from confluent_kafka import Producer
    failed = []

    def report(error, _message) -> None:
        if error is not None:
            failed.append(error)
    producer = Producer({"bootstrap.servers": bootstrap, "on_delivery": report})
    produce = producer.produce
    for value in values:
        while True:
            try:
                produce(topic, value)
                break
            except BufferError:
                producer.poll(0.01)
    if producer.flush(120) or failed:
        raise SystemExit("confluent: %d not delivered" % max(len(failed), 1))
    return time.monotonic()


def consume_bqx(bootstrap: str, topic: str, count: int, size: int,
                group: str) -> tuple[float, float]:
    import bqx
    with bqx.Session(config={"auto.offset.reset": "earliest"}) as session:
        session.connect(bootstrap, topic)
        session.sync(0, 100, 1000)
        got = 0
        start = 0.0
        for message in session.consume(group, timeout=30):
            if got == 0:
                start = time.monotonic()
            if len(message.value) != size:
                raise SystemExit("bqx: a value of %d bytes" % len(message.value))
            got += 1
            if got == count:
                return start, time.monotonic()
    raise SystemExit("bqx: %d of %d messages" % (got, count))


def consume_confluent(bootstrap: str, topic: str, count: int, size: int, group: str,
                      batch: bool) -> tuple[float, float]:
    from confluent_kafka import Consumer
    consumer = Consumer({"bootstrap.servers": bootstrap, "group.id": group,
                         "auto.offset.reset": "earliest"})
    consumer.subscribe([topic])
    got = 0
    start = end = 0.0
    deadline = time.monotonic() + 60
    try:
        while got < count and time.monotonic() < deadline:
            messages = consumer.consume(1000, 1.0) if batch else [consumer.poll(1.0)]
            for message in messages:
                if message is None or message.error():
                    continue
                if got == 0:
                    start = time.monotonic()
                if len(message.value()) != size:
                    raise SystemExit("confluent: a value of %d bytes" % len(message.value()))
                got += 1
        end = time.monotonic()
    finally:
        consumer.close()
    if got < count:
        raise SystemExit("confluent: %d of %d messages" % (got, count))
    return start, end


def main(argv: list) -> int:
    client, action, bootstrap, topic = argv[1:5]
    count, size = int(argv[5]), int(argv[6])
    cpu = cpu_seconds()
    if action == "produce":
        values = [(b"%010d" % i).ljust(size, b"x") for i in range(count)]
        cpu = cpu_seconds()
        start = time.monotonic()
        if client in ("bqx", "bqx-many"):
            end = produce_bqx(bootstrap, topic, values, client == "bqx-many")
        else:
            end = produce_confluent(bootstrap, topic, values)
    else:
        group = argv[7]
        if client == "bqx":
            start, end = consume_bqx(bootstrap, topic, count, size, group)
        else:
            start, end = consume_confluent(bootstrap, topic, count, size, group,
                                      client == "confluent-batch")
    seconds = end - start
    print("count=%d seconds=%.3f msgs_per_s=%.0f client_cpu_s=%.2f"
          % (count, seconds, count / seconds, cpu_seconds() - cpu))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
