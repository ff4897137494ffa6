"""Sessions of the bqx library: a context manager over one session handle."""

import atexit
import collections
import ctypes
import locale
import warnings

from ._library import library

ERROR_TEXT_SIZE = 256       # the last error text is at most 255 characters
INVALID_HANDLE = 7502       # the library's number for an unknown handle
CONSUME_TIMEOUT = 7543      # no message within the consume timeout
TRUNCATED = 5000            # a consumed message was cut to the buffer
FIRST_WARNING, LAST_WARNING = 5000, 5009
MAX_KEY_LENGTH = 31         # the default partitioner keeps at most 31 key bytes
MAX_WHOLE_KEY_LENGTH = 1024 # partitioner=murmur2 sends keys whole, up to this
INFO_VALUE_NULL, INFO_KEY_NULL = 1, 2

# The message the last consume yielded: key (bytes, None when it had none),
# partition, offset, timestamp (ms since 1970) and whether its value was null.
MessageInfo = collections.namedtuple(
    "MessageInfo", "key partition offset timestamp value_null")

# Sessions the program has not closed (held here until it does) are closed
# when the interpreter ends: what they consumed is committed, their groups
# are left.
_open_sessions = set()


class BqxError(Exception):
    """A call failed: `number` is its return code (the message number the
    library logged, or -1), `text` the text BQXGERR reports for it."""

    def __init__(self, number, text):
        super().__init__("BQX%04d %s" % (number, text) if number >= 0 else text)
        self.number = number
        self.text = text


class BqxWarning(UserWarning):
    """A call succeeded with a warning (5000 to 5009). Turn these into
    errors with warnings.simplefilter("error", bqx.BqxWarning)."""

    def __init__(self, number, text):
        super().__init__("BQX%04d %s" % (number, text))
        self.number = number
        self.text = text


def _local_bytes(value, what):
    """Texts for the library are in the local code page, which it converts
    to UTF-8 where Kafka wants it; bytes pass unchanged."""
    if isinstance(value, str):
        return value.encode(locale.getpreferredencoding(False))
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    raise TypeError("%s: str or bytes needed, not %s" % (what, type(value).__name__))


