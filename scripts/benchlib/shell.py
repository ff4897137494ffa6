"""Running commands and stopping on signals, for scripts/bench."""

from __future__ import annotations

import signal
import subprocess
import sys
from pathlib import Path

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def say(text: str) -> None:
    print(f"bench: {text}", file=sys.stderr, flush=True)


def run(command: list, **options) -> subprocess.CompletedProcess:
    """Runs a command that must succeed (its words may be numbers or paths)."""
    return subprocess.run([str(word) for word in command], check=True, **options)


def output(command: list, **options) -> str:
    """The standard output of a command that must succeed."""
    return run(command, stdout=subprocess.PIPE, text=True, **options).stdout


def exit_status(returncode: int) -> int:
    """As a shell tells it: 128 + N for a process ended by signal N."""
    return 128 - returncode if returncode < 0 else returncode


def load_average() -> str:
    return " ".join(Path("/proc/loadavg").read_text().split()[:3])


class Interrupted(Exception):
    """A signal that ends the benchmark (the broker is stopped all the same)."""


def _raise_interrupted(number: int, _frame) -> None:
    raise Interrupted(signal.Signals(number).name)


def stop_on_signals() -> None:
    """Ctrl-C, SIGTERM and SIGHUP raise Interrupted, so that the clean-up in
    finally blocks runs (a running child is killed by subprocess.run)."""
    for number in STOP_SIGNALS:
        signal.signal(number, _raise_interrupted)


def ignore_signals() -> None:
    """While the broker stops, a second Ctrl-C must not cut that short."""
    for number in STOP_SIGNALS:
        signal.signal(number, lambda *_: None)
