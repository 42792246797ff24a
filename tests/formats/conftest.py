"""Fixtures of the file-format tests: the common-dto tool, a temp dir and the
interop test volume of tests/python (reused, not rebuilt)."""

import importlib.util
import os
import subprocess

import pytest

_spec = importlib.util.spec_from_file_location(
    "interop_volume", os.path.join(os.path.dirname(__file__), "..", "python", "conftest.py"))
_interop = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_interop)
GATES, RAYS, START = _interop.GATES, _interop.RAYS, _interop.START
make_test_volume, moment_values = _interop.make_test_volume, _interop.moment_values


@pytest.fixture(scope="session")
def tool():
    """Runs `common-dto`; skips when the path is not given (run through ctest)."""
    path = os.environ.get("COMMON_DTO_CLI")
    if not path or not os.path.exists(path):
        pytest.skip("COMMON_DTO_CLI is not set (run the tests through ctest)")

    def run(*args, expect=0):
        """expect: the exit status, or None for any."""
        result = subprocess.run([path, "-q", *map(str, args)], capture_output=True, text=True)
        assert expect is None or result.returncode == expect, (args, result.returncode, result.stderr)
        return result

    return run


@pytest.fixture
def volume_file(tmp_path):
    """The interop volume as an InstrumentData file, without its BOOLEAN
    moment (no radar format stores booleans)."""
    import common_dto
    volume = make_test_volume()
    for sweep in volume.sweep:
        del sweep.sweep_moments["FLAG"]
    data = common_dto.InstrumentData()
    data.volume.CopyFrom(volume)
    path = tmp_path / "volume.pb"
    path.write_bytes(data.SerializeToString())
    return path, volume


def write_without_times(path, volume, *fields):
    """Writes `volume` to `path` as an InstrumentData with every ray's times
    cleared, and the sweep `fields` named (e.g. "input_timespan") too."""
    import common_dto
    for sweep in volume.sweep:
        for field in fields:
            sweep.ClearField(field)
        for ray in sweep.rays:
            ray.ClearField("aq_start_time")
            ray.ClearField("aq_end_time")
    data = common_dto.InstrumentData()
    data.volume.CopyFrom(volume)
    path.write_bytes(data.SerializeToString())
