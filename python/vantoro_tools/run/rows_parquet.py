"""A Parquet file of a few rows, written without Arrow: what the ledger
writes as each attempt ends and when a batch ends.

Importing pyarrow costs a process 0.23 s of CPU (measured: with NumPy, which
it loads), more than a 40-file batch's command spent on everything else per
file before it kept a ledger. The ledger's rows are few and its columns fixed,
so they are written here as one uncompressed row group, PLAIN-encoded, in one
data page per column: a file any Parquet reader reads (pyarrow and DuckDB
are the tests' readers). Reading the ledger still goes through pyarrow.

A schema is a sequence of (name, kind): a leaf kind ("string", "int64",
"bool", "timestamp": nanoseconds since 1970, UTC) or a list of structs of
leaves, `("list", ((name, leaf kind), ...))`. Every column and field is
optional: None is null."""

from __future__ import annotations

import functools
import re
import struct
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

# Thrift compact protocol types.
_TRUE, _FALSE, _I32, _I64, _BINARY, _LIST, _STRUCT = 1, 2, 5, 6, 8, 9, 12
# Parquet's enumerations.
_BOOLEAN, _INT64, _BYTE_ARRAY = 0, 2, 6
_OPTIONAL, _REPEATED = 1, 2
_UTF8, _LIST_CONVERTED = 0, 3
_PLAIN, _RLE = 0, 3
_DATA_PAGE = 0

Kind = Any  # a leaf kind's name, or ("list", fields)
Schema = Sequence[tuple[str, Kind]]

_PHYSICAL = {"string": _BYTE_ARRAY, "int64": _INT64, "bool": _BOOLEAN, "timestamp": _INT64}


def _varint(n: int) -> bytes:
    out = bytearray()
    while True:
        low, n = n & 0x7F, n >> 7
        if n:
            out.append(low | 0x80)
        else:
            out.append(low)
            return bytes(out)


def _zigzag(n: int) -> int:
    return (n << 1) ^ (n >> 63)


def _struct(*fields: tuple[int, str, Any]) -> bytes:
    """A Thrift struct in the compact protocol: (field id, kind, value) in
    increasing id order; a None value is left out."""
    out = bytearray()
    last = 0
    for fid, kind, value in fields:
        if value is None:
            continue
        code = {"bool": _TRUE if value else _FALSE, "i32": _I32, "i64": _I64, "bin": _BINARY}.get(kind)
        if code is None:
            code = _STRUCT if kind == "struct" else _LIST
        delta = fid - last
        out += bytes([delta << 4 | code]) if 0 < delta <= 15 else bytes([code]) + _varint(_zigzag(fid))
        last = fid
        if kind in ("i32", "i64"):
            out += _varint(_zigzag(value))
        elif kind == "bin":
            data = value.encode("utf-8") if isinstance(value, str) else value
            out += _varint(len(data)) + data
        elif kind == "struct":
            out += value
        elif kind != "bool":  # a list: "list_i32", "list_bin" or "list_struct"
            element = {"list_i32": _I32, "list_bin": _BINARY, "list_struct": _STRUCT}[kind]
            n = len(value)
            out += bytes([n << 4 | element]) if n < 15 else bytes([0xF0 | element]) + _varint(n)
            for item in value:
                if kind == "list_i32":
                    out += _varint(_zigzag(item))
                elif kind == "list_bin":
                    data = item.encode("utf-8")
                    out += _varint(len(data)) + data
                else:
                    out += item
    return bytes(out + b"\x00")


def _levels(levels: Sequence[int]) -> bytes:
    """Levels in the RLE/bit-packing hybrid, as runs of one value (every
    level here fits a byte), with their length in front."""
    out = bytearray()
    k = 0
    while k < len(levels):
        j = k
        while j < len(levels) and levels[j] == levels[k]:
            j += 1
        out += _varint((j - k) << 1) + bytes([levels[k]])
        k = j
    return struct.pack("<I", len(out)) + out


def stored_text(text: str) -> str:
    """`text` as a string column holds it: valid UTF-8 always. A file name
    that is not UTF-8 reaches Python with its bytes as lone surrogates;
    they are spelled as those bytes' escapes (`\\xff`), any other lone
    surrogate as its own (`\\ud800`)."""
    try:
        text.encode("utf-8")
        return text
    except UnicodeEncodeError:
        pass
    try:
        return text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    except UnicodeEncodeError:
        return text.encode("utf-8", "backslashreplace").decode("utf-8")


def named_by(text: str) -> list[str]:
    """The names `text`, as `stored_text` left it, may stand for: itself,
    and where it holds byte escapes (`\\x80` to `\\xff`), the name with
    those bytes (a literal backslash in a name could read the same)."""
    names = [text]
    if "\\x" in text:
        bytes_back = re.sub(r"\\x([89a-f][0-9a-f])", lambda m: chr(0xDC00 + int(m.group(1), 16)), text)
        if bytes_back != text:
            names.append(bytes_back)
    return names


