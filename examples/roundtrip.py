#!/usr/bin/env python3
"""A Python script with the bqx package: produces keyed messages and reads
them back in a group, printing each message's key, partition, offset and
timestamp.

    roundtrip.py BOOTSTRAP TOPIC GROUP

The package is python/ of the source tree (pip install ./python, which
bundles the library); BQX_LIBRARY names another library to load. The
library's log lines go to Python's logging (logger "bqx"): warnings and
errors show on standard error.
"""
import logging
import sys

import bqx


def main(bootstrap: str, topic: str, group: str) -> int:
    logging.basicConfig(level=logging.WARNING, format="%(name)s %(levelname)s %(message)s")
    count = 5
    received = 0
    with bqx.Session(config={"client.id": "example-python", "partitioner": "murmur2"}) as session:
        session.connect(bootstrap, topic)
        session.sync(1)  # each produce waits for its acknowledgement
        for i in range(count):
            session.produce("python message %d" % i, key="python-key-%d" % i)
        for message in session.consume(group, timeout=30):
            key = message.key.decode() if message.key is not None else "-"
            value = message.value.decode() if message.value is not None else "-"
            print("key=%s partition=%d offset=%d timestamp=%d value=%s"
                  % (key, message.partition, message.offset, message.timestamp, value))
            received += 1
            if received == count:
                break
    if received != count:
        print("roundtrip.py: %d of %d messages" % (received, count), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: roundtrip.py BOOTSTRAP TOPIC GROUP")
    sys.exit(main(*sys.argv[1:]))
