"""Shared fixtures: the interop test volume built in Python, and the C++ helper.

The volume is the one interop_helper.cc builds (see the table at the top of
that file); building it here from the same numbers lets the tests compare
bytes between the two languages.
"""

import os
import subprocess

import numpy as np
import pytest

import common_dto
from common_dto import DataDescriptor, Instrument, SweepConfig, Volume
from common_dto.buffers import encode_buffer

RAYS, GATES = 36, 20
START = 1767225600


def moment_values(sweep_index):
    """The expected samples of each moment of sweep `sweep_index`, [ray, gate]."""
    k = (np.arange(RAYS)[:, None] * GATES + np.arange(GATES)[None, :] + sweep_index * 1000)
    k = k.astype(np.int64)
    return {
        "DBZH": ((k % 256).astype(np.uint8), "little"),
        "VRADH": (((k * 7) % 65536).astype(np.uint16), "big"),
        "RHOHV": ((k.astype(np.float32) / np.float32(1024)), "little"),
        "PHIDP": (k * 0.25 - 100, "big"),
        "CLASS": ((k % 5 - 2).astype(np.int32), "big"),
        "COUNT": (k * 1000000007, "little"),
        "FLAG": (k % 3 == 0, "little"),
    }


def _descriptor(config, name, data_type, unit):
    d = config.data_moments[name]
    d.type = data_type
    d.short_name = name
    d.data_unit = unit
    return d


def make_test_volume():
    volume = Volume()
    volume.uuid.most_significant_bits = 0x0123456789ABCDEF
    volume.uuid.least_significant_bits = -0x1122334455667788
    instrument = volume.instrument
    instrument.name = "Interop radar"
    instrument.instrument_type = Instrument.INSTR_RADAR
    instrument.location.lat_lon.latitude_deg = 46.5
    instrument.location.lat_lon.longitude_deg = 6.25
    instrument.location.altitude_m = 420

    config = volume.volume_config
    config.name = "interop"
    sweep_config = config.sweep_config.add()
    sweep_config.uuid.least_significant_bits = 7
    sweep_config.type = SweepConfig.PPI
    sweep_config.range_scale.range_m.add(start=125, step=250, count=GATES)
    dbzh = _descriptor(sweep_config, "DBZH", common_dto.DataType.REFLECTIVITY_DBZ,
                       common_dto.DataUnit.DBZ)
    dbzh.scale.type = DataDescriptor.DataScale.LINEAR
    linear = dbzh.scale.linear_scale
    linear.offset, linear.step, linear.under_threshold, linear.not_scanned = -32, 0.5, 0, 255
    _descriptor(sweep_config, "VRADH", common_dto.DataType.VELOCITY_M_P_S,
                common_dto.DataUnit.METERS_PER_SECOND)
    _descriptor(sweep_config, "RHOHV", common_dto.DataType.RHOHV_UL,
                common_dto.DataUnit.UNITLESS_ONE)
    _descriptor(sweep_config, "PHIDP", common_dto.DataType.PHIDP_DEG, common_dto.DataUnit.DEGREES)
    config.ray_config.add().uuid.least_significant_bits = 9

    for s in range(2):
        sweep = volume.sweep.add()
        sweep.description.config.sweep_config_index = 0
        sweep.description.fixed_angle_deg = 0.5 + s
        sweep.index_in_task = s
        t0 = START + 60 * s
        sweep.input_timespan.start.seconds = t0
        sweep.input_timespan.end.seconds = t0 + 4
        for r in range(RAYS):
            ray = sweep.rays.add()
            start_ns, end_ns = 100_000_000 * r, 100_000_000 * (r + 1)
            ray.aq_start_time.FromNanoseconds(t0 * 10**9 + start_ns)
            ray.aq_end_time.FromNanoseconds(t0 * 10**9 + end_ns)
            ray.index = r
            ray.az_range_deg.start_deg, ray.az_range_deg.span_deg = 10.0 * r, 10
            ray.el_range_deg.start_deg = 0.5 + s
            ray.ray_config_index = 0
            ray.noise_dbm.append(-110 - 0.5 * r)
        for name, (values, endian) in moment_values(s).items():
            sweep.sweep_moments[name].CopyFrom(encode_buffer(values, endian))
    return volume


@pytest.fixture
def test_volume():
    return make_test_volume()


@pytest.fixture(scope="session")
def helper():
    """Runs the C++ interop helper; skips when it is not available."""
    path = os.environ.get("COMMON_DTO_INTEROP_HELPER")
    if not path or not os.path.exists(path):
        pytest.skip("COMMON_DTO_INTEROP_HELPER is not set (run the tests through ctest)")

    def run(*args, check=True):
        result = subprocess.run([path, *map(str, args)], capture_output=True, text=True)
        if check and result.returncode != 0:
            raise AssertionError("interop helper %s failed: %s" % (args, result.stderr))
        return result

    return run
