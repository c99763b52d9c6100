import pathlib

import pytest

from vantoro import RawFileReader

from builders import RawImage

ACCESSORS = ["get_rt", "get_injection_time", "get_master_scan", "get_charge_state", "get_monoisotopic_mz"]


@pytest.fixture
def reader(write_raw):
    return RawFileReader(write_raw(RawImage().header(66)))


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class BadIndex:
    def __index__(self):
        raise TypeError("no index here") from ValueError("root cause")


class IntSub(int):
    pass


@pytest.mark.parametrize("name", ACCESSORS)
@pytest.mark.parametrize(
    "args,kwargs,message",
    [
        ((), {}, "RawFileReader.{f}() missing 1 required positional argument: 'scan_number'"),
        ((1, 2), {}, "RawFileReader.{f}() takes 1 positional arguments but 2 were given"),
        ((1, 2, 3), {}, "RawFileReader.{f}() takes 1 positional arguments but 3 were given"),
        ((1,), {"scan_number": 1}, "RawFileReader.{f}() got multiple values for argument 'scan_number'"),
        ((), {"scan_num": 1}, "RawFileReader.{f}() got an unexpected keyword argument 'scan_num'"),
        # keywords are taken in the order given: the first fault wins
        ((1,), {"scan_number": 1, "x": 2}, "RawFileReader.{f}() got multiple values for argument 'scan_number'"),
        ((), {"x": 2, "scan_number": 1}, "RawFileReader.{f}() got an unexpected keyword argument 'x'"),
    ],
)
def test_binding_messages(reader, name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(reader, name)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message.format(f=name)


@pytest.mark.parametrize(
    "value,message",
    [
        (1.0, "argument 'scan_number': 'float' object cannot be interpreted as an integer"),
        ("3", "argument 'scan_number': 'str' object cannot be interpreted as an integer"),
        (None, "argument 'scan_number': 'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_conversion_type_errors_get_argument_prefix(reader, value, message):
    with pytest.raises(TypeError) as info:
        reader.get_rt(value)
    assert str(info.value) == message


def test_prefix_keeps_cause_of_the_conversion_error(reader):
    with pytest.raises(TypeError) as info:
        reader.get_rt(BadIndex())
    assert str(info.value) == "argument 'scan_number': no index here"
    assert isinstance(info.value.__cause__, ValueError)
    assert str(info.value.__cause__) == "root cause"


@pytest.mark.parametrize("value", [-1, -(2**70), 2**64, 2**100])
def test_unsigned_64_overflow_passes_unchanged(reader, value):
    with pytest.raises(OverflowError) as info:
        reader.get_rt(value)
    assert "argument" not in str(info.value)


@pytest.mark.parametrize("value", [2**32, 2**64 - 1])
def test_above_u32_is_out_of_range(reader, value):
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        reader.get_rt(value)


@pytest.mark.parametrize("value,same_as", [(True, 1), (False, 0), (Index(3), 3), (IntSub(2), 2), (2**32 - 1, 0)])
def test_integer_like_values_convert(reader, value, same_as):
    assert reader.get_rt(value) == reader.get_rt(same_as)
    assert reader.get_rt(scan_number=value) == reader.get_rt(same_as)


def test_binding_fails_before_borrow_and_conversion(reader):
    # Surplus arguments are reported even when the value would not convert.
    with pytest.raises(TypeError, match="takes 1 positional arguments"):
        reader.get_rt("bad", "worse")


@pytest.mark.parametrize(
    "args,kwargs,message",
    [
        ((), {}, "RawFileReader.__new__() missing 1 required positional argument: 'path'"),
        (("a", "b"), {}, "RawFileReader.__new__() takes 1 positional arguments but 2 were given"),
        ((), {"x": "a"}, "RawFileReader.__new__() got an unexpected keyword argument 'x'"),
        (("a",), {"path": "a"}, "RawFileReader.__new__() got multiple values for argument 'path'"),
        ((b"file.raw",), {}, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        ((3,), {}, "argument 'path': 'int' object cannot be converted to 'PyString'"),
        (
            (pathlib.PurePosixPath("a.raw"),),
            {},
            "argument 'path': 'PurePosixPath' object cannot be converted to 'PyString'",
        ),
    ],
)
def test_constructor_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        RawFileReader(*args, **kwargs)
    assert str(info.value) == message


def test_constructor_accepts_keyword_and_str_subclass(write_raw):
    class S(str):
        pass

    path = write_raw(RawImage().header(57))
    assert RawFileReader(path=path).version == 57
    assert RawFileReader(S(path)).version == 57
    assert RawFileReader(str(pathlib.Path(path))).version == 57


def test_constructor_passes_encoding_error_unchanged():
    with pytest.raises(UnicodeEncodeError):
        RawFileReader("bad\udcffname.raw")
