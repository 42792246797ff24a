"""Fixtures of the file-format tests: the common-dto tool, a temp dir and the
interop test volume of tests/python (reused, not rebuilt)."""

import importlib.util
import os
import subprocess

import numpy as np
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
    volume = make_test_volume()
    for sweep in volume.sweep:
        del sweep.sweep_moments["FLAG"]
    path = tmp_path / "volume.pb"
    write_volume(path, volume)
    return path, volume


def write_volume(path, volume):
    """Writes `volume` to `path` as an InstrumentData."""
    import common_dto
    data = common_dto.InstrumentData()
    data.volume.CopyFrom(volume)
    path.write_bytes(data.SerializeToString())


def read_volume(path):
    import common_dto
    return common_dto.InstrumentData.FromString(path.read_bytes()).volume


def attrs(group, **values):
    """Sets HDF5 attributes, text as fixed-length byte strings (as ODIM has them)."""
    for key, value in values.items():
        group.attrs[key] = np.bytes_(value) if isinstance(value, str) else value


def write_without_times(path, volume, *fields):
    """Writes `volume` to `path` as an InstrumentData with every ray's times
    cleared, and the sweep `fields` named (e.g. "input_timespan") too."""
    for sweep in volume.sweep:
        for field in fields:
            sweep.ClearField(field)
        for ray in sweep.rays:
            ray.ClearField("aq_start_time")
            ray.ClearField("aq_end_time")
    write_volume(path, volume)


def write_cfradial1(path, mode="azimuth_surveillance", ragged=False, sweeps=2, step_ms=500):
    """A CF/Radial 1.4 file of 36-ray sweeps (rays `step_ms` apart from
    2024-06-01T12:00:00) as netCDF4-python writes one: short reflectivity
    packed with scale_factor/add_offset/_FillValue."""
    import netCDF4
    rays, gates = 36, 20
    total = sweeps * rays
    with netCDF4.Dataset(path, "w", format="NETCDF4") as f:
        f.Conventions = "CF/Radial instrument_parameters"
        f.version = "1.4"
        f.instrument_name = "Demo"
        f.createDimension("time", total)
        f.createDimension("range", gates)
        f.createDimension("sweep", sweeps)
        f.createDimension("string_length", 32)
        for name, value in (("latitude", 47.5), ("longitude", 8.25), ("altitude", 540.0)):
            f.createVariable(name, "f8")[...] = value
        t = f.createVariable("time", "f8", ("time",))
        t.units = "milliseconds since 2024-06-01 12:00:00"
        t[:] = np.arange(total) * step_ms
        r = f.createVariable("range", "f4", ("range",))
        r.units = "meters"
        r[:] = 125.0 + 250.0 * np.arange(gates)
        f.createVariable("azimuth", "f4", ("time",))[:] = np.tile(np.arange(rays) * 10.0 + 5, sweeps)
        angles = 0.5 + np.arange(sweeps)
        f.createVariable("elevation", "f4", ("time",))[:] = np.repeat(angles, rays)
        f.createVariable("fixed_angle", "f4", ("sweep",))[:] = angles
        f.createVariable("sweep_number", "i4", ("sweep",))[:] = np.arange(sweeps)
        f.createVariable("sweep_start_ray_index", "i4", ("sweep",))[:] = np.arange(sweeps) * rays
        f.createVariable("sweep_end_ray_index", "i4", ("sweep",))[:] = np.arange(sweeps) * rays + rays - 1
        modes = f.createVariable("sweep_mode", "S1", ("sweep", "string_length"))
        modes[:] = netCDF4.stringtochar(np.array([mode] * sweeps, "S32"))
        dbz = f.createVariable("DBZ", "i2", ("time", "range"), fill_value=np.int16(-32768))
        dbz.set_auto_maskandscale(False)
        dbz.scale_factor, dbz.add_offset = 0.01, 0.0
        dbz.units = "dBZ"
        dbz.standard_name = "equivalent_reflectivity_factor"
        dbz[:] = (np.arange(total * gates).reshape(total, gates) - 500).astype("i2")
        if ragged:
            f.createVariable("ray_n_gates", "i4", ("time",))[:] = gates
    return rays, gates
