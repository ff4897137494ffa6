"""The descriptor table read through BQXFUNC(0) against include/bqx.h."""

import ctypes
import os
import re

import pytest

import bqx
from bqx import _library
from conftest import SOURCE

HEADER = os.environ.get("BQX_HEADER", str(SOURCE / "include" / "bqx.h"))

# The table's descriptors say "i4" where the header declares these
# arguments uint32_t: byte lengths, the conversion flag and the timeout
# seconds. Both are 32 bits wide and pass alike up to 2^31 - 1, the range
# the package accepts for them. Any other difference fails.
SIGNEDNESS_DIFFERENCES = {("PROD", 3), ("PROD", 5), ("PROD", 6), ("TIMO", 2)}


def header_text():
    with open(HEADER, encoding="ascii") as f:
        return f.read()


def header_descriptors():
    """{name: [items]} from the prototypes, e.g. "CONN": ["i4", "p", ...]."""
    prototypes = re.findall(r"BQX_API\s+int32_t\s+BQX(\w{4})\s*\(([^)]*)\)\s*;",
                            header_text())
    items = {}
    for name, parameters in prototypes:
        if name == "FUNC":  # the dispatcher itself
            continue
        items[name] = []
        for parameter in (p.strip() for p in parameters.split(",")):
            if parameter == "void":
                continue
            if "*" in parameter:
                items[name].append("p")
                continue
            kind = re.match(r"(?:const\s+)?(u?)int(\d+)_t\b", parameter)
            assert kind, "BQX%s: parameter %r" % (name, parameter)
            letter = "u" if kind.group(1) else "i"
            items[name].append(letter + str(int(kind.group(2)) // 8))
    return items


def table_items(descriptor):
    return [descriptor[i:i + 2] for i in range(0, len(descriptor), 2)]


def test_function_codes_match_the_header(lib):
    codes = dict(re.findall(r"#define\s+BQX_FC_(\w+)\s+(\d+)", header_text()))
    count = int(codes.pop("COUNT"))
    assert int(codes.pop("TABLE")) == _library.TABLE_CODE
    assert {name: int(code) for name, code in codes.items()} == bqx.FUNCTION_CODES
    assert sorted(lib.descriptors) == list(range(1, count + 1))


def test_table_agrees_with_the_prototypes(lib):
    declared = header_descriptors()
    assert sorted(declared) == sorted(bqx.FUNCTION_CODES), "one prototype per function code"
    differences = set()
    for name, code in bqx.FUNCTION_CODES.items():
        table = table_items(lib.descriptors[code])
        header = declared[name]
        assert len(table) == len(header), "BQX%s: %s against %s" % (name, table, header)
        for position, (item, want) in enumerate(zip(table, header), 1):
            where = "BQX%s argument %d: table %s, header %s" % (name, position, item, want)
            if want == "p":
                assert item[0] == "p", where
                continue
            assert item[0] in "iu" and item[1] == want[1], where
            if item[0] != want[0]:
                differences.add((name, position))
    assert differences == SIGNEDNESS_DIFFERENCES


def test_calls_take_their_types_from_the_table(lib):
    assert lib.calls["CONS"].argtypes == (
        ctypes.c_int32, ctypes.c_void_p, ctypes.c_int32, ctypes.c_void_p, ctypes.c_void_p,
        ctypes.c_int32, ctypes.c_int32)
    assert lib.calls["SYNC"].argtypes[2:] == (ctypes.c_uint32, ctypes.c_uint32)


@pytest.mark.parametrize("descriptor", ["i", "x4", "i3", "ip"])
def test_bad_descriptors_are_refused(descriptor):
    with pytest.raises(bqx.LibraryError):
        bqx.argument_types(descriptor)


@pytest.mark.parametrize("name, args, error", [
    ("SYNC", (0, 0, -1, 1), OverflowError),         # u4 below 0
    ("SYNC", (0, 0, 1 << 32, 1), OverflowError),    # u4 above 2^32 - 1
    ("DBUG", (0, 1 << 31), OverflowError),          # i4 above 2^31 - 1
    ("DBUG", (0, "1"), TypeError),
    ("DBUG", (0,), TypeError),                       # one argument short
    ("AUTH", (0, "u", 1, b"p", 1), TypeError),       # a str would go out as wchar_t
])
def test_arguments_outside_their_type_are_refused(lib, name, args, error):
    # ctypes would cut these silently; nothing reaches the library.
    with pytest.raises(error):
        lib.calls[name](*args)


def test_table_address_must_match_bqxfunc(lib):
    low_word = lib.dispatch(_library.TABLE_CODE) & 0xFFFFFFFF
    assert _library._table_address(lib.cdll, low_word) & 0xFFFFFFFF == low_word
    with pytest.raises(bqx.LibraryError):
        _library._table_address(lib.cdll, low_word ^ 0x10)


def _u32(value):
    return ctypes.c_uint32(value)


@pytest.mark.parametrize("name, args, error", [
    # A length past its bytes: the library would read past the object.
    ("CONN", (0, b"x", 100, b"t", 1), ValueError),
    ("CONF", (0, b"client.id", 9, bytearray(b"v"), 2), ValueError),
    ("PROD", (0, None, 1, b"v", 1, 0), ValueError),           # no key with a length
    # A capacity past the buffer: the library would write past it.
    ("CONS", (0, b"g", 1, bytearray(8), _u32(8), 0, 1), ValueError),  # no room for the zero
    ("GERR", (0, ctypes.create_string_buffer(8), ctypes.c_int32(9)), ValueError),
    ("INFO", (0, bytearray(4), _u32(5), ctypes.c_int32(), ctypes.c_int64(), ctypes.c_int64(),
              _u32(0)), ValueError),
    # A result slot smaller than the number written into it.
    ("INFO", (0, bytearray(4), _u32(4), ctypes.c_int16(), ctypes.c_int64(), ctypes.c_int64(),
              _u32(0)), ValueError),
    ("INFO", (0, bytearray(4), _u32(4), ctypes.c_int32(), ctypes.c_int32(), ctypes.c_int64(),
              _u32(0)), ValueError),
    ("CONS", (0, b"g", 1, bytearray(8), ctypes.c_uint16(4), 0, 1), ValueError),
    # Objects whose size is not known, or that must not be written.
    ("CONN", (0, 1234, 1, b"t", 1), TypeError),                # a bare address
    ("CONS", (0, b"g", 1, b"immutable", _u32(4), 0, 1), TypeError),
    ("GERR", (0, ctypes.create_string_buffer(8), ctypes.byref(ctypes.c_int32(8))), TypeError),
])
def test_lengths_must_lie_within_their_objects(lib, name, args, error):
    with pytest.raises(error):
        lib.calls[name](*args)


def test_lengths_within_their_objects_pass(lib):
    # The same calls with lengths that fit reach the library, which answers
    # for the closed handle 0 (7502) or, for a negative length, with 7536.
    with bqx.Session() as session:
        handle = session.handle
    assert lib.calls["CONN"](handle, b"x", 1, b"t", 1) == 7502
    assert lib.calls["CONS"](handle, b"g", 1, bytearray(8), _u32(7), 0, 1) == 7502
    buffer, length = ctypes.create_string_buffer(8), ctypes.c_int32(8)
    assert lib.calls["GERR"](handle, buffer, length) == 7502
