"""Produce and consume round trips against the local broker."""

import os
import shutil
import subprocess
import sys
import threading
import time

import pytest

import bqx

WAIT = 20  # seconds for the first message (the first call joins the group)


def consume_all(session, group, count, size=1 << 20):
    """`count` messages, then proof that no further one arrives."""
    got = []
    for message in session.consume(group, timeout=WAIT, size=size):
        got.append(message.value)
        if len(got) == count:
            break
    assert len(got) == count, "%d of %d messages" % (len(got), count)
    assert list(session.consume(group, timeout=1, size=size)) == []
    return got


def read_with_kcat(kafka, topic, count):
    """(key, value) of every message, read by an independent client."""
    kcat = shutil.which("kcat")
    assert kcat, "kcat is installed by scripts/kafka install-test-tools"
    out = subprocess.run([kcat, "-C", "-b", kafka["KAFKA_BOOTSTRAP"], "-t", topic, "-e", "-q",
                          "-c", str(count), "-f", "%k=%s\n"],
                         check=True, capture_output=True, timeout=60).stdout
    return sorted(tuple(line.split(b"=", 1)) for line in out.splitlines())


def test_keyed_messages_keep_their_order_and_keys(kafka, new_topic, group):
    topic = new_topic(3)
    sent = [(b"key-%d" % (i % 3), b"value-%02d" % i) for i in range(30)]
    with bqx.Session() as session:
        session.connect(kafka["KAFKA_BOOTSTRAP"], topic)
        session.sync(1)
        for key, value in sent:
            session.produce(value, key=key)
        got = consume_all(session, group, len(sent))
    assert sorted(got) == sorted(value for _, value in sent)
    # One key, one partition: each key's messages arrive in produce order.
    for key in {key for key, _ in sent}:
        wanted = [value for k, value in sent if k == key]
        assert [value for value in got if value in wanted] == wanted
    assert read_with_kcat(kafka, topic, len(sent)) == sorted(sent)


# The per-message calls through the C module and through ctypes.
both_paths = pytest.mark.parametrize("fast", [True, False], ids=["c-module", "ctypes"])


@both_paths
def test_binary_values_round_trip(kafka, new_topic, group, fast):
    topic = new_topic(1)
    values = [bytes(range(256)), b"\0" * 7, b"\xff\xfe", os.urandom(200_000), "grüße"]
    with bqx.Session(lib=bqx.Library(fast=fast)) as session:
        session.connect(kafka["KAFKA_BOOTSTRAP"], topic)
        session.sync(1)
        for value in values:
            session.produce(value)
        got = consume_all(session, group, len(values))
    values[-1] = values[-1].encode("utf-8")  # a str goes out as UTF-8
    assert got == values


def test_batched_run_reaches_the_synch_point_complete(kafka, new_topic, group):
    topic = new_topic(2)
    sent = [b"batch-%05d" % i for i in range(3000)]
    with bqx.Session() as session:
        session.connect(kafka["KAFKA_BOOTSTRAP"], topic)
        session.sync(4, send_window=2)
        for value in sent[:1000]:
            session.produce(value)
        # The rest in one call, from a generator, str values as UTF-8.
        assert session.produce_many(v.decode() if i % 2 else v
                                    for i, v in enumerate(sent[1000:])) == len(sent) - 1000
        session.sync(2)  # every batch sent and acknowledged
        with bqx.Session() as reader:
            reader.connect(kafka["KAFKA_BOOTSTRAP"], topic)
            got = consume_all(reader, group, len(sent))
    assert sorted(got) == sent


@both_paths
def test_long_message_is_cut_with_a_warning(kafka, new_topic, group, fast):
    topic = new_topic(1)
    with bqx.Session(lib=bqx.Library(fast=fast)) as session:
        session.connect(kafka["KAFKA_BOOTSTRAP"], topic)
        session.sync(1)
        for value in (b"x" * 100, b"y" * 10, b"z" * 11):
            session.produce(value)
        session.produce(b"w", key=b"k" * 12)  # the key is cut
        with pytest.warns(bqx.BqxWarning) as caught:
            got = consume_all(session, group, 4, size=10)
    assert got == [b"x" * 10, b"y" * 10, b"z" * 10, b"w"]
    # The first, third and fourth were cut, not the one that fits exactly.
    assert [w.message.number for w in caught] == [5000, 5000, 5000]


def test_sasl_round_trip_and_wrong_password(kafka, new_topic, group):
    topic = new_topic(1)
    server = kafka["KAFKA_SASL_BOOTSTRAP"]
    with bqx.Session() as session:
        session.auth(kafka["KAFKA_SASL_USER"], kafka["KAFKA_SASL_PASSWORD"])
        session.connect(server, topic)
        session.sync(1)
        session.produce(b"over sasl", key=b"k")
        assert consume_all(session, group, 1) == [b"over sasl"]
    with bqx.Session() as session:
        session.auth(kafka["KAFKA_SASL_USER"], "wrong")
        with pytest.raises(bqx.BqxError) as raised:
            session.connect(server, topic)
        assert raised.value.number >= 7500
        assert session.last_error() == (raised.value.number, raised.value.text)


