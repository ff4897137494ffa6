"""`scripts/bench python`: the Python package against confluent-kafka, side by
side in one virtual environment (build/bench/peer-venv, which holds the
confluent-kafka wheel; the package is installed into it with BQX_LIBRARY
naming the Release library of build/release, so only its C module is
built), 100-byte values.

Producing BENCH_PY_COUNT messages (100000): bqx synch mode 4 (window 5)
with Session.produce per message and with Session.produce_many, against
confluent-kafka's Producer.produce per message with its defaults, each
ended by its flush (sync(2), flush()). Consuming the same count from a
topic filled once by kcat: bqx Session.consume (receive window 1000)
against confluent-kafka's poll() per message and consume(1000). In each of
BENCH_ROUNDS rounds every client runs once, the order turning from round to
round. Raw lines go to build/bench/python-results.txt, the summary to
standard output and build/bench/python-summary.md; the target is at least
0.5 times confluent-kafka's messages per second (bqx per message against
confluent per message).
"""

from __future__ import annotations

import os
import statistics
import sys
from pathlib import Path

from .broker import Broker
from .shell import output, run, say

HERE = Path(__file__).resolve().parent
CLIENT = HERE / "py_client.py"
SIZE = 100
PRODUCERS = ("bqx", "bqx-many", "confluent")
CONSUMERS = ("bqx", "confluent", "confluent-batch")
PAIRS = (("produce", "bqx", "confluent"), ("produce", "bqx-many", "confluent"),
         ("consume", "bqx", "confluent"), ("consume", "bqx", "confluent-batch"))
TARGET = 0.5


def install_package(venv: Path, library: Path) -> None:
    """The package from ./python into VENV, with its C module, without a
    bundled library (BQX_LIBRARY names the one to use)."""
    python = venv / "bin/python"
    env = dict(os.environ, BQX_LIBRARY=str(library))
    run([python, "-m", "pip", "install", "-q", "setuptools>=61", "wheel"], stdout=sys.stderr)
    run([python, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps",
         "--force-reinstall", "./python"], env=env, stdout=sys.stderr)
    fast = output([python, "-c", "import bqx; print(bqx.library().fast is not None)"],
                  env=env).strip()
    if fast != "True":
        raise SystemExit("bench: the package's C module was not built")


def fill(broker: Broker, topic: str, count: int, out_dir: Path) -> None:
    path = out_dir / f"py-messages-{SIZE}x{count}.txt"
    with open(path, "w", encoding="ascii") as out:
        for i in range(count):
            out.write(("%010d" % i).ljust(SIZE, "y") + "\n")
    broker.create_topic(topic)
    run(["kcat", "-P", "-b", broker.bootstrap, "-t", topic, "-l", str(path)])


def one_run(venv: Path, library: Path, fields: list[str]) -> dict[str, str]:
    env = dict(os.environ, BQX_LIBRARY=str(library), BQX_LOG="stderr")
    line = output([venv / "bin/python", CLIENT, *fields], env=env).strip().splitlines()[-1]
    return dict(item.split("=", 1) for item in line.split())


def run_python(broker: Broker, venv: Path, library: Path, out_dir: Path) -> None:
    count = int(os.environ.get("BENCH_PY_COUNT", "100000"))
    rounds = int(os.environ.get("BENCH_ROUNDS", "3"))
    results = out_dir / "python-results.txt"
    results.unlink(missing_ok=True)
    install_package(venv, library)
    consume_topic = "bqx-bench-py-consume"
    fill(broker, consume_topic, count, out_dir)
    print(f"python:  {count} x {SIZE} B per run, {rounds} rounds; "
          f"{output([venv / 'bin/python', '--version']).strip()}, confluent-kafka "
          + output([venv / "bin/python", "-c",
                    "import confluent_kafka as c, importlib.metadata as m; "
                    "print(m.version('confluent-kafka'), 'with librdkafka', c.libversion()[0])"])
          .strip())
    runs: list[dict[str, str]] = []
    group = 0
    for round_ in range(1, rounds + 1):
        turn = round_ - 1
        for action, clients in (("produce", PRODUCERS), ("consume", CONSUMERS)):
            order = clients[turn % len(clients):] + clients[:turn % len(clients)]
            for client in order:
                topic = f"bqx-bench-py-{round_}-{client}" if action == "produce" else \
                    consume_topic
                if action == "produce":
                    broker.create_topic(topic)
                fields = [client, action, broker.bootstrap, topic, str(count), str(SIZE)]
                if action == "consume":
                    group += 1
                    fields.append(f"bqx-bench-py-{os.getpid()}-{group}")
                result = one_run(venv, library, fields)
                if action == "produce" and broker.end_offsets(topic) != count:
                    raise SystemExit(f"bench: {client} stored {broker.end_offsets(topic)} of "
                                     f"{count}")
                result.update(round=str(round_), action=action, client=client)
                line = " ".join(f"{k}={v}" for k, v in result.items())
                say(line)
                with open(results, "a", encoding="ascii") as out:
                    out.write(line + "\n")
                runs.append(result)
    text = "\n".join(summary(runs, count)) + "\n"
    sys.stdout.write(text)
    (out_dir / "python-summary.md").write_text(text)


def summary(runs: list[dict[str, str]], count: int) -> list[str]:
    def rates(action: str, client: str) -> dict[str, float]:
        return {r["round"]: float(r["msgs_per_s"]) for r in runs
                if r["action"] == action and r["client"] == client}

    lines = ["| action | client | msgs/s median (min-max) | client CPU us/msg median |",
             "|---|---|---|---|"]
    for action, clients in (("produce", PRODUCERS), ("consume", CONSUMERS)):
        for client in clients:
            values = list(rates(action, client).values())
            cpu = [float(r["client_cpu_s"]) * 1e6 / count for r in runs
                   if r["action"] == action and r["client"] == client]
            lines.append(f"| {action} | {client} | {statistics.median(values):,.0f} "
                         f"({min(values):,.0f}-{max(values):,.0f}) | "
                         f"{statistics.median(cpu):.2f} |")
    lines += ["", "| action | bqx | confluent-kafka | msgs/s bqx/confluent median (rounds) "
                  "| target | met |", "|---|---|---|---|---|---|"]
    for action, ours, theirs in PAIRS:
        mine, peer = rates(action, ours), rates(action, theirs)
        ratios = [mine[r] / peer[r] for r in sorted(mine) if r in peer]
        median = statistics.median(ratios)
        rounds = " ".join(f"{ratio:.2f}" for ratio in ratios)
        lines.append(f"| {action} | {ours} | {theirs} | {median:.2f} ({rounds}) | "
                     f">= {TARGET} | {'yes' if median >= TARGET else 'no'} |")
    return lines
