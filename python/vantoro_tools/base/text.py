"""Text shown to people: file names and texts from a file may hold any
character, and a message line must stay one line that cannot be faked."""

from __future__ import annotations

import re
from typing import Any

#: Characters that could break a line or drive a terminal: the controls
#: (C0, DEL, C1 with NEL) and the Unicode line and paragraph separators;
#: and lone surrogates (the bytes of a file name that is not UTF-8), which
#: a stream that encodes strictly cannot print.
CONTROLS = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\ud800-\udfff]")


#: Lone surrogates: how Python holds the bytes of a file name that is not UTF-8.
LONE_SURROGATES = re.compile("[\ud800-\udfff]")


def json_text(value: Any, **options: Any) -> str:
    """`value` as JSON with every character as itself (`ensure_ascii=False`),
    but a lone surrogate as JSON's own escape (`\\udcff`): UTF-8 can always
    encode the text, and it reads back as it was."""
    import json

    return LONE_SURROGATES.sub(_code_escape, json.dumps(value, ensure_ascii=False, **options))


def readable(text: str) -> str:
    """`text` for a page people read, UTF-8 encodable: a lone surrogate is
    shown as the replacement character, as undecodable bytes are."""
    return LONE_SURROGATES.sub("\ufffd", text)


def _code_escape(match: re.Match[str]) -> str:
    return f"\\u{ord(match.group()):04x}"


def printable(text: str) -> str:
    """`text` with every control character written as an escape (\\n, \\x1b,
    \\u2028, \\udcff), so that it prints on one line, cannot move the
    cursor, and prints on any stream."""
    return CONTROLS.sub(_escape, text)


def _escape(match: re.Match[str]) -> str:
    char = match.group()
    named = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}.get(char)
    if named is not None:
        return named
    code = ord(char)
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def line(text: str) -> str:
    """A line a command prints: `vantoro: ` and `text`, its control characters escaped."""
    return f"vantoro: {printable(text)}"


def message(path: str, reason: str) -> str:
    """The one line a command prints about `path`."""
    return line(f"{path}: {reason}")


# Text read from a file's fixed-width fields: it ends at a NUL, and a few
# bytes after a run of padding spaces are what the field's neighbour left.
_AFTER_NUL = re.compile("\x00.*", re.S)
_STRAY_AFTER_PADDING = re.compile(r" {2,}\S{0,2}$")
UNDECODABLE = "\ufffd"


def file_text(text: str) -> str:
    """A text from a file as a person should see it: cut at its first NUL,
    stray bytes after its padding and the padding removed, surrounding
    white space trimmed, and each remaining control character (an
    undecodable byte) marked with U+FFFD."""
    text = _STRAY_AFTER_PADDING.sub("", _AFTER_NUL.sub("", text)).strip()
    return CONTROLS.sub(UNDECODABLE, text)
