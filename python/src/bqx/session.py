"""Sessions of the bqx library: a context manager over one session handle."""

import atexit
import ctypes
import locale
import math
import warnings
from typing import (Any, Iterable, Iterator, Literal, Mapping, NamedTuple, Optional, Set,
                    Tuple, Union)

from . import _logging
from ._library import Library, library

ERROR_TEXT_SIZE = 256       # the last error text is at most 255 characters
INVALID_HANDLE = 7502       # the library's number for an unknown handle
CONSUME_TIMEOUT = 7543      # no message within the consume timeout
TRUNCATED = 5000            # a consumed message was cut to the buffer
FIRST_WARNING, LAST_WARNING = 5000, 5009
MAX_KEY_LENGTH = 31         # the default partitioner keeps at most 31 key bytes
MAX_WHOLE_KEY_LENGTH = 1024 # partitioner=murmur2 sends keys whole, up to this
INFO_VALUE_NULL, INFO_KEY_NULL = 1, 2

# Errors after which the same call may succeed when made again, once the
# cluster has moved on: socket failures (7500), a partition without a leader
# or a leader not (yet) known or reachable (7509, 7511, 7512, 7513, 7525), no
# reply in time (7515, 7524, 7543), no coordinator known or reachable (7520,
# 7523, 7528), no broker reachable (7521), and messages not stored by their
# delivery deadline (7546: produced again, they may be stored twice only if
# the broker stored them after all, which idempotence does not cover across
# calls). Everything else needs a change first: of the arguments, settings,
# credentials or topic.
RETRIABLE = frozenset({7500, 7509, 7511, 7512, 7513, 7515, 7520, 7521, 7523, 7524, 7525,
                       7528, 7543, 7546})

Timeout = Optional[Union[int, float]]
Data = Union[str, bytes, bytearray, memoryview]


class Message(NamedTuple):
    """A consumed message. `value` and `key` are None when the message had
    none (a null value, no key); `timestamp` is in milliseconds since 1970
    (the producer's time, or the broker's for log-append-time topics)."""
    value: Optional[bytes]
    key: Optional[bytes]
    partition: int
    offset: int
    timestamp: int


class MessageInfo(NamedTuple):
    """What info() tells of the message the last consume yielded."""
    key: Optional[bytes]
    partition: int
    offset: int
    timestamp: int
    value_null: bool


# Sessions the program has not closed (held here until it does) are closed
# when the interpreter ends: what they consumed is committed, their groups
# are left.
_open_sessions: Set["Session"] = set()


class BqxError(Exception):
    """A call failed: `number` is its return code (the message number the
    library logged, or -1), `text` the text BQXGERR reports for it, and
    `retriable` whether the same call may succeed when made again (see
    RETRIABLE)."""

    def __init__(self, number: int, text: str) -> None:
        super().__init__("BQX%04d %s" % (number, text) if number >= 0 else text)
        self.number = number
        self.text = text
        self.retriable = number in RETRIABLE


class BqxWarning(UserWarning):
    """A call succeeded with a warning (5000 to 5009). Turn these into
    errors with warnings.simplefilter("error", bqx.BqxWarning)."""

    def __init__(self, number: int, text: str) -> None:
        super().__init__("BQX%04d %s" % (number, text))
        self.number = number
        self.text = text


def _local_bytes(value: object, what: str) -> bytes:
    """Texts for the library are in the local code page, which it converts
    to UTF-8 where Kafka wants it; bytes pass unchanged."""
    if isinstance(value, str):
        return value.encode(locale.getpreferredencoding(False))
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    raise TypeError("%s: str or bytes needed, not %s" % (what, type(value).__name__))


def whole_seconds(timeout: Timeout) -> int:
    """The seconds a timeout gives the library: None is 0 (no limit), a
    fraction is rounded up (0.5 waits one second), 0 keeps the library's
    meaning (no limit)."""
    if timeout is None:
        return 0
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError("timeout: seconds (int or float) or None, not %s"
                        % type(timeout).__name__)
    if not timeout >= 0 or math.isinf(timeout):
        raise ValueError("timeout: %r is not a number of seconds >= 0 (None: no limit)"
                         % timeout)
    seconds = math.ceil(timeout)
    if seconds > 0x7FFFFFFF:
        raise ValueError("timeout: at most %d seconds (None: no limit)" % 0x7FFFFFFF)
    return seconds


def flush_log() -> bool:
    """Waits until every line the library wrote so far reached the logger
    "bqx" (True), or 5 seconds passed (False)."""
    return _logging.flush()


