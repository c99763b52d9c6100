"""Checks every mzML the test suite writes: the indexed mzML 1.1 schema that
psims ships (through lxml, offline), pyopenms' semantic validator (the
PSI-MS mapping rules: required terms, units), the byte offsets of its index
and the SHA-1 checksum."""

import hashlib
import re


def assert_valid_mzml(path) -> bytes:
    """Asserts that `path` is a valid indexed mzML file and returns its bytes."""
    from lxml import etree
    from psims.validation.validator import get_schema

    data = open(path, "rb").read()
    schema = get_schema("indexedmzML")
    assert schema.validate(etree.fromstring(data)), schema.error_log
    assert not re.search(rb'value="-?(nan|inf)', data, re.I)
    assert b'unitCvRef="PSI-MS" unitAccession="UO:' not in data
    at = int(re.search(rb"<indexListOffset>(\d+)</indexListOffset>", data).group(1))
    assert data.startswith(b"<indexList ", at)
    for kind, ident, offset in re.findall(rb'<index name="(\w+)">|<offset idRef="([^"]+)">(\d+)</offset>', data[at:]):
        if kind:
            element = kind
        else:
            assert data.startswith(b"<%s index=" % element, int(offset))
            assert data.find(b' id="%s"' % ident, int(offset)) < data.find(b">", int(offset))
    end = data.index(b"<fileChecksum>") + len(b"<fileChecksum>")
    assert data[end : end + 40].decode() == hashlib.sha1(data[:end]).hexdigest()
    import pyopenms

    valid, errors, warnings = pyopenms.MzMLFile().isSemanticallyValid(str(path))
    assert (valid, errors, warnings) == (True, [], []), (errors, warnings)
    return data