def test_unknown_topic_is_an_error(kafka):
    with bqx.Session() as session:
        with pytest.raises(bqx.BqxError) as raised:
            session.connect(kafka["KAFKA_BOOTSTRAP"], "bqx-py-no-such-topic")
        assert raised.value.number == 7510
        assert "does not host this topic" in raised.value.text


def test_info_gives_key_partition_offset_and_timestamp(kafka, new_topic, group):
    with bqx.Session() as session:
        session.connect(kafka["KAFKA_BOOTSTRAP"], new_topic(3))
        session.conf("partitioner", "murmur2")
        long_key = b"customer-" + b"x" * 40  # 49 bytes, sent whole
        session.produce(b"first", key=long_key)
        session.produce(b"second")
        session.sync(2, 0, 0)
        seen = {}
        for message in session.consume(group, timeout=WAIT):
            seen[message.value] = session.info()
            if len(seen) == 2:
                break
        assert seen[b"first"].key == long_key
        assert seen[b"second"].key is None
        for info in seen.values():
            assert info.offset >= 0 and info.partition >= 0
            assert info.timestamp > 1600000000000
            assert not info.value_null



def test_message_fields_agree_with_kcat(kafka, new_topic, group):
    topic = new_topic(3)
    sent = [(b"key-%d" % i, b"value-%d" % i) for i in range(6)] + [(None, b"no key")]
    with bqx.Session(config={"partitioner": "murmur2"}) as session:
        session.connect(kafka["KAFKA_BOOTSTRAP"], topic)
        session.sync(1)
        for key, value in sent:
            session.produce(value, key=key)
        session.produce("text ü")  # a str goes out as UTF-8
        got = []
        for message in session.consume(group, timeout=WAIT):
            got.append(message)
            if len(got) == len(sent) + 1:
                break
    out = subprocess.run(["kcat", "-C", "-b", kafka["KAFKA_BOOTSTRAP"], "-t", topic, "-e", "-q",
                          "-f", "%k|%p|%o|%T|%s\n", "-c", str(len(got))],
                         check=True, capture_output=True, timeout=60).stdout
    shown = sorted(tuple(line.split(b"|", 4)) for line in out.splitlines())
    ours = sorted((m.key or b"", b"%d" % m.partition, b"%d" % m.offset, b"%d" % m.timestamp,
                   m.value) for m in got)
    assert ours == shown
    assert [m.key for m in got if m.value == b"no key"] == [None]
    assert "text ü".encode() in [m.value for m in got]


def consume_in_thread(session, group, timeout):
    """A thread consuming with `timeout`; its outcome: messages, or the
    number of the BqxError that ended it."""
    outcome = []

    def consume():
        try:
            outcome.extend(session.consume(group, timeout=timeout))
        except bqx.BqxError as error:
            outcome.append(error.number)
    thread = threading.Thread(target=consume)
    thread.start()
    return thread, outcome


def test_float_and_none_timeouts(kafka, new_topic, group):
    with bqx.Session() as session:
        session.connect(kafka["KAFKA_BOOTSTRAP"], new_topic(1))
        list(session.consume(group, timeout=5))  # joins the group, nothing there
        # 0.5 is rounded up to one second (0 would wait without limit).
        start = time.monotonic()
        waiter, outcome = consume_in_thread(session, group, 0.5)
        waiter.join(5)
        waited = time.monotonic() - start
        # None waits without limit: the call still waits after 3 seconds,
        # until the session is closed under it (7502).
        if not waiter.is_alive():
            waiter, outcome = consume_in_thread(session, group, None)
            waiter.join(3)
            assert waiter.is_alive() and outcome == []
        else:
            waited = None
        session.close()
        waiter.join(30)
        assert not waiter.is_alive()
    assert waited is not None and 0.9 <= waited < 5, "0.5 s waited %s s" % waited
    assert outcome == [7502]


def test_fresh_environment_installs_and_runs_without_bqx_library(kafka, new_topic, group,
                                                                   tmp_path):
    # The wheel built from ./python (the ctest stage builds it once and
    # names it in BQX_WHEEL) installs into a virtual environment that has
    # nothing else, offline, and brings its library and C module along.
    wheel = os.environ.get("BQX_WHEEL")
    assert wheel, "BQX_WHEEL names the wheel built by pip wheel ./python"
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", wheel], check=True)
    script = ("import sys, bqx\n"
              "lib = bqx.library()\n"
              "assert lib.path.startswith(sys.prefix), lib.path\n"
              "assert lib.fast is not None\n"
              "with bqx.Session() as s:\n"
              "    s.connect(sys.argv[1], sys.argv[2]); s.sync(1); s.produce('fresh', key='k')\n"
              "    m = next(s.consume(sys.argv[3], timeout=30))\n"
              "    print(m.value.decode(), m.key.decode())\n")
    env = {k: v for k, v in os.environ.items() if k not in ("BQX_LIBRARY", "PYTHONPATH")}
    out = subprocess.run([python, "-c", script, kafka["KAFKA_BOOTSTRAP"], new_topic(1), group],
                         check=True, capture_output=True, text=True, env=env, cwd=tmp_path,
                         timeout=120).stdout
    assert out.split() == ["fresh", "k"]