class Session:
    """One session of the library (at most five per process).

        with bqx.Session() as s:
            s.connect("127.0.0.1:9092", "topic")
            s.produce(b"value", key=b"key")
            for message in s.consume("group", timeout=5):
                ...

    The session is closed when the block ends (or by close()); a closed
    session refuses every call with BqxError 7502, so that its handle, which
    the library may give to a later session, is never used again.
    """

    def __init__(self, lib=None):
        self._lib = lib or library()
        self.handle = None
        handle = self._lib.OPEN()
        if handle < 0:
            raise BqxError(-1, "BQXOPEN: no session opened (at most 5 at once; "
                               "see the log for the reason)")
        self.handle = handle
        self._whole_keys = False
        _open_sessions.add(self)

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        try:
            self.close()
        except BqxError:
            if kind is None:
                raise
            # The block's own exception is the one to see; the close's
            # failure is in the log.
        return False

    # -- helpers -----------------------------------------------------------

    def _open_handle(self, name):
        if self.handle is None:
            raise BqxError(INVALID_HANDLE, "BQX%s on a closed session" % name)
        return self.handle

    def last_error(self):
        """(number, text) of the session's last error, from BQXGERR."""
        handle = self._open_handle("GERR")
        buffer = ctypes.create_string_buffer(ERROR_TEXT_SIZE)
        length = ctypes.c_int32(ERROR_TEXT_SIZE)
        number = self._lib.GERR(handle, buffer, ctypes.byref(length))
        used = max(0, min(length.value, ERROR_TEXT_SIZE))
        return number, buffer.raw[:used].decode("utf-8", "replace")

    def _check(self, name, result):
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
        raise BqxError(result, text)

    # -- calls -------------------------------------------------------------

    def connect(self, bootstrap, topic):
        """Connects to the cluster of `bootstrap` ("host:port") and `topic`."""
        handle = self._open_handle("CONN")
        server = _local_bytes(bootstrap, "bootstrap")
        name = _local_bytes(topic, "topic")
        self._check("CONN", self._lib.CONN(handle, server, len(server), name, len(name)))

    def auth(self, user, password):
        """SASL PLAIN credentials for every later connection (connect after)."""
        handle = self._open_handle("AUTH")
        user = _local_bytes(user, "user")
        password = _local_bytes(password, "password")
        self._check("AUTH", self._lib.AUTH(handle, user, len(user), password, len(password)))

    def produce(self, value, key=None, convert=False):
        """Produces one message. A str value goes out as UTF-8; with
        convert=True the library converts it from the local code page.
        A key is at most 31 bytes without a zero byte (the library would
        cut it, which would change the partition it picks)."""
        handle = self._open_handle("PROD")
        if isinstance(value, str):
            value = value.encode(locale.getpreferredencoding(False) if convert else "utf-8")
        value = _local_bytes(value, "value")
        key = b"" if key is None else _local_bytes(key, "key")
        if self._whole_keys:
            if len(key) > MAX_WHOLE_KEY_LENGTH:
                raise ValueError("key: at most %d bytes" % MAX_WHOLE_KEY_LENGTH)
        elif len(key) > MAX_KEY_LENGTH or b"\0" in key:
            raise ValueError("key: at most %d bytes without a zero byte (whole keys: "
                             "conf('partitioner', 'murmur2'))" % MAX_KEY_LENGTH)
        self._check("PROD", self._lib.PROD(handle, key, len(key), value, len(value),
                                           1 if convert else 0))

    def consume(self, group, timeout=10, size=1 << 20, convert=False):
        """Yields the topic's messages (bytes) as a member of `group` until
        none arrives within `timeout` seconds (0: wait without limit).

        A message longer than `size` bytes is yielded cut to `size` with a
        BqxWarning 5000: it is consumed either way."""
        if size < 1:
            raise ValueError("size: at least 1 byte")
        group = _local_bytes(group, "group")
        # One byte more than asked, so that a longer message is known for
        # certain (the library's last error may hold an older truncation).
        capacity = size + 1
        buffer = ctypes.create_string_buffer(capacity + 1)
        while True:
            handle = self._open_handle("CONS")
            length = ctypes.c_uint32(capacity)
            result = self._lib.CONS(handle, group, len(group), buffer, ctypes.byref(length),
                                    1 if convert else 0, timeout)
            if result == CONSUME_TIMEOUT:
                return
            self._check("CONS", result)
            if length.value > size:
                warnings.warn(BqxWarning(TRUNCATED, "Received Message longer than %d bytes "
                                                    "truncated to %d bytes" % (size, size)),
                              stacklevel=2)
            yield buffer.raw[:min(length.value, size)]

    def conf(self, name, value):
        """Sets one setting by name (BQXCONF), e.g. conf("client.id", "svc"),
        conf("auto.offset.reset", "latest"), conf("partitioner", "murmur2").
        A refused name or value raises BqxError 7548 and changes nothing."""
        handle = self._open_handle("CONF")
        name_bytes = _local_bytes(name, "name")
        value_bytes = _local_bytes(str(value) if isinstance(value, int) else value, "value")
        self._check("CONF", self._lib.CONF(handle, name_bytes, len(name_bytes), value_bytes,
                                           len(value_bytes)))
        if name_bytes == b"partitioner":
            self._whole_keys = value_bytes.lower() == b"murmur2"

    def info(self, key_size=MAX_WHOLE_KEY_LENGTH):
        """MessageInfo of the message the last consume yielded (BQXINFO).
        A key longer than `key_size` bytes comes cut, with BqxWarning 5000."""
        handle = self._open_handle("INFO")
        buffer = ctypes.create_string_buffer(max(key_size, 1))
        length = ctypes.c_uint32(key_size)
        partition = ctypes.c_int32()
        offset, timestamp = ctypes.c_int64(), ctypes.c_int64()
        flags = ctypes.c_uint32()
        self._check("INFO", self._lib.INFO(handle, buffer, ctypes.byref(length),
                                           ctypes.byref(partition), ctypes.byref(offset),
                                           ctypes.byref(timestamp), ctypes.byref(flags)))
        key = None if flags.value & INFO_KEY_NULL else buffer.raw[:length.value]
        return MessageInfo(key, partition.value, offset.value, timestamp.value,
                           bool(flags.value & INFO_VALUE_NULL))

    def sync(self, mode, send_window=None, receive_window=1):
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

    def debug(self, level):
        """Debug level of the session's log lines (0 errors and warnings only)."""
        self._check("DBUG", self._lib.DBUG(self._open_handle("DBUG"), level))

    def coordinator_timeout(self, seconds):
        """Group session timeout in seconds (default 30)."""
        self._check("TIMO", self._lib.TIMO(self._open_handle("TIMO"), seconds))

    def load_balancing(self, enable):
        """Consumers of one group share the partitions (off by default)."""
        self._check("CLDB", self._lib.CLDB(self._open_handle("CLDB"), 1 if enable else 0))

    def close(self):
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
            raise BqxError(result, "BQXCLSE returned %d (see the log)" % result)
        if result:
            warnings.warn(BqxWarning(result, "BQXCLSE returned warning %d (see the log)"
                                     % result), stacklevel=2)


@atexit.register
def _close_open_sessions():
    for session in list(_open_sessions):
        try:
            session.close()
        except BqxError:
            pass  # in the log; the other sessions are closed all the same
