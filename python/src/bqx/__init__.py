"""Python binding of the bqx Kafka client library.

The library (libbqx.so.1) is found through the environment variable
BQX_LIBRARY (the file, or the directory that holds it), else by the system
loader's search. Every call is made through BQXFUNC with the argument types
of the descriptor table that BQXFUNC(0) hands out.
"""

from ._library import FUNCTION_CODES, Library, LibraryError, argument_types, library
from .session import BqxError, BqxWarning, MessageInfo, Session

__all__ = ["BqxError", "BqxWarning", "FUNCTION_CODES", "Library", "LibraryError",
           "MessageInfo", "Session", "argument_types", "library"]
__version__ = "1.2.1"
