"""Shared fixtures of the bqx package tests.

The library comes from BQX_LIBRARY (else the system loader). The broker
tests find the local broker through BQX_BOOTSTRAP (and BQX_SASL_BOOTSTRAP),
else through `scripts/kafka env` of this source tree (BQX_KAFKA_SCRIPT
names another script), which also gives the SASL user and password and
creates the topics.
"""

import itertools
import os
import pathlib
import subprocess
import time

import pytest

import bqx

SOURCE = pathlib.Path(__file__).resolve().parents[2]
_counter = itertools.count()


def kafka_script():
    return os.environ.get("BQX_KAFKA_SCRIPT", str(SOURCE / "scripts" / "kafka"))


@pytest.fixture(scope="session")
def lib():
    return bqx.library()


@pytest.fixture(scope="session")
def kafka():
    """The variables of `scripts/kafka env`, with BQX_* overrides."""
    values = {}
    if "BQX_BOOTSTRAP" not in os.environ:
        out = subprocess.run([kafka_script(), "env"], check=True, capture_output=True, text=True)
        for line in out.stdout.splitlines():
            name, _, value = line.partition("=")
            values[name] = value.strip('"')
    values["KAFKA_BOOTSTRAP"] = os.environ.get("BQX_BOOTSTRAP", values.get("KAFKA_BOOTSTRAP"))
    values["KAFKA_SASL_BOOTSTRAP"] = os.environ.get("BQX_SASL_BOOTSTRAP",
                                                    values.get("KAFKA_SASL_BOOTSTRAP"))
    assert values["KAFKA_BOOTSTRAP"], "no broker: set BQX_BOOTSTRAP or start scripts/kafka"
    return values


@pytest.fixture
def new_topic(kafka):
    """Creates a topic of its own for a test: new_topic(partitions)."""
    def create(partitions=1):
        name = "bqx-py-%d-%d-%d" % (os.getpid(), int(time.time()), next(_counter))
        subprocess.run([kafka_script(), "topic", name, str(partitions),
                        "--bootstrap", kafka["KAFKA_BOOTSTRAP"]],
                       check=True, capture_output=True)
        return name
    return create


@pytest.fixture
def group():
    return "bqx-py-group-%d-%d" % (os.getpid(), next(_counter))
