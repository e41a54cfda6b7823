import inspect

import pytest

import _kestrune


def test_runtime_info_values():
    info = _kestrune.native_runtime_info()
    assert (info.name, info.version) == ("kestrune", "0.12.10")
    assert _kestrune.NativeRuntimeInfo().version == "0.12.10"
    assert type(info) is _kestrune.NativeRuntimeInfo


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1})])
def test_runtime_info_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError):
        _kestrune.NativeRuntimeInfo(*args, **kwargs)


def test_runtime_info_function_takes_no_arguments():
    with pytest.raises(TypeError):
        _kestrune.native_runtime_info(1)
    assert str(inspect.signature(_kestrune.native_runtime_info)) == "()"


def test_runtime_info_is_read_only_and_final():
    info = _kestrune.native_runtime_info()
    with pytest.raises(AttributeError):
        info.name = "other"
    with pytest.raises(TypeError):
        type("Sub", (_kestrune.NativeRuntimeInfo,), {})


def test_module_registers_in_order():
    assert _kestrune.__all__[:2] == ["NativeRuntimeInfo", "native_runtime_info"]
