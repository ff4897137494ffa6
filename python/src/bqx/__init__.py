"""Python binding of the bqx Kafka client library.

The library (libbqx.so.1) is BQX_LIBRARY (the file, or the directory that
holds it) when set, else the one bundled in this package, else the one the
system loader finds. The per-message calls go through the C module
bqx._fast where it was built, every other call through BQXFUNC with the
argument types of the descriptor table that BQXFUNC(0) hands out.

The library's log lines reach Python's logging under the logger "bqx" (I
as INFO, W as WARNING, E as ERROR) unless BQX_LOG is set, which then says
where they go as it does for any program.
"""

from ._library import FUNCTION_CODES, Library, LibraryError, argument_types, library
from .session import (RETRIABLE, BqxError, BqxWarning, Message, MessageInfo, Session, flush_log,
                      whole_seconds)

__all__ = ["BqxError", "BqxWarning", "FUNCTION_CODES", "Library", "LibraryError", "Message",
           "MessageInfo", "RETRIABLE", "Session", "argument_types", "flush_log", "library",
           "whole_seconds"]
__version__ = "1.2.1"
