"""The library's log lines as records of the logger "bqx"."""

import logging
import os
import subprocess
import sys
import time
import warnings

import pytest

import bqx


@pytest.mark.parametrize("call, number, level", [
    (lambda s: None, 7, logging.INFO),                        # BQXOPEN's version line
    (lambda s: s.sync(0, send_window=0), 5004, logging.WARNING),
    (lambda s: s.connect(":1", "t"), 7519, logging.ERROR),
])
def test_lines_become_records_at_their_severity(caplog, call, number, level):
    caplog.set_level(logging.INFO, logger="bqx")
    with bqx.Session() as session:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", bqx.BqxWarning)
            try:
                call(session)
            except bqx.BqxError:
                pass
        assert bqx.flush_log()
    records = [r for r in caplog.records if r.name == "bqx" and r.bqx_number == number]
    assert records, [r.getMessage() for r in caplog.records]
    assert {r.levelno for r in records} == {level}
    assert records[0].getMessage().startswith("BQX%04d%s " % (number, logging.getLevelName(
        level)[0]))


class SlowHandler(logging.Handler):
    def emit(self, record):
        time.sleep(0.2)


def test_error_lines_are_logged_before_the_error_is_raised(caplog):
    # A handler of "bqx" that takes its time holds the records back from
    # the root's (caplog's): they are there all the same when the error is.
    caplog.set_level(logging.ERROR, logger="bqx")
    slow = SlowHandler()
    logging.getLogger("bqx").addHandler(slow)
    try:
        with bqx.Session() as session:
            with pytest.raises(bqx.BqxError):
                session.connect("127.0.0.1:1", "t")
            assert any(r.bqx_number == 7500 and "Connection refused" in r.getMessage()
                       for r in caplog.records)
    finally:
        logging.getLogger("bqx").removeHandler(slow)


def test_a_slow_handler_loses_no_line_at_exit_and_blocks_no_call():
    # The child writes far more than a pipe holds (each BQXDBUG with a
    # level writes line 17, and nothing waits for the log between them)
    # through a handler that takes its time, then ends without closing its
    # sessions: every line, the closes' statistics lines included, reaches
    # the handler, and the calls never hang on a full pipe.
    count = 3000
    script = (
        "import logging, sys, time, bqx\n"
        "class Slow(logging.StreamHandler):\n"
        "    def emit(self, record):\n"
        "        time.sleep(0.0005); super().emit(record)\n"
        "logging.getLogger('bqx').addHandler(Slow(sys.stdout))\n"
        "logging.getLogger('bqx').setLevel(logging.INFO)\n"
        "a = bqx.Session(); a.debug(1)\n"
        "b = bqx.Session(); b.debug(1); b.close()\n"
        "c = bqx.Session(); c.debug(1)\n"
        "for _ in range(%d):\n"
        "    a.debug(1)\n" % count)
    env = {k: v for k, v in os.environ.items() if k != "BQX_LOG"}
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env=env, timeout=60, check=True).stdout
    assert out.count("BQX0017I") == count + 3  # and the first of a, b and c
    assert out.count("Stats: #Msgs produce") == 3


def test_bqx_log_set_by_the_program_is_left_alone(tmp_path):
    path = tmp_path / "bqx.log"
    script = "import bqx\nbqx.Session().connect(':1', 't')\n"
    env = dict(os.environ, BQX_LOG="file:%s" % path)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env=env, timeout=60)
    assert run.returncode != 0  # the BqxError
    assert "BQX7519E" in path.read_text()
