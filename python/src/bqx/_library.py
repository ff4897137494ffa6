"""Loading libbqx.so.1 and building its calls from the descriptor table.

BQXFUNC(0) hands out the address of the table of parameter descriptors, one
per function code ("i4" signed 32-bit, "u4" unsigned 32-bit, "p4" pointer,
handle included). Every call of this package goes through BQXFUNC with the
argument types read from that table; only the names of the function codes
are known here.

The library loaded is BQX_LIBRARY (the file, or the directory that holds
it) when set, else the libbqx.so.1 bundled in this package, else the one the
system loader finds.
"""

import ctypes
import os
import sys
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

# The function codes of BQXFUNC by the names of their entry points.
FUNCTION_CODES = {
    "OPEN": 1, "CONN": 2, "CLSE": 3, "PROD": 4, "CONS": 5, "DBUG": 6,
    "SYNC": 7, "AUTH": 8, "GERR": 9, "CLDB": 10, "TERM": 11, "TIMO": 12,
    "CONF": 13, "INFO": 14,
}
TABLE_CODE = 0
EYE_CATCHER = 0xC2D8E7C6  # "BQXF" in EBCDIC
LIBRARY_NAME = "libbqx.so.1"
LIBRARY_VARIABLE = "BQX_LIBRARY"

_INTEGER_TYPES = {
    ("i", 1): ctypes.c_int8, ("i", 2): ctypes.c_int16,
    ("i", 4): ctypes.c_int32, ("i", 8): ctypes.c_int64,
    ("u", 1): ctypes.c_uint8, ("u", 2): ctypes.c_uint16,
    ("u", 4): ctypes.c_uint32, ("u", 8): ctypes.c_uint64,
}


class LibraryError(ImportError):
    """The library cannot be loaded or its descriptor table is not usable."""


def argument_types(descriptor: str) -> Tuple[Any, ...]:
    """The ctypes types of a parameter descriptor such as "i4p4u4".

    A pointer ("p" with any size digit: the digit is that of the platform
    the table was first written for) is passed as a full pointer.
    """
    if len(descriptor) % 2:
        raise LibraryError("descriptor %r: odd length" % descriptor)
    types: List[Any] = []
    for i in range(0, len(descriptor), 2):
        letter, digit = descriptor[i], descriptor[i + 1]
        if not digit.isdigit():
            raise LibraryError("descriptor %r: bad size %r" % (descriptor, digit))
        if letter == "p":
            types.append(ctypes.c_void_p)
        elif (letter, int(digit)) in _INTEGER_TYPES:
            types.append(_INTEGER_TYPES[(letter, int(digit))])
        else:
            raise LibraryError("descriptor %r: unknown item %r" % (descriptor, letter + digit))
    return tuple(types)


def _integer_argument(ctype: Any, value: object, name: str, position: int) -> Any:
    # ctypes would silently cut a value that does not fit: refuse it.
    bits = ctypes.sizeof(ctype) * 8
    signed = ctype(-1).value == -1
    low, high = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if signed else (0, (1 << bits) - 1)
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("BQX%s argument %d: an integer is needed, not %s"
                        % (name, position, type(value).__name__))
    if not low <= value <= high:
        raise OverflowError("BQX%s argument %d: %d is outside %d..%d"
                            % (name, position, value, low, high))
    return ctype(value)


# What each pointer argument of a call is, by position (1 = the handle):
#   ("in", L)       bytes the library reads; argument L is their length
#   ("out", L, Z, S) a buffer the library writes; argument L points to its
#                   capacity (a 4-byte number, signed if S), which must leave
#                   Z bytes of the buffer over (a terminating zero)
#   ("value", N)    one N-byte number the library reads and writes
_POINTER_ROLES: Dict[str, Dict[int, Tuple[Any, ...]]] = {
    "CONN": {2: ("in", 3), 4: ("in", 5)},
    "AUTH": {2: ("in", 3), 4: ("in", 5)},
    "CONF": {2: ("in", 3), 4: ("in", 5)},
    "PROD": {2: ("in", 3), 4: ("in", 5)},
    "CONS": {2: ("in", 3), 4: ("out", 5, 1, False), 5: ("value", 4)},
    "GERR": {2: ("out", 3, 0, True), 3: ("value", 4)},
    "INFO": {2: ("out", 3, 0, False), 3: ("value", 4), 4: ("value", 4), 5: ("value", 8),
             6: ("value", 8), 7: ("value", 4)},
}