class Session:
    """One session of the library (at most five per process).

        with bqx.Session(config={"client.id": "svc"}) as s:
            s.connect("127.0.0.1:9092", "topic")
            s.produce("value", key=b"key")
            for message in s.consume("group", timeout=5):
                print(message.value, message.key, message.partition,
                      message.offset, message.timestamp)

    `config` sets each of its entries with conf() (BQXCONF) right after the
    session opens. The session is closed when the block ends (or by
    close()); a closed session refuses every call with BqxError 7502, so
    that its handle, which the library may give to a later session, is
    never used again.

    Timeouts are seconds: an int, a float (rounded up to whole seconds, the
    unit of the library's calls: 0.5 waits one second) or None (no limit);
    0 also means no limit, as it does for the library.
    """

    handle: Optional[int]

    def __init__(self, config: Optional[Mapping[str, Union[str, int, bool]]] = None,
                 lib: Optional[Library] = None) -> None:
        self._lib = lib or library()
        self._fast = self._lib.fast
        self.handle = None
        self._whole_keys = False
        with _logging.opening():
            handle = self._lib.OPEN()
        if handle < 0:
            _logging.flush()
            raise BqxError(-1, "BQXOPEN: no session opened (at most 5 at once; "
                               "see the log for the reason)")
        self.handle = handle
        _open_sessions.add(self)
        try:
            for name, value in (config or {}).items():
                self.conf(name, value)
        except BaseException:
            self.close()
            raise

    def __enter__(self) -> "Session":
        return self

    def __exit__(self, kind: Optional[type], error: Optional[BaseException],
                 trace: Any) -> Literal[False]:
        try:
            self.close()
        except BqxError:
            if kind is None:
                raise
            # The block's own exception is the one to see; the close's
            # failure is in the log.
        return False

    # -- helpers -----------------------------------------------------------

    def _open_handle(self, name: str) -> int:
        if self.handle is None:
            raise BqxError(INVALID_HANDLE, "BQX%s on a closed session" % name)
        return self.handle

    def last_error(self) -> Tuple[int, str]:
        """(number, text) of the session's last error, from BQXGERR."""
        handle = self._open_handle("GERR")
        buffer = ctypes.create_string_buffer(ERROR_TEXT_SIZE)
        length = ctypes.c_int32(ERROR_TEXT_SIZE)
        number = self._lib.GERR(handle, buffer, length)
        used = max(0, min(length.value, ERROR_TEXT_SIZE))
        return number, buffer.raw[:used].decode("utf-8", "replace")

    def _check(self, name: str, result: int) -> int:
        """Raises for an error result, warns for a warning, returns it."""
        if result == 0:
            return result
        if FIRST_WARNING <= result <= LAST_WARNING:
            number, text = self.last_error()
            if number != result or not text:
                text = "BQX%s returned warning %d (see the log)" % (name, result)
            warnings.warn(BqxWarning(result, text), stacklevel=3)
            return result
        number, text = self.last_error()
        if number != result or not text:
            # The error was not stored with the session (it was logged
            # without one, or the call failed before it could log).
            text = "BQX%s returned %d (see the log)" % (name, result)
            if number != 0 and number != result:
                text += "; the session's last error was %d" % number
        _logging.flush()  # the error's lines reach logging before the raise
        raise BqxError(result, text)

    # -- calls -------------------------------------------------------------

    def connect(self, bootstrap: Data, topic: Data) -> None:
        """Connects to the cluster of `bootstrap` ("host:port") and `topic`."""
        handle = self._open_handle("CONN")
        server = _local_bytes(bootstrap, "bootstrap")
        name = _local_bytes(topic, "topic")
        self._check("CONN", self._lib.CONN(handle, server, len(server), name, len(name)))

    def auth(self, user: Data, password: Data) -> None:
        """SASL PLAIN credentials for every later connection (connect after)."""
        handle = self._open_handle("AUTH")
        user_bytes = _local_bytes(user, "user")
        password_bytes = _local_bytes(password, "password")
        self._check("AUTH", self._lib.AUTH(handle, user_bytes, len(user_bytes), password_bytes,
                                           len(password_bytes)))

    def produce(self, value: Data, key: Optional[Data] = None, convert: bool = False) -> None:
        """Produces one message. A str value goes out as UTF-8; with
        convert=True the library converts it from the local code page.
        A key is at most 31 bytes without a zero byte (the library would
        cut it, which would change the partition it picks), or with
        conf("partitioner", "murmur2") up to 1024 bytes sent whole. A str
        key is encoded in the local code page."""
        handle = self.handle
        if handle is None:
            raise BqxError(INVALID_HANDLE, "BQXPROD on a closed session")
        if isinstance(key, str):
            key = _local_bytes(key, "key")
        if convert and isinstance(value, str):
            value = value.encode(locale.getpreferredencoding(False))
        fast = self._fast
        if fast is not None:
            result = fast.produce(handle, value, key, convert, self._whole_keys)
        else:
            result = self._produce_ctypes(handle, value, key, convert)
        if result:
            self._check("PROD", result)

    def _produce_ctypes(self, handle: int, value: Data, key: Optional[Data],
                        convert: bool) -> int:
        data = value.encode("utf-8") if isinstance(value, str) else \
            _local_bytes(value, "value")
        key_bytes = b"" if key is None else _local_bytes(key, "key")
        if self._whole_keys:
            if len(key_bytes) > MAX_WHOLE_KEY_LENGTH:
                raise ValueError("key: at most %d bytes" % MAX_WHOLE_KEY_LENGTH)
        elif len(key_bytes) > MAX_KEY_LENGTH or b"\0" in key_bytes:
            raise ValueError("key: at most %d bytes without a zero byte (whole keys: "
                             "conf('partitioner', 'murmur2'))" % MAX_KEY_LENGTH)
        return self._lib.PROD(handle, key_bytes, len(key_bytes), data, len(data),
                              1 if convert else 0)

    def produce_many(self, values: Iterable[Data], key: Optional[Data] = None) -> int:
        """Produces each of `values` (str as UTF-8, or bytes) with the same
        key (or none), as produce() would one by one; returns how many. On
        an error the ones before it were produced and BqxError is raised."""
        if isinstance(key, str):
            key = _local_bytes(key, "key")
        fast = self._fast
        if fast is None:
            count = 0
            for value in values:
                self.produce(value, key)
                count += 1
            return count
        pending = values if isinstance(values, (list, tuple)) else list(values)
        done = 0
        while True:
            index: int
            result: int
            index, result = fast.produce_many(self._open_handle("PROD"), pending, key, False,
                                              self._whole_keys)
            done += index
            if result == 0:
                return done
            self._check("PROD", result)  # raises, or warns and goes on
            done += 1
            pending = pending[index + 1:]

    def consume(self, group: Data, timeout: Timeout = 10, size: int = 1 << 20,
                convert: bool = False) -> Iterator[Message]:
        """Yields the topic's messages as a member of `group` until none
        arrives within `timeout` seconds (a float is rounded up to whole
        seconds; None or 0: wait without limit).

        A value or key longer than `size` bytes is yielded cut to `size`
        with a BqxWarning 5000: the message is consumed either way."""
        if size < 1:
            raise ValueError("size: at least 1 byte")
        seconds = whole_seconds(timeout)
        group_bytes = _local_bytes(group, "group")
        # One byte more than asked, so that a longer message is known for
        # certain (the library's last error may hold an older truncation),
        # and one for the library's terminating zero.
        buffer = bytearray(size + 2)
        key_buffer = bytearray(size + 1)
        fast = self._fast
        flag = 1 if convert else 0
        while True:
            handle = self.handle
            if handle is None:
                raise BqxError(INVALID_HANDLE, "BQXCONS on a closed session")
            if fast is not None:
                got = fast.consume(handle, group_bytes, buffer, key_buffer, flag, seconds, size)
            else:
                got = self._consume_ctypes(handle, group_bytes, buffer, key_buffer, flag,
                                           seconds, size)
            if type(got) is Message:
                yield got
            elif isinstance(got, int):
                if got == CONSUME_TIMEOUT:
                    return
                self._check("CONS", got)  # raises (a warning would go on)
            else:
                warnings.warn(BqxWarning(TRUNCATED, "Received Message longer than %d bytes "
                                                    "truncated to %d bytes" % (size, size)),
                              stacklevel=2)
                yield got[0]

    def _consume_ctypes(self, handle: int, group: bytes, buffer: bytearray,
                        key_buffer: bytearray, convert: int, seconds: int,
                        size: int) -> Union[int, Message, Tuple[Message, bool]]:
        """What bqx._fast.consume gives, through ctypes."""
        length = ctypes.c_uint32(len(buffer) - 1)
        result = self._lib.CONS(handle, group, len(group), buffer, length, convert, seconds)
        if result:
            return result
        key_length = ctypes.c_uint32(len(key_buffer))
        partition = ctypes.c_int32()
        offset, timestamp = ctypes.c_int64(), ctypes.c_int64()
        flags = ctypes.c_uint32()
        result = self._lib.INFO(handle, key_buffer, key_length, partition, offset, timestamp,
                                flags)
        if result:
            return result
        value_null, key_null = flags.value & INFO_VALUE_NULL, flags.value & INFO_KEY_NULL
        value = None if value_null else bytes(buffer[:min(length.value, size)])
        key = None if key_null else bytes(key_buffer[:min(key_length.value, size)])
        message = Message(value, key, partition.value, offset.value, timestamp.value)
        if (not value_null and length.value > size) or (not key_null and key_length.value > size):
            return message, True
        return message

    def conf(self, name: str, value: Union[str, int, bool]) -> None:
        """Sets one setting by name (BQXCONF), e.g. conf("client.id", "svc"),
        conf("auto.offset.reset", "latest"), conf("partitioner", "murmur2").
        An int is passed as its digits, a bool as "true" or "false". A
        refused name or value raises BqxError 7548 and changes nothing."""
        handle = self._open_handle("CONF")
        if isinstance(value, bool):
            value = "true" if value else "false"
        name_bytes = _local_bytes(name, "name")
        value_bytes = _local_bytes(str(value) if isinstance(value, int) else value, "value")
        self._check("CONF", self._lib.CONF(handle, name_bytes, len(name_bytes), value_bytes,
                                           len(value_bytes)))
        if name_bytes == b"partitioner":
            self._whole_keys = value_bytes.lower() == b"murmur2"

    def info(self, key_size: int = MAX_WHOLE_KEY_LENGTH) -> MessageInfo:
        """MessageInfo of the message the last consume yielded (BQXINFO).
        A key longer than `key_size` bytes comes cut, with BqxWarning 5000."""
        handle = self._open_handle("INFO")
        buffer = ctypes.create_string_buffer(max(key_size, 1))
        length = ctypes.c_uint32(key_size)
        partition = ctypes.c_int32()
        offset, timestamp = ctypes.c_int64(), ctypes.c_int64()
        flags = ctypes.c_uint32()
        self._check("INFO", self._lib.INFO(handle, buffer, length, partition, offset, timestamp,
                                           flags))
        key = None if flags.value & INFO_KEY_NULL else buffer.raw[:length.value]
        return MessageInfo(key, partition.value, offset.value, timestamp.value,
                           bool(flags.value & INFO_VALUE_NULL))

    def sync(self, mode: int, send_window: Optional[int] = None, receive_window: int = 1) -> None:
        """Synch mode: 0 pipelined, 1 wait until each message is stored,
        2 synch point (awaits every reply and commits; keeps mode 4), 4
        batched. Modes 1 and 4 are idempotent. The windows apply to modes 0
        and 4 (1 to 10000; mode 4's send window at most 5 while idempotent,
        a larger one is lowered with warning 5004). The send window
        defaults to 5 in mode 4 and to 100 otherwise."""
        if send_window is None:
            send_window = 5 if mode == 4 else 100
        handle = self._open_handle("SYNC")
        self._check("SYNC", self._lib.SYNC(handle, mode, send_window, receive_window))

    def debug(self, level: int) -> None:
        """Debug level of the session's log lines (0 errors and warnings only)."""
        self._check("DBUG", self._lib.DBUG(self._open_handle("DBUG"), level))

    def coordinator_timeout(self, seconds: Timeout) -> None:
        """Group session timeout in seconds (default 30; a float is rounded
        up to whole seconds)."""
        if seconds is None:
            raise ValueError("coordinator timeout: a number of seconds is needed")
        self._check("TIMO", self._lib.TIMO(self._open_handle("TIMO"), whole_seconds(seconds)))

    def load_balancing(self, enable: bool) -> None:
        """Consumers of one group share the partitions (off by default)."""
        self._check("CLDB", self._lib.CLDB(self._open_handle("CLDB"), 1 if enable else 0))

    def close(self) -> None:
        """Commits, leaves the group, awaits replies and frees the session.
        Closing twice does nothing."""
        if self.handle is None:
            return
        handle, self.handle = self.handle, None
        _open_sessions.discard(self)
        result = self._lib.CLSE(handle)
        if result == 4:  # other sessions remain open
            result = 0
        if result != 0 and not FIRST_WARNING <= result <= LAST_WARNING:
            _logging.flush()
            raise BqxError(result, "BQXCLSE returned %d (see the log)" % result)
        if result:
            warnings.warn(BqxWarning(result, "BQXCLSE returned warning %d (see the log)"
                                     % result), stacklevel=2)


@atexit.register
def _close_open_sessions() -> None:
    # Registered after logging's own exit handler, so it runs before it:
    # the lines of the closes reach the handlers while they still work.
    for session in list(_open_sessions):
        try:
            session.close()
        except BqxError:
            pass  # in the log; the other sessions are closed all the same
    _logging.flush()
