"""The benchmark's own single Kafka broker, run by scripts/kafka."""

from __future__ import annotations

import os
import re
import shlex
import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import IO

from .shell import ignore_signals, output, run, say

PARTITIONS = 3  # of every benchmark topic


@dataclass
class Transport:
    """The listener the clients (bqx, rdkafka_peer, kcat reading) connect to.
    Topics are always created and checked over PLAINTEXT."""

    name: str  # "plain" or "ssl": the transport field of the raw lines
    bootstrap: str  # for bqx's programs and rdkafka_peer
    kcat_args: list[str]
    env: dict[str, str]  # the clients' environment


@dataclass(frozen=True)
class BrokerState:
    """What a run changes on the broker: CPU ticks and the topic's end offsets."""

    ticks: int
    offsets: int


class Broker:
    """scripts/kafka's single node in DIRECTORY (an absolute path: scripts/kafka
    finds its broker by it), on the ports of KAFKA_PORT_BASE."""

    def __init__(self, directory: Path) -> None:
        self.directory = directory
        self.env: dict[str, str] = {}
        self.pid = 0
        self.partitions: dict[str, int] = {}  # of each topic created here

    @property
    def bootstrap(self) -> str:
        return self.env["KAFKA_BOOTSTRAP"]

    @property
    def version(self) -> str:
        return self.env.get("KAFKA_VERSION", "?")

    @property
    def data(self) -> Path:
        return self.directory / "node1/data"

    def start(self, log: Path) -> None:
        """Starts the broker (kcat too, if missing); its output goes to LOG,
        shown only when the start fails."""
        if shutil.which("kcat") is None:
            run(["scripts/kafka", "install-test-tools"])
        say(f"starting a local Kafka broker in {self.directory}")
        with open(log, "w", encoding="utf-8") as out:
            started = subprocess.run(["scripts/kafka", "start", "--dir", str(self.directory)],
                                     stdout=out, stderr=subprocess.STDOUT)
        if started.returncode != 0:
            sys.stderr.write(log.read_text(errors="replace"))
            raise SystemExit(1)
        self.env = read_kafka_env(output(["scripts/kafka", "env", "--dir", self.directory]))
        self.pid = int((self.directory / "node1/broker.pid").read_text())

    def stop(self) -> None:
        """Stops the broker and removes its data (gigabytes of benchmark
        messages). In a session of its own: a Ctrl-C must not reach the stop."""
        ignore_signals()
        subprocess.run(["scripts/kafka", "stop", "--dir", str(self.directory)],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        for data in self.directory.glob("node*/data"):
            shutil.rmtree(data, ignore_errors=True)

    def create_topic(self, name: str, partitions: int = PARTITIONS) -> None:
        run(["scripts/kafka", "topic", name, partitions, "--dir", self.directory],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.partitions[name] = partitions

    def cpu_ticks(self) -> int:
        """User and system time of the broker process (fields 14 and 15)."""
        stat = Path(f"/proc/{self.pid}/stat").read_text()
        fields = stat[stat.rindex(")") + 2:].split()  # from field 3 on
        return int(fields[11]) + int(fields[12])

    def end_offsets(self, topic: str) -> int:
        """The sum of the topic's end offsets."""
        queries = [word for partition in range(self.partitions.get(topic, PARTITIONS))
                   for word in ("-t", f"{topic}:{partition}:-1")]
        text = output(["kcat", "-Q", "-b", self.bootstrap, *queries])
        return sum(int(line.split()[-1]) for line in text.splitlines() if "offset" in line)

    def state(self, topic: str) -> BrokerState:
        offsets = self.end_offsets(topic)
        return BrokerState(ticks=self.cpu_ticks(), offsets=offsets)

    def stored_bytes(self, topic: str) -> int:
        """The bytes of the topic's log segments."""
        return sum(segment.stat().st_size for segment in self.data.glob(f"{topic}-[0-9]*/*.log"))

    def partition0_facts(self, topic: str, log: IO[str]) -> str:
        """Batches, records and codecs of partition 0's first log segment, by
        Kafka's DumpLogSegments (whose warnings go to LOG)."""
        segment = self.data / f"{topic}-0/00000000000000000000.log"
        # KAFKA_DATA_DIR: the tool runs with the version of this broker's start
        env = dict(os.environ, KAFKA_DATA_DIR=str(self.directory))
        dump = output(["scripts/kafka", "run", "org.apache.kafka.tools.DumpLogSegments", "--files",
                       segment], stderr=log, env=env)
        return segment_facts(dump)

    def transport(self, name: str) -> Transport:
        env = dict(os.environ)
        if name == "ssl":
            ca_file = self.env["KAFKA_SSL_CA_FILE"]
            env["BQX_SSL_CA_FILE"] = ca_file
            address = self.env["KAFKA_SSL_BOOTSTRAP"]
            kcat_args = ["-b", address, "-X", "security.protocol=SSL",
                         "-X", f"ssl.ca.location={ca_file}"]
            return Transport(name, f"SSL://{address}", kcat_args, env)
        env.pop("BQX_SSL_CA_FILE", None)
        return Transport(name, self.bootstrap, ["-b", self.bootstrap], env)


def read_kafka_env(text: str) -> dict[str, str]:
    """The NAME=VALUE lines of scripts/kafka env (values quoted for a shell)."""
    values = {}
    for line in text.splitlines():
        words = shlex.split(line)
        if words and "=" in words[0]:
            name, _, value = words[0].partition("=")
            values[name] = value
    return values


def segment_facts(dump: str) -> str:
    """From DumpLogSegments' output: the batches, their records, the lowest
    and highest records per batch, and the codecs stored."""
    batches = records = low = high = 0
    codecs: dict[str, None] = {}
    for line in dump.splitlines():
        if "baseOffset:" not in line:
            continue
        words = line.split()
        values = dict(zip(words, words[1:]))
        if "count:" in values:
            count = int(values["count:"])
            records += count
            batches += 1
            low = count if batches == 1 else min(low, count)
            high = max(high, count)
        if "compresscodec:" in values:
            codecs[values["compresscodec:"]] = None
    return (f"p0_batches={batches} p0_records={records} records_per_batch={low}-{high} "
            f"stored_codecs={','.join(codecs)}")


def kcat_version() -> str:
    """kcat's version and its librdkafka's, from kcat -V."""
    text = subprocess.run(["kcat", "-V"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True).stdout
    found = re.search(r"^Version (\S+).*librdkafka (\S+)", text, re.MULTILINE)
    return f"{found[1]}, librdkafka {found[2]}" if found else ""
