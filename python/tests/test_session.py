"""Session life cycle and error paths that need no broker."""

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


@pytest.mark.parametrize("call, number, text, stored, retriable", [
    # Nothing listens on port 1 of the loopback address.
    (lambda s: s.connect("127.0.0.1:1", "t"), 7500, "Connection refused", True, True),
    (lambda s: s.connect(":1", "t"), 7519, "No valid IP address or hostname", True, False),
    # Logged without the session: the text says where to look.
    (lambda s: s.sync(3), 7527, "BQXSYNC returned 7527 (see the log)", False, False),
    (lambda s: s.produce(b"v"), 7507, "", True, False),
])
def test_errors_carry_number_text_and_retriable(call, number, text, stored, retriable):
    with bqx.Session() as session:
        with pytest.raises(bqx.BqxError) as raised:
            call(session)
        assert raised.value.number == number
        assert raised.value.retriable is retriable
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
    ("compression.type", "brotli", "refused: none, gzip, snappy, lz4 or zstd"),
])
def test_refused_settings_raise_7548(name, value, text):
    with bqx.Session() as session:
        with pytest.raises(bqx.BqxError) as raised:
            session.conf(name, value)
        assert raised.value.number == 7548
        assert text in raised.value.text
    # The same through config=: the session it opened is closed again.
    with pytest.raises(bqx.BqxError) as raised:
        bqx.Session(config={"client.id": "py", name: value})
    assert raised.value.number == 7548
    sessions = [bqx.Session() for _ in range(5)]  # all five slots are free
    for session in sessions:
        session.close()


def test_config_entries_reach_bqxconf():
    # Each entry is set: a bool as true/false (enable.idempotence takes no
    # other word), the partitioner as the whole-key switch of produce().
    with bqx.Session(config={"enable.idempotence": False, "partitioner": "murmur2",
                             "statistics.interval.ms": 0}) as session:
        with pytest.raises(bqx.BqxError) as raised:  # a 40-byte key passes to the library
            session.produce(b"v", key=b"k" * 40)
        assert raised.value.number == 7507


@pytest.mark.parametrize("timeout, seconds", [
    (None, 0), (0, 0), (0.0, 0), (0.001, 1), (0.5, 1), (1, 1), (1.0, 1), (2.5, 3),
    (2147483647, 2147483647),
])
def test_timeouts_become_whole_seconds(timeout, seconds):
    assert bqx.whole_seconds(timeout) == seconds


@pytest.mark.parametrize("timeout, error", [
    (-1, ValueError), (-0.5, ValueError), (float("nan"), ValueError),
    (float("inf"), ValueError), (2147483648, ValueError), ("1", TypeError), (True, TypeError),
])
def test_timeouts_outside_seconds_are_refused(timeout, error):
    with pytest.raises(error):
        bqx.whole_seconds(timeout)
    with bqx.Session() as session:
        with pytest.raises(error):
            next(session.consume("g", timeout=timeout))


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
