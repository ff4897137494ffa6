"""Session life cycle and error paths that need no broker."""

import os
import subprocess
import sys

import pytest

import bqx


def test_closed_session_refuses_calls_and_keeps_off_a_reused_handle():
    first = bqx.Session()
    handle = first.handle
    first.close()
    with bqx.Session() as second:
        assert second.handle == handle  # the library hands the slot out again
        with pytest.raises(bqx.BqxError) as raised:
            first.debug(3)
        assert raised.value.number == 7502
        assert "closed session" in raised.value.text
        second.debug(0)                 # the new owner of the handle is untouched
    first.close()                       # closing again does nothing


def test_with_block_closes_the_session_when_it_raises():
    with pytest.raises(ZeroDivisionError):
        with bqx.Session() as session:
            1 / 0
    assert session.handle is None


def test_sixth_session_is_refused():
    sessions = [bqx.Session() for _ in range(5)]
    try:
        with pytest.raises(bqx.BqxError) as raised:
            bqx.Session()
        assert raised.value.number == -1
    finally:
        for session in sessions:
            session.close()
    bqx.Session().close()  # the slots are free again


@pytest.mark.parametrize("call, number, text, stored", [
    # Nothing listens on port 1 of the loopback address.
    (lambda s: s.connect("127.0.0.1:1", "t"), 7500, "Connection refused", True),
    (lambda s: s.connect(":1", "t"), 7519, "No valid IP address or hostname", True),
    # Logged without the session: the text says where to look.
    (lambda s: s.sync(3), 7527, "BQXSYNC returned 7527 (see the log)", False),
])
def test_errors_carry_number_and_text(call, number, text, stored):
    with bqx.Session() as session:
        with pytest.raises(bqx.BqxError) as raised:
            call(session)
        assert raised.value.number == number
        assert text in raised.value.text
        # A stored error's text is the one BQXGERR reports.
        assert (session.last_error() == (number, raised.value.text)) == stored


def test_invalid_window_is_a_warning():
    with bqx.Session() as session:
        with pytest.warns(bqx.BqxWarning) as caught:
            session.sync(0, send_window=0)
        assert caught[0].message.number == 5004


@pytest.mark.parametrize("key", [b"k" * 32, b"a\0b"])
def test_keys_the_library_would_cut_are_refused(key):
    with bqx.Session() as session:
        with pytest.raises(ValueError):
            session.produce(b"v", key=key)


@pytest.mark.parametrize("name, value, text", [
    ("no.such.setting", "1", "Setting no.such.setting refused: unknown setting"),
    ("auto.offset.reset", "none", "refused: earliest or latest"),
    ("compression.type", "gzip", "not available in this build yet"),
])
def test_refused_settings_raise_7548(name, value, text):
    with bqx.Session() as session:
        with pytest.raises(bqx.BqxError) as raised:
            session.conf(name, value)
        assert raised.value.number == 7548
        assert text in raised.value.text


def test_murmur2_partitioner_takes_whole_keys_and_info_needs_a_message():
    with bqx.Session() as session:
        session.conf("partitioner", "murmur2")
        session.conf("statistics.interval.ms", 0)
        with pytest.raises(bqx.BqxError) as raised:  # not connected: the key itself passes
            session.produce(b"v", key=b"k" * 40 + b"\0")
        assert raised.value.number != 0
        with pytest.raises(ValueError):
            session.produce(b"v", key=b"k" * 1025)
        with pytest.raises(bqx.BqxError) as raised:
            session.info()
        assert raised.value.number == 7522


def test_sessions_left_open_are_closed_at_exit():
    # A child interpreter opens two sessions and ends without closing them:
    # the exit closes both, as the statistics lines of BQXCLSE (written at
    # debug level 1) show.
    script = ("import bqx\n"
              "a = bqx.Session(); a.debug(1)\n"
              "b = bqx.Session(); b.debug(1); b.close()\n"
              "c = bqx.Session(); c.debug(1)\n")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env=dict(os.environ), timeout=60, check=True).stdout
    assert out.count("Stats: #Msgs produce") == 3
