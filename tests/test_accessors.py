import pytest

from vantoro import RawFileReader

from builders import V57_FIRST_RECORD_END, V57_STRIDE, RawImage, orbitrap_v66

FLOAT_GETTERS = ["get_rt", "get_injection_time", "get_monoisotopic_mz"]
INT_GETTERS = ["get_master_scan", "get_charge_state"]
KEYS = ["scan_number", "rt", "injection_time", "master_scan", "charge", "monomz"]


@pytest.fixture(scope="module")
def orbi(tmp_path_factory):
    path = tmp_path_factory.mktemp("acc") / "orbitrap.raw"
    return RawFileReader(orbitrap_v66(block_stride=100).write(path))


@pytest.mark.parametrize("name", FLOAT_GETTERS + INT_GETTERS)
@pytest.mark.parametrize("scan", [0, 146, 2**32 - 1])
def test_scans_without_entry_give_typed_zero(orbi, name, scan):
    value = getattr(orbi, name)(scan)
    assert value == 0
    assert type(value) is (float if name in FLOAT_GETTERS else int)


@pytest.mark.parametrize("name", FLOAT_GETTERS + INT_GETTERS)
def test_last_scan_and_keyword_form(orbi, name):
    getter = getattr(orbi, name)
    assert getter(145) == getter(scan_number=145)
    assert type(getter(1)) is (float if name in FLOAT_GETTERS else int)


def test_values_come_from_their_tables(orbi):
    assert orbi.get_rt(145) == 72.5
    assert orbi.get_injection_time(3) == 13.0
    assert orbi.get_master_scan(4) == 3
    assert orbi.get_charge_state(5) == 2
    assert orbi.get_monoisotopic_mz(6) == 406.0


def test_negative_master_scan_and_scan_zero(write_raw):
    img = RawImage().header(57)
    img.size = V57_FIRST_RECORD_END + V57_STRIDE * 47
    r = RawFileReader(write_raw(img, "small.RAW"))
    assert r.get_master_scan(1) == -1
    assert r.get_master_scan(48) == -1
    assert r.get_master_scan(0) == 0
    assert r.get_master_scan(49) == 0


def test_list_spectra_matches_accessors(orbi):
    rows = orbi.list_spectra()
    assert len(rows) == orbi.num_scans == 145
    for k, row in enumerate(rows):
        s = k + 1
        assert list(row) == KEYS
        assert row == {
            "scan_number": s,
            "rt": orbi.get_rt(s),
            "injection_time": orbi.get_injection_time(s),
            "master_scan": orbi.get_master_scan(s),
            "charge": orbi.get_charge_state(s),
            "monomz": orbi.get_monoisotopic_mz(s),
        }
        assert [type(row[k]) for k in KEYS] == [int, float, float, int, int, float]
    assert orbi.list_spectra() is not rows and orbi.list_spectra() == rows


@pytest.mark.parametrize("version,n", [(57, 48), (66, 145), (7, 100)])
def test_list_spectra_without_markers_is_all_zero(write_raw, version, n):
    rows = RawFileReader(write_raw(RawImage().header(version))).list_spectra()
    assert [r["scan_number"] for r in rows] == list(range(1, n + 1))
    assert all(r[k] == 0 for r in rows for k in KEYS[1:])
    assert not any("offset" in k for r in rows for k in r)
