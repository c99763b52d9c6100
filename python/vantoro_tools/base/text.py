"""Text shown to people: file names and texts from a file may hold any
character, and a message line must stay one line that cannot be faked."""

from __future__ import annotations

import re

#: Characters that could break a line or drive a terminal: the controls
#: (C0, DEL, C1 with NEL) and the Unicode line and paragraph separators.
CONTROLS = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029]")


def printable(text: str) -> str:
    """`text` with every control character written as an escape (\\n, \\x1b,
    \\u2028), so that it prints on one line and cannot move the cursor."""
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
