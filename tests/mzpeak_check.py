"""Judges of vantoro's mzPeak archives that vantoro did not write: the JSON
Schemas published with the mzPeak standard (their web addresses resolved to
the copies in shared/mzpeak), and the semantic invariants its conformance
chapter requires a validator to check in code, with the PSI-MS and UO
vocabularies psims ships for the CV ancestry."""

import functools
import json
import os
import re
import zipfile

import pytest

MZPEAK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "mzpeak")
SCHEMAS = os.path.join(MZPEAK, "spec", "schema")
SCHEMA_URL = "https://raw.githubusercontent.com/HUPO-PSI/mzPeak-specification/refs/heads/main/schema/"
#: The file-level metadata keys and the schema of each.
METADATA_SCHEMAS = {
    "cv_list": "cv_list.json",
    "file_description": "file_description.json",
    "instrument_configuration_list": "instrument_configuration.json",
    "data_processing_method_list": "data_processing.json",
    "software_list": "software.json",
    "sample_list": "sample.json",
    "scan_settings_list": "scan_settings_list.json",
    "run": "ms_run.json",
}
MINUTE = "UO:0000031"
CURIE = re.compile(r"^([A-Za-z]+):\d+$")


def spec_available():
    return os.path.isdir(SCHEMAS)


@functools.cache
def _validators():
    jsonschema = pytest.importorskip("jsonschema")
    referencing = pytest.importorskip("referencing")
    schemas = {}
    for name in os.listdir(SCHEMAS):
        if name.endswith(".json"):
            with open(os.path.join(SCHEMAS, name), encoding="utf-8") as f:
                schemas[name] = json.load(f)
    registry = referencing.Registry().with_resources(
        (SCHEMA_URL + name, referencing.jsonschema.DRAFT7.create_resource(s)) for name, s in schemas.items()
    )

    # The schemas' patterns are ECMA-262: a named group is (?<name>...),
    # which Python's re spells (?P<name>...).
    def pattern(validator, patrn, instance, schema):
        if validator.is_type(instance, "string") and not re.search(re.sub(r"\(\?<(?=\w)", "(?P<", patrn), instance):
            yield jsonschema.ValidationError(f"{instance!r} does not match {patrn!r}")

    validator = jsonschema.validators.extend(jsonschema.Draft7Validator, {"pattern": pattern})
    return {name: validator(s, registry=registry) for name, s in schemas.items()}


def schema_errors(document, schema):
    """Each error of `document` against the standard's schema file `schema`."""
    return [f"{schema} {list(e.absolute_path)}: {e.message}" for e in _validators()[schema].iter_errors(document)]


@functools.cache
def _vocabularies():
    pytest.importorskip("psims")
    from psims.controlled_vocabulary import controlled_vocabulary as cv

    cv.obo_cache.use_remote = False
    return cv.load_psims(), cv.load_uo()


def ancestors(accession):
    """`accession` and every term above it by is_a, across PSI-MS and UO."""
    ms, uo = _vocabularies()
    seen, todo = set(), [accession]
    while todo:
        acc = todo.pop()
        if acc in seen:
            continue
        seen.add(acc)
        try:
            term = (uo if acc.startswith("UO:") else ms)[acc]
        except KeyError:
            continue
        is_a = term.get("is_a")
        parents = is_a if isinstance(is_a, list) else [is_a] if is_a else []
        todo += [str(p.accession) for p in parents]
    return seen


class Archive:
    """An archive's members, read straight from the ZIP or the folder."""

    def __init__(self, path):
        self.path = path
        self.zip = None if os.path.isdir(path) else zipfile.ZipFile(path)

    def names(self):
        if self.zip is not None:
            return [i.filename for i in self.zip.infolist()]
        return os.listdir(self.path)

    def open(self, name):
        return self.zip.open(name) if self.zip is not None else open(os.path.join(self.path, name), "rb")


def _curies(value, found):
    """Every CURIE-like text in a JSON value or an Arrow row, into `found`."""
    if isinstance(value, str):
        m = CURIE.match(value)
        if m:
            found.add(m.group(1))
    elif isinstance(value, dict):
        for v in value.values():
            _curies(v, found)
    elif isinstance(value, list):
        for v in value:
            _curies(v, found)


def _has_path(schema, path):
    """Whether the column `path` (its levels joined by ".", list levels
    skipped) is in `schema`."""
    pa = pytest.importorskip("pyarrow")
    node = schema
    for part in path.split("."):
        while isinstance(node, pa.DataType) and (pa.types.is_list(node) or pa.types.is_large_list(node)):
            node = node.value_type
        names = (
            node.names if isinstance(node, pa.Schema) else [f.name for f in node] if pa.types.is_struct(node) else []
        )
        if part not in names:
            return False
        node = node.field(part).type
    return True