def _object_size(value: object) -> int:
    """The bytes a pointer argument may reach: those of the object itself."""
    if isinstance(value, (ctypes._SimpleCData, ctypes.Array, ctypes.Structure,
                          ctypes.Union)):
        return ctypes.sizeof(value)
    if isinstance(value, (bytes, bytearray)):
        return len(value)
    return 0  # None


def _pointer_argument(value: object, name: str, position: int, writable: bool) -> Any:
    """A c_void_p to the bytes of a Python object. Only objects whose size is
    known pass (no bare addresses, no ctypes.byref), so that every length
    can be checked against them."""
    if value is None:
        return ctypes.c_void_p(None)
    if isinstance(value, bytes) and not writable:
        return ctypes.c_void_p.from_param(value)
    if isinstance(value, bytearray):
        if not value:
            return ctypes.c_void_p(None)
        return ctypes.c_void_p(ctypes.addressof((ctypes.c_char * len(value)).from_buffer(value)))
    if isinstance(value, (ctypes._SimpleCData, ctypes.Array, ctypes.Structure,
                          ctypes.Union)) and not isinstance(value, ctypes._Pointer):
        return ctypes.c_void_p(ctypes.addressof(value))
    kind = "a writable buffer (bytearray or ctypes object)" if writable else \
        "bytes, bytearray or a ctypes object"
    raise TypeError("BQX%s argument %d: %s needed, not %s"
                    % (name, position, kind, type(value).__name__))


def _stored_number(value: Any, signed: bool) -> int:
    """The 4-byte number a ctypes object holds in its first bytes."""
    raw = ctypes.string_at(ctypes.addressof(value), 4)
    return int.from_bytes(raw, sys.byteorder, signed=signed)


class Call:
    """One function code: its name, code, descriptor and argument types.

    Calling it checks every argument: integers must fit their type, pointer
    arguments must be objects of known size (bytes, bytearray, ctypes
    objects or None), and every length must lie within the object it
    describes, so that the library never reads or writes past one."""

    def __init__(self, library: "Library", name: str, code: int, descriptor: str) -> None:
        self.library = library
        self.name = name
        self.code = code
        self.descriptor = descriptor
        self.argtypes = argument_types(descriptor)
        self.roles = _POINTER_ROLES.get(name, {})

    def _check_lengths(self, args: Sequence[object]) -> None:
        for position, role in self.roles.items():
            target = args[position - 1]
            size = _object_size(target)
            if role[0] == "value":
                if size < role[1]:
                    raise ValueError("BQX%s argument %d: a %d-byte object is needed"
                                     % (self.name, position, role[1]))
                continue
            length_position = role[1]
            length = args[length_position - 1]
            if role[0] == "out":
                # The capacity is the number the length argument points to.
                if _object_size(length) < 4:
                    continue  # refused below or by the library (null length)
                length = _stored_number(length, role[3])
                spare = role[2]
            else:
                spare = 0
            if isinstance(length, int) and length > 0 and length + spare > size:
                raise ValueError("BQX%s argument %d: length %d exceeds the %d bytes of "
                                 "argument %d%s" % (self.name, length_position, length, size,
                                                     position,
                                                     " (less 1 for the zero byte)" if spare
                                                     else ""))

    def __call__(self, *args: Any) -> int:
        if len(args) != len(self.argtypes):
            raise TypeError("BQX%s takes %d arguments (%r), %d given"
                            % (self.name, len(self.argtypes), self.descriptor, len(args)))
        converted = []
        for position, (ctype, value) in enumerate(zip(self.argtypes, args), 1):
            if ctype is ctypes.c_void_p:
                role = self.roles.get(position, ("in",))
                converted.append(_pointer_argument(value, self.name, position, role[0] != "in"))
            else:
                converted.append(_integer_argument(ctype, value, self.name, position))
        self._check_lengths(args)
        return self.library.dispatch(self.code, *converted)

    def __repr__(self) -> str:
        return "<bqx call BQX%s code %d %r>" % (self.name, self.code, self.descriptor)


def _candidates() -> List[str]:
    """Where the library is looked for, in order: BQX_LIBRARY (the file, or
    the directory that holds it), else the one bundled in the package, else
    the system loader's search (LD_LIBRARY_PATH, the cache, the defaults)."""
    path = os.environ.get(LIBRARY_VARIABLE)
    if path:
        return [os.path.join(path, LIBRARY_NAME) if os.path.isdir(path) else path]
    bundled = os.path.join(os.path.dirname(os.path.abspath(__file__)), LIBRARY_NAME)
    return [bundled, LIBRARY_NAME] if os.path.exists(bundled) else [LIBRARY_NAME]


