"""The library's log lines as records of Python's logging, logger "bqx".

The library writes each line with one write() to where BQX_LOG says, which
it reads when the process's first session opens. When BQX_LOG is not set,
the package points it, for the moment of that BQXOPEN only, at the write end
of a pipe of its own (file:/dev/fd/N; the descriptor is not inherited by
child processes, and neither is the variable, which is put back at once). A
reader thread turns each line into a record: severity letter I, W, E to
INFO, WARNING, ERROR; lines without one (hex dumps) take the level of the
line before. flush() waits until every line written before it was emitted:
it writes a marker line into the pipe and waits for the reader to reach it,
so nothing is lost at exit and nothing is read twice. The reader never stops
reading while it emits, so a full pipe only delays the library's writer.
"""

import logging
import os
import re
import threading
from typing import Dict, Optional

LOGGER = logging.getLogger("bqx")
LOG_VARIABLE = "BQX_LOG"
FLUSH_WAIT = 5.0  # seconds flush() waits for the reader at most

_LEVELS: Dict[str, int] = {"I": logging.INFO, "W": logging.WARNING, "E": logging.ERROR}
# "12/08/2026 15:44:20.330 BQX7500E Connect  00 -- text"
_LINE = re.compile(r"^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3} (BQX(\d{4})([IWE]) .*)$")
_MARKER = b"\0bqx-flush %d\n"


class _Reader:
    """The pipe, its reader thread and the flush handshake."""

    def __init__(self) -> None:
        self.read_fd, self.write_fd = os.pipe()  # both close-on-exec
        self.setting = "file:/dev/fd/%d" % self.write_fd
        self._reached = threading.Condition()
        self._last_marker = 0
        self._next_marker = 0
        self._marker_lock = threading.Lock()
        self._level = logging.INFO
        self.thread = threading.Thread(target=self._run, name="bqx-log", daemon=True)
        self.thread.start()

    def _run(self) -> None:
        pending = b""
        while True:
            try:
                chunk = os.read(self.read_fd, 65536)
            except InterruptedError:
                continue
            except OSError:
                return
            if not chunk:
                return
            pending += chunk
            *lines, pending = pending.split(b"\n")
            for line in lines:
                self._handle(line)

    def _handle(self, line: bytes) -> None:
        if line.startswith(b"\0bqx-flush "):
            with self._reached:
                self._last_marker = int(line[11:])
                self._reached.notify_all()
            return
        text = line.decode("utf-8", "replace")
        match = _LINE.match(text)
        if match:
            self._level = _LEVELS[match.group(3)]
            LOGGER.log(self._level, "%s", match.group(1),
                       extra={"bqx_number": int(match.group(2))})
        elif text:
            LOGGER.log(self._level, "%s", text, extra={"bqx_number": None})

    def flush(self) -> bool:
        """Waits until the lines written so far are emitted; False if the
        reader did not get there within FLUSH_WAIT seconds, or the caller is
        the reader itself (a handler that calls the library)."""
        if threading.current_thread() is self.thread:
            return False
        with self._marker_lock:
            self._next_marker += 1
            marker = self._next_marker
        os.write(self.write_fd, _MARKER % marker)
        with self._reached:
            return self._reached.wait_for(lambda: self._last_marker >= marker, FLUSH_WAIT)


_reader: Optional[_Reader] = None
_reader_lock = threading.Lock()


class _Opening:
    """Context of a BQXOPEN: BQX_LOG names the pipe while it runs, unless the
    program set BQX_LOG itself, which is then left as it is."""

    def __enter__(self) -> None:
        global _reader
        _reader_lock.acquire()
        self._set = False
        try:
            if LOG_VARIABLE in os.environ:
                return
            if _reader is None:
                _reader = _Reader()
            os.environ[LOG_VARIABLE] = _reader.setting
            self._set = True
        except BaseException:
            _reader_lock.release()
            raise

    def __exit__(self, *exc: object) -> None:
        if self._set:
            del os.environ[LOG_VARIABLE]
        _reader_lock.release()


def opening() -> _Opening:
    return _Opening()


def flush() -> bool:
    """Every line the library wrote before this call reaches logging before
    it returns (True), or FLUSH_WAIT passed (False). Without routing: True."""
    reader = _reader
    return reader.flush() if reader is not None else True
