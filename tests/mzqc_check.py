"""Judges of vantoro's mzQC files that vantoro did not write: the vendored
mzQC 1.0.0 JSON schema (jsonschema) and pymzqc's reader and semantic check,
fed the PSI-MS vocabulary psims ships so that nothing is fetched."""

import gzip
import json
import os
import shutil
from importlib import resources

import pytest

SCHEMA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "mzqc", "mzqc_schema.json")


def schema_errors(document):
    jsonschema = pytest.importorskip("jsonschema")
    with open(SCHEMA, encoding="utf-8") as f:
        schema = json.load(f)
    validator = jsonschema.Draft7Validator(schema, format_checker=jsonschema.FormatChecker())
    return [e.message for e in validator.iter_errors(document)]


#: Terms PSI-MS names as table columns without holding them, from their own
#: vocabularies (OBI), so that the check knows the columns it is told of.
REFERENCED = "\n[Term]\nid: OBI:0200114\nname: euclidean distance calculation\n"


def local_psi_ms(directory):
    """psims' PSI-MS OBO as a plain file in `directory`. Its data-version
    4.1.258 relates terms by `has_relation` without declaring that relation,
    which pronto (under pymzqc) cannot load: the declaration is added, and
    so are the terms of other vocabularies it names as table columns."""
    pytest.importorskip("psims")
    path = os.path.join(directory, "psi-ms.obo")
    source = resources.files("psims.controlled_vocabulary.vendor").joinpath("psi-ms.obo.gz")
    with gzip.open(str(source), "rb") as f, open(path, "wb") as out:
        shutil.copyfileobj(f, out)
    with open(path, encoding="utf-8") as f:
        declared = "\nid: has_relation\n" in f.read()
    with open(path, encoding="utf-8") as f:
        text = f.read()
    # Terms go before the first [Typedef] stanza, declarations after.
    first_typedef = text.index("\n[Typedef]")
    text = text[:first_typedef] + "\n" + REFERENCED + text[first_typedef:]
    if not declared:
        text += "\n[Typedef]\nid: has_relation\nname: has_relation\n"
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return path


def semantic_issues(text, directory):
    """pymzqc's semantic check of an mzQC text against local vocabularies:
    every issue it raises, less its note that a local file was loaded."""
    mzqc_file = pytest.importorskip("mzqc.MZQCFile")
    from mzqc.SemanticCheck import SemanticCheck

    doc = mzqc_file.JsonSerialisable.from_json(text)
    obo = local_psi_ms(directory)
    for cv in doc.controlledVocabularies:
        cv.uri = "file://" + obo
    check = SemanticCheck(doc, file_path="vantoro.mzQC")
    check.validate(load_local=True)
    return [
        f"{kind}: {issue._to_string()}"
        for kind, issues in check.items()
        for issue in issues
        if issue.name != "Loading local vocabulary"
    ]


def read_back(text):
    """Each run quality's metric values as pymzqc reads them, by label and accession."""
    mzqc_file = pytest.importorskip("mzqc.MZQCFile")
    doc = mzqc_file.JsonSerialisable.from_json(text)
    return {q.metadata.label: {m.accession: m.value for m in q.qualityMetrics} for q in doc.runQualities}, doc