def _load_cdll() -> Tuple[ctypes.CDLL, str]:
    errors = []
    for path in _candidates():
        try:
            return ctypes.CDLL(path), path
        except OSError as error:
            errors.append(str(error))
    raise LibraryError("cannot load %s (set %s to its path): %s"
                       % (LIBRARY_NAME, LIBRARY_VARIABLE, "; ".join(errors))) from None


def _table_address(cdll: ctypes.CDLL, low_word: int) -> int:
    """The full address of the descriptor table whose low 32 bits BQXFUNC(0)
    returned. Where pointers are wider, the library exports the table by its
    name; that address must agree with what BQXFUNC handed out."""
    if ctypes.sizeof(ctypes.c_void_p) == 4:
        return low_word
    try:
        address = ctypes.addressof(ctypes.c_uint64.in_dll(cdll, "paFctPrm"))
    except ValueError:
        raise LibraryError("BQXFUNC(0) gives only 32 bits of the table's address and "
                           "the library does not export paFctPrm") from None
    if address & 0xFFFFFFFF != low_word:
        raise LibraryError("BQXFUNC(0) returned 0x%08x, the table lies at 0x%x"
                           % (low_word, address))
    return address


def read_table(cdll: ctypes.CDLL, dispatch: Callable[..., int]) -> Dict[int, str]:
    """The descriptors of the table handed out by BQXFUNC(0), by code."""
    low_word = dispatch(ctypes.c_uint32(TABLE_CODE)) & 0xFFFFFFFF
    address = _table_address(cdll, low_word)
    eye_catcher, count = (ctypes.c_uint64 * 2).from_address(address)
    if eye_catcher != EYE_CATCHER:
        raise LibraryError("descriptor table at 0x%x: eye-catcher 0x%x" % (address, eye_catcher))
    if not 0 < count <= 256:
        raise LibraryError("descriptor table at 0x%x: %d function codes" % (address, count))
    words = (ctypes.c_char_p * count).from_address(address + 16)
    descriptors: Dict[int, str] = {}
    for code in range(1, count + 1):
        text = words[code - 1]
        if text is None:
            raise LibraryError("descriptor table: no descriptor for code %d" % code)
        descriptors[code] = text.decode("ascii")
    return descriptors


def _bind_fast(cdll: ctypes.CDLL) -> Any:
    """The C module bqx._fast bound to this library's BQXPROD, BQXCONS and
    BQXINFO, or None where the module was not built."""
    try:
        from . import _fast
    except ImportError:
        return None
    from .session import Message
    produce, consume, info = (ctypes.cast(getattr(cdll, name), ctypes.c_void_p).value
                              for name in ("BQXPROD", "BQXCONS", "BQXINFO"))
    _fast.bind(produce, consume, info, Message)
    return _fast


class Library:
    """libbqx.so.1 with one Call per function code, e.g. lib.calls["CONN"].

    `path` is the file loaded; `fast` the C module bqx._fast bound to it (None
    where it was not built, or with fast=False: every call through ctypes)."""

    calls: Dict[str, Call]

    def __init__(self, fast: bool = True) -> None:
        self.cdll, self.path = _load_cdll()
        self._bqxfunc = self.cdll.BQXFUNC
        # One fixed argument: more arguments make ctypes call it as variadic.
        self._bqxfunc.argtypes = [ctypes.c_uint32]
        self._bqxfunc.restype = ctypes.c_int32
        self.descriptors = read_table(self.cdll, self._bqxfunc)
        self.calls = {}
        for name, code in FUNCTION_CODES.items():
            if code not in self.descriptors:
                raise LibraryError("descriptor table has no code %d (BQX%s)" % (code, name))
            self.calls[name] = Call(self, name, code, self.descriptors[code])
        self.fast = _bind_fast(self.cdll) if fast else None

    def dispatch(self, code: int, *args: Any) -> int:
        """BQXFUNC(code, args...) with arguments already of their ctypes."""
        result: int = self._bqxfunc(ctypes.c_uint32(code), *args)
        return result

    def __getattr__(self, name: str) -> Call:
        # lib.CONN(...) for lib.calls["CONN"](...)
        calls: Dict[str, Call] = self.__dict__.get("calls", {})
        if name in calls:
            return calls[name]
        raise AttributeError(name)


_default: Optional[Library] = None


def library() -> Library:
    """The process's library, loaded on first use."""
    global _default
    if _default is None:
        _default = Library()
    return _default