def _plain(kind: str, values: Sequence[Any]) -> bytes:
    if kind in ("int64", "timestamp"):
        return struct.pack(f"<{len(values)}q", *values)
    if kind == "bool":
        bits = bytearray((len(values) + 7) // 8)
        for k, v in enumerate(values):
            if v:
                bits[k >> 3] |= 1 << (k & 7)
        return bytes(bits)
    out = bytearray()
    for v in values:
        try:
            data = v.encode("utf-8")
        except UnicodeEncodeError:
            data = stored_text(v).encode("utf-8")
        out += struct.pack("<I", len(data)) + data
    return bytes(out)


def _leaf_element(name: str, kind: str) -> bytes:
    logical = None
    if kind == "string":
        logical = _struct((1, "struct", _struct()))
    elif kind == "timestamp":  # adjusted to UTC, in nanoseconds
        logical = _struct((8, "struct", _struct((1, "bool", True), (2, "struct", _struct((3, "struct", _struct()))))))
    return _struct(
        (1, "i32", _PHYSICAL[kind]),
        (3, "i32", _OPTIONAL),
        (4, "bin", name),
        (6, "i32", _UTF8 if kind == "string" else None),
        (10, "struct", logical),
    )


@functools.lru_cache(maxsize=8)
def _schema_elements(schema: Schema) -> list[bytes]:
    """The schema's elements, encoded once: the ledger writes a file per record."""
    out = [_struct((4, "bin", "schema"), (5, "i32", len(schema)))]
    for name, kind in schema:
        if isinstance(kind, str):
            out.append(_leaf_element(name, kind))
            continue
        fields = kind[1]
        out.append(
            _struct(
                (3, "i32", _OPTIONAL),
                (4, "bin", name),
                (5, "i32", 1),
                (6, "i32", _LIST_CONVERTED),
                (10, "struct", _struct((3, "struct", _struct()))),
            )
        )
        out.append(_struct((3, "i32", _REPEATED), (4, "bin", "list"), (5, "i32", 1)))
        out.append(_struct((3, "i32", _OPTIONAL), (4, "bin", "element"), (5, "i32", len(fields))))
        out.extend(_leaf_element(field, leaf) for field, leaf in fields)
    return out


def _columns(schema: Schema, rows: Sequence[Mapping[str, Any]]) -> Iterable[tuple[list[str], str, bytes, int]]:
    """Each leaf column: its path, kind, page data and level count."""
    for name, kind in schema:
        if isinstance(kind, str):
            column = [row.get(name) for row in rows]
            defs = [0 if v is None else 1 for v in column]
            data = _levels(defs) + _plain(kind, [v for v in column if v is not None])
            yield [name], kind, data, len(column)
            continue
        for field, leaf in kind[1]:
            reps: list[int] = []
            defs = []
            values = []
            for row in rows:
                items = row.get(name)
                if not items:  # null (0), or an empty list (1)
                    reps.append(0)
                    defs.append(0 if items is None else 1)
                    continue
                for k, item in enumerate(items):
                    value = item.get(field)
                    reps.append(0 if k == 0 else 1)
                    defs.append(3 if value is None else 4)
                    if value is not None:
                        values.append(value)
            yield (
                [name, "list", "element", field],
                leaf,
                _levels(reps) + _levels(defs) + _plain(leaf, values),
                len(defs),
            )


def parquet_bytes(schema: Schema, rows: Sequence[Mapping[str, Any]]) -> bytes:
    """`rows` (mappings from column name to value) as a whole Parquet file;
    `schema` a tuple, hashable."""
    out = bytearray(b"PAR1")
    chunks = []
    total = 0
    for path, kind, data, count in _columns(schema, rows):
        header = _struct(
            (1, "i32", _DATA_PAGE),
            (2, "i32", len(data)),
            (3, "i32", len(data)),
            (5, "struct", _struct((1, "i32", count), (2, "i32", _PLAIN), (3, "i32", _RLE), (4, "i32", _RLE))),
        )
        offset = len(out)
        out += header + data
        size = len(header) + len(data)
        total += size
        meta = _struct(
            (1, "i32", _PHYSICAL[kind]),
            (2, "list_i32", [_PLAIN, _RLE]),
            (3, "list_bin", path),
            (4, "i32", 0),  # uncompressed
            (5, "i64", count),
            (6, "i64", size),
            (7, "i64", size),
            (9, "i64", offset),
        )
        chunks.append(_struct((2, "i64", offset), (3, "struct", meta)))
    groups = [_struct((1, "list_struct", chunks), (2, "i64", total), (3, "i64", len(rows)))] if rows else []
    footer = _struct(
        (1, "i32", 1),
        (2, "list_struct", _schema_elements(schema)),
        (3, "i64", len(rows)),
        (4, "list_struct", groups),
    )
    out += footer + struct.pack("<I", len(footer)) + b"PAR1"
    return bytes(out)
