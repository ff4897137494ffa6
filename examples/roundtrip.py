#!/usr/bin/env python3
"""A Python script with the bqx package: produces keyed messages and reads
them back in a group, printing each message's key, partition, offset and
timestamp.

    roundtrip.py BOOTSTRAP TOPIC GROUP

The package is python/ of the source tree (pip install ./python); the
library is found through BQX_LIBRARY or the system loader.
"""
import sys

import bqx


def main(bootstrap, topic, group):
    count = 5
    with bqx.Session() as session:
        session.conf("client.id", "example-python")
        session.conf("partitioner", "murmur2")
        session.connect(bootstrap, topic)
        session.sync(1)  # each produce waits for its acknowledgement
        for i in range(count):
            session.produce(b"python message %d" % i, key=b"python-key-%d" % i)
        received = 0
        for value in session.consume(group, timeout=30):
            info = session.info()
            print("key=%s partition=%d offset=%d timestamp=%d value=%s"
                  % (info.key.decode(), info.partition, info.offset, info.timestamp,
                     value.decode()))
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