def check_mzpeak(path):
    """Checks the archive at `path` (a ZIP or its folder) against the
    standard; returns its index and its members as Arrow tables by name.
    Fails the calling test with every problem found."""
    np = pytest.importorskip("numpy")
    pq = pytest.importorskip("pyarrow.parquet")
    problems = []
    archive = Archive(path)
    if archive.zip is not None:
        # Members stored, never deflated: a reader maps them as they are.
        problems += [
            f"{i.filename} compressed" for i in archive.zip.infolist() if i.compress_type != zipfile.ZIP_STORED
        ]
    with archive.open("mzpeak_index.json") as f:
        index = json.loads(f.read().decode("utf-8"))
    problems += schema_errors(index, "mzpeak_index.json")
    meta = index["metadata"]
    for key, schema in METADATA_SCHEMAS.items():
        if key in meta:
            problems += schema_errors(meta[key], schema)
    if not re.fullmatch(r"\d+\.\d+\.\d+", meta["version"]):
        problems.append(f"version {meta['version']!r} is no MAJOR.MINOR.PATCH")

    tables, files, used = {}, {}, set()
    _curies(index, used)
    names = set(archive.names())
    for entry in index["files"]:
        name = entry["name"]
        if name not in names:
            problems.append(f"{name} listed but absent")
            continue
        with archive.open(name) as f:
            handle = pq.ParquetFile(f)
            table = handle.read()
            kv = {k.decode(): v.decode() for k, v in (handle.metadata.metadata or {}).items()}
            files[entry["entity_type"], entry["data_kind"]] = (name, table, kv, handle.metadata)
        tables[name] = table
        for row in table.to_pylist():
            _curies(row, used)
        for key, value in kv.items():
            if key in METADATA_SCHEMAS:  # the file-level metadata, again in the footer
                document = json.loads(value)
                problems += [f"{name} footer: {p}" for p in schema_errors(document, METADATA_SCHEMAS[key])]
                if document != meta.get(key):
                    problems.append(f"{name} footer {key} differs from the index's")
        for mapping in entry.get("column_mapping", []):
            _curies(mapping, used)
            if not _has_path(table.schema, mapping["path"]):
                problems.append(f"{name}: mapped column {mapping['path']} absent")
            if mapping["path"] in ("time", "scan_start_time") and mapping.get("unit") != MINUTE:
                problems.append(f"{name}: {mapping['path']} not in minutes")
    declared = {cv["id"] for cv in meta.get("cv_list", [])}
    problems += [f"CV prefix {p} used but not declared" for p in sorted(used - declared)]

    def column(kind, entity, name):
        return np.asarray(files[entity, kind][1].column(name).to_numpy(zero_copy_only=False))

    entity_index = {}
    for (entity, kind), (name, table, _kv, _md) in files.items():
        first = table.schema.names[0] if table.schema.names else None
        if kind == "metadata":
            if first != "index":
                problems.append(f"{name}: first column {first}, not index")
                continue
            idx = table.column("index")
            if idx.null_count or len(set(idx.to_pylist())) != len(idx):
                problems.append(f"{name}: index null or repeated")
            entity_index[entity] = set(idx.to_pylist())
            if entity == "spectrum" and idx.to_pylist() != list(range(len(idx))):
                problems.append(f"{name}: index does not count up from 0 by 1")
        elif kind in ("scans", "precursors", "selected_ions", "products") and first != "source_index":
            problems.append(f"{name}: first column {first}, not source_index")
    for (entity, kind), (name, table, _kv, _md) in files.items():
        if kind in ("scans", "precursors", "selected_ions"):
            keys = set(entity_index.get(entity, ()))
            for fk in ("source_index", "precursor_index"):
                if fk in table.schema.names:
                    values = {v for v in table.column(fk).to_pylist() if v is not None}
                    if not values <= keys:
                        problems.append(f"{name}: {fk} {sorted(values - keys)[:5]} resolve to no {entity}")
    if ("spectrum", "selected_ions") in files and ("spectrum", "precursors") in files:
        pre = {(r["source_index"], r["precursor_index"]) for r in files["spectrum", "precursors"][1].to_pylist()}
        for r in files["spectrum", "selected_ions"][1].select(["source_index", "precursor_index"]).to_pylist():
            if (r["source_index"], r["precursor_index"]) not in pre:
                problems.append(f"selected ion of {r} has no precursor")
    if ("spectrum", "scans") in files:
        spectra, scans = files["spectrum", "metadata"][1], files["spectrum", "scans"][1]
        time = dict(zip(scans.column("source_index").to_pylist(), scans.column("scan_start_time").to_pylist()))
        for i, t in zip(spectra.column("index").to_pylist(), spectra.column("time").to_pylist()):
            if t != time.get(i):  # the spectrum's time is its scan's, in minutes
                problems.append(f"spectrum {i}: time {t} is not its scan's start time {time.get(i)}")

    config_ids = {c["id"] for c in meta.get("instrument_configuration_list", [])}
    processing_ids = {d["id"] for d in meta.get("data_processing_method_list", [])}
    software_ids = {s["id"] for s in meta.get("software_list", [])}
    source_ids = {s["id"] for s in meta.get("file_description", {}).get("source_files", [])}
    run = meta.get("run", {})
    if run and (
        run["default_instrument_id"] not in config_ids
        or run["default_data_processing_id"] not in processing_ids
        or run["default_source_file_id"] not in source_ids
    ):
        problems.append(f"run's defaults {run} resolve to nothing")
    refs = {c.get("software_reference") for c in meta.get("instrument_configuration_list", [])}
    refs |= {m.get("software_reference") for d in meta.get("data_processing_method_list", []) for m in d["methods"]}
    problems += [f"software {r} undefined" for r in refs - software_ids if r is not None]
    if ("spectrum", "scans") in files:
        ids = set(files["spectrum", "scans"][1].column("instrument_configuration_id").to_pylist()) - {None}
        problems += [f"instrument configuration {i} undefined" for i in ids - config_ids]
    for name, table, _kv, _md in files.values():
        if "data_processing_id" in table.schema.names:
            ids = set(table.column("data_processing_id").to_pylist()) - {None}
            problems += [f"{name}: data processing {i} undefined" for i in ids - processing_ids]

    counts = {"peaks": "number_of_peaks", "data arrays": "number_of_data_points"}
    for (entity, kind), (name, table, kv, md) in files.items():
        if kind not in counts:
            continue
        key = f"{entity}_array_index"
        if key not in kv:
            problems.append(f"{name}: no {key} in its footer")
            continue
        array_index = json.loads(kv[key])
        problems += schema_errors(array_index, "array_index.json")
        formats = {e["buffer_format"] for e in array_index["entries"]}
        if not (formats == {"point"} or all(f.startswith("chunk_") for f in formats)):
            problems.append(f"{name}: layouts mixed: {sorted(formats)}")
        prefix = array_index["prefix"]
        if table.schema.names != [prefix]:
            problems.append(f"{name}: top-level columns {table.schema.names}, not [{prefix}]")
            continue
        struct = table.column(prefix).combine_chunks()
        if struct.type[0].name != f"{entity}_index":
            problems.append(f"{name}: first column {struct.type[0].name}, not {entity}_index")
        for e in array_index["entries"]:
            if e["path"].split(".")[0] != prefix or struct.type.get_field_index(e["path"].split(".", 1)[1]) < 0:
                problems.append(f"{name}: array {e['path']} not in the file")
            for curie, parent in ((e["data_type"], "MS:1000518"), (e["array_type"], "MS:1000513")):
                if parent not in ancestors(curie):
                    problems.append(f"{name}: {curie} is no {parent}")
            if "UO:0000000" not in ancestors(e["unit"]):
                problems.append(f"{name}: unit {e['unit']} is no unit")
            if e["array_type"] == "MS:1000595" and e["unit"] != MINUTE:
                problems.append(f"{name}: time array in {e['unit']}, not minutes")
        # Every column of a signal file has its page index.
        for rg in range(md.num_row_groups):
            for c in range(md.num_columns):
                chunk = md.row_group(rg).column(c)
                if not (chunk.has_offset_index and chunk.has_column_index):
                    problems.append(f"{name}: column {chunk.path_in_schema} of row group {rg} has no page index")
        # Parallel arrays of one length, an entity's points together, and the
        # sorting-rank-0 array ascending within each entity.
        owner = np.asarray(struct.field(0))
        if any(len(struct.field(i)) != len(owner) for i in range(struct.type.num_fields)):
            problems.append(f"{name}: parallel columns of unequal length")
        if len(owner) and np.any(np.diff(owner.astype(np.int64)) < 0):
            problems.append(f"{name}: {entity} points not grouped in index order")
        cuts = np.flatnonzero(np.diff(owner)) + 1
        for e in array_index["entries"]:
            if e.get("sorting_rank") == 0:
                values = np.asarray(struct.field(e["path"].split(".", 1)[1]))
                steps = np.diff(values)
                steps[cuts - 1] = 0  # across entities
                if np.any(steps < 0):
                    problems.append(f"{name}: {e['path']} not ascending within an {entity}")
        keys = entity_index.get(entity, set())
        if not set(np.unique(owner).tolist()) <= keys:
            problems.append(f"{name}: points of an {entity} the metadata does not hold")
        meta_name, meta_table = files[entity, "metadata"][:2]
        if counts[kind] in meta_table.schema.names:
            have = dict(zip(*np.unique(owner, return_counts=True)))
            for i, n in zip(meta_table.column("index").to_pylist(), meta_table.column(counts[kind]).to_pylist()):
                if n is not None and n != have.get(i, 0):
                    problems.append(f"{meta_name}: {entity} {i} says {n} points, {name} holds {have.get(i, 0)}")
    assert not problems, "\n".join(problems[:40])
    return index, tables
