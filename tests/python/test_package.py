"""The package: message classes of both schema packages, registered under
their bare file names, with no stray top-level modules."""

import subprocess
import sys

from google.protobuf import descriptor_pool

import common_dto


def test_classes_and_registration():
    from common_dto import InstrumentData, RayStreamMessage, Volume

    pool = descriptor_pool.Default()
    modules = common_dto._schema.MODULES
    assert len(modules) == 66
    for module in modules:
        name = module[: -len("_pb2")] + ".proto"
        assert pool.FindFileByName(name).name == name
    packages = {}
    for symbol in common_dto.__all__:
        value = getattr(common_dto, symbol)
        descriptor = getattr(value, "DESCRIPTOR", None)
        if descriptor is not None and hasattr(descriptor, "full_name"):
            packages.setdefault(descriptor.full_name.rsplit(".", 1)[0], []).append(symbol)
            assert descriptor.full_name.endswith("." + symbol)
    assert sorted(packages) == ["kyt.pb.common", "kyt.pb.stream"]
    assert len(packages["kyt.pb.stream"]) == 9
    assert RayStreamMessage.DESCRIPTOR.file.name == "ray_stream_message.proto"
    assert InstrumentData.DESCRIPTOR.full_name == "kyt.pb.common.InstrumentData"
    assert Volume.__module__ == "common_dto._schema.volume_pb2"
    assert common_dto.DataType.Value("SPECIFIC_ATTENUATIOM_DB_P_KM") == 18
    assert common_dto.Ray.DESCRIPTOR.fields_by_name["ray_config_index"].containing_oneof.name == \
        "RayConfigReference"


def test_no_stray_top_level_modules():
    code = """
import sys
import common_dto, common_dto.dataset, common_dto.plot, common_dto.assembly
stray = sorted(m for m in sys.modules if m.endswith('_pb2') and '.' not in m)
assert not stray, stray
try:
    import ray_pb2
except ImportError:
    pass
else:
    raise AssertionError('ray_pb2 importable at top level')
"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


def test_errors_and_results_at_top_level():
    from common_dto import assembly, buffers, model, stream
    assert common_dto.Error is model.Error and issubclass(common_dto.Error, ValueError)
    for name, module in [("StreamError", stream), ("AssemblyError", assembly),
                         ("BufferDecodeError", buffers)]:
        error = getattr(common_dto, name)
        assert error is getattr(module, name) and issubclass(error, common_dto.Error), name
    assert common_dto.AssembledVolume is assembly.AssembledVolume
