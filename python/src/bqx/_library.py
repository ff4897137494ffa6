"""Loading libbqx.so.1 and building its calls from the descriptor table.

BQXFUNC(0) hands out the address of the table of parameter descriptors, one
per function code ("i4" signed 32-bit, "u4" unsigned 32-bit, "p4" pointer,
handle included). Every call of this package goes through BQXFUNC with the
argument types read from that table; only the names of the function codes
are known here.
"""

import ctypes
import os

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


def argument_types(descriptor):
    """The ctypes types of a parameter descriptor such as "i4p4u4".

    A pointer ("p" with any size digit: the digit is that of the platform
    the table was first written for) is passed as a full pointer.
    """
    if len(descriptor) % 2:
        raise LibraryError("descriptor %r: odd length" % descriptor)
    types = []
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


def _integer_argument(ctype, value, name, position):
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


class Call:
    """One function code: its name, code, descriptor and argument types."""

    def __init__(self, library, name, code, descriptor):
        self.library = library
        self.name = name
        self.code = code
        self.descriptor = descriptor
        self.argtypes = argument_types(descriptor)

    def __call__(self, *args):
        if len(args) != len(self.argtypes):
            raise TypeError("BQX%s takes %d arguments (%r), %d given"
                            % (self.name, len(self.argtypes), self.descriptor, len(args)))
        converted = []
        for position, (ctype, value) in enumerate(zip(self.argtypes, args), 1):
            if ctype is ctypes.c_void_p:
                # ctypes would pass a str as a wide-character string.
                if isinstance(value, str):
                    raise TypeError("BQX%s argument %d: bytes needed, not str"
                                    % (self.name, position))
                converted.append(ctypes.c_void_p.from_param(value))
            else:
                converted.append(_integer_argument(ctype, value, self.name, position))
        return self.library.dispatch(self.code, *converted)

    def __repr__(self):
        return "<bqx call BQX%s code %d %r>" % (self.name, self.code, self.descriptor)


def _load_cdll():
    path = os.environ.get(LIBRARY_VARIABLE)
    if path and os.path.isdir(path):
        path = os.path.join(path, LIBRARY_NAME)
    try:
        # Without BQX_LIBRARY the system loader searches as for any program
        # (LD_LIBRARY_PATH, the loader cache, the default directories).
        return ctypes.CDLL(path or LIBRARY_NAME)
    except OSError as error:
        raise LibraryError("cannot load %s (set %s to its path): %s"
                           % (path or LIBRARY_NAME, LIBRARY_VARIABLE, error)) from None


def _table_address(cdll, low_word):
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


def read_table(cdll, dispatch):
    """The descriptors of the table handed out by BQXFUNC(0), by code."""
    low_word = dispatch(ctypes.c_uint32(TABLE_CODE)) & 0xFFFFFFFF
    address = _table_address(cdll, low_word)
    eye_catcher, count = (ctypes.c_uint64 * 2).from_address(address)
    if eye_catcher != EYE_CATCHER:
        raise LibraryError("descriptor table at 0x%x: eye-catcher 0x%x" % (address, eye_catcher))
    if not 0 < count <= 256:
        raise LibraryError("descriptor table at 0x%x: %d function codes" % (address, count))
    words = (ctypes.c_char_p * count).from_address(address + 16)
    descriptors = {}
    for code in range(1, count + 1):
        text = words[code - 1]
        if text is None:
            raise LibraryError("descriptor table: no descriptor for code %d" % code)
        descriptors[code] = text.decode("ascii")
    return descriptors


class Library:
    """libbqx.so.1 with one Call per function code, e.g. lib.calls["CONN"]."""

    def __init__(self):
        self.cdll = _load_cdll()
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

    def dispatch(self, code, *args):
        """BQXFUNC(code, args...) with arguments already of their ctypes."""
        return self._bqxfunc(ctypes.c_uint32(code), *args)

    def __getattr__(self, name):
        # lib.CONN(...) for lib.calls["CONN"](...)
        calls = self.__dict__.get("calls", {})
        if name in calls:
            return calls[name]
        raise AttributeError(name)


_default = None


def library():
    """The process's library, loaded on first use."""
    global _default
    if _default is None:
        _default = Library()
    return _default
