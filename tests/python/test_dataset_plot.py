"""A sweep as an xarray.Dataset, and the PPI quick-look from the command line."""

import struct
import subprocess
import sys
import warnings

import numpy as np
import pytest

import common_dto
from common_dto import InstrumentData
from common_dto.assembly import split_volume
from common_dto.dataset import sweep_to_dataset
from common_dto.stream import write_messages

from conftest import GATES, RAYS, START, moment_values


def test_dataset_layout(test_volume):
    ds = sweep_to_dataset(test_volume, 1)
    assert dict(ds.sizes) == {"azimuth": RAYS, "range": GATES}
    np.testing.assert_array_equal(ds["range"], 125 + 250 * np.arange(GATES))
    assert ds["range"].attrs["units"] == "m"
    np.testing.assert_array_equal(ds["azimuth"], 5 + 10 * np.arange(RAYS))
    np.testing.assert_array_equal(ds["elevation"], np.full(RAYS, 1.5))
    assert ds["elevation"].dims == ("azimuth",) and ds["time"].dims == ("azimuth",)
    # Time is the middle of each ray's acquisition.
    first = np.datetime64((START + 60) * 10**9 + 50_000_000, "ns")
    expected = first + np.arange(RAYS) * np.timedelta64(100, "ms")
    np.testing.assert_array_equal(ds["time"], expected)
    assert float(ds["latitude"]) == 46.5 and float(ds["altitude"]) == 420
    assert float(ds["sweep_fixed_angle"]) == 1.5
    assert str(ds["sweep_mode"].values) == "azimuth_surveillance"
    assert ds.attrs["instrument_name"] == "Interop radar"

    # DBZH: linear scale applied, codes 0 (under threshold) and 255 (not scanned) as NaN.
    codes = moment_values(1)["DBZH"][0]
    dbzh = ds["DBZH"]
    assert dbzh.dims == ("azimuth", "range")
    assert dbzh.attrs["units"] == "dBZ" and dbzh.attrs["long_name"] == "Reflectivity"
    masked = (codes == 0) | (codes == 255)
    assert masked.any() and np.isnan(dbzh.values[masked]).all()
    np.testing.assert_array_equal(dbzh.values[~masked], -32 + 0.5 * codes[~masked])
    # Moments without a scale pass through; units from data_unit or the type name.
    assert ds["VRADH"].attrs["units"] == "m s-1" and ds["RHOHV"].attrs["units"] == "1"
    np.testing.assert_array_equal(ds["PHIDP"], moment_values(1)["PHIDP"][0])
    assert "units" not in ds["CLASS"].attrs and ds["CLASS"].attrs["long_name"] == "CLASS"


def test_dataset_edge_cases(test_volume):
    volume = common_dto.Volume()
    volume.CopyFrom(test_volume)
    sweep = volume.sweep[0]
    # An ENUM moment keeps its codes and names them the CF way.
    descriptor = volume.volume_config.sweep_config[0].data_moments["CLASS"]
    descriptor.scale.type = common_dto.DataDescriptor.DataScale.ENUM
    descriptor.scale.enum_names[-2] = "no echo"
    descriptor.scale.enum_names[1] = "rain"
    # A moment with another gate count is left out with a warning.
    short = common_dto.buffers.encode_buffer(np.zeros((RAYS, 5), "u1"))
    sweep.sweep_moments["SHORT"].CopyFrom(short)
    with pytest.warns(UserWarning, match="SHORT left out: 5 gates, but the range axis has 20"):
        ds = sweep_to_dataset(volume, 0)
    assert ds["CLASS"].dtype == np.int32
    assert list(ds["CLASS"].attrs["flag_values"]) == [-2, 1]
    assert ds["CLASS"].attrs["flag_meanings"] == "no_echo rain"
    assert "SHORT" not in ds
    # Without a configuration: no descriptors, gate numbers as range.
    volume.ClearField("volume_config")
    del sweep.sweep_moments["SHORT"]
    with pytest.warns(UserWarning, match="no range scale"):
        ds = sweep_to_dataset(volume, 0)
    np.testing.assert_array_equal(ds["range"], np.arange(GATES))
    np.testing.assert_array_equal(ds["DBZH"], moment_values(0)["DBZH"][0])
    with pytest.raises(IndexError):
        sweep_to_dataset(volume, 2)


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "PNG signature"
    assert data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24]), len(data)


@pytest.mark.parametrize("kind", ["volume", "stream"])
def test_ppi_from_the_command_line(kind, tmp_path, test_volume, capsys):
    source = tmp_path / ("input." + kind)
    if kind == "volume":
        source.write_bytes(InstrumentData(volume=test_volume).SerializeToString())
    else:
        write_messages(source, split_volume(test_volume, compression="frame")[0])
    output = tmp_path / "ppi.png"
    result = subprocess.run(
        [sys.executable, "-m", "common_dto", "plot", str(source), "--sweep", "1",
         "--moment", "DBZH", "-o", str(output)], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    (width, height), size = png_size(output)
    assert (width, height) == (700, 600) and size > 20_000, "a drawn figure, not an empty one"

    # The other commands and errors, in-process.
    from common_dto.__main__ import main
    assert main(["info", str(source)]) == 0
    assert "sweep 1: fixed angle 1.5 deg, 36 rays" in capsys.readouterr().out
    assert main(["plot", str(source), "--moment", "NOPE", "-o", str(tmp_path / "x.png")]) == 1
    assert "no moment 'NOPE' in the sweep" in capsys.readouterr().err


def test_plot_function_returns_a_figure(test_volume):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        figure = common_dto.plot_ppi(sweep_to_dataset(test_volume, 0), "VRADH")
    axes = figure.axes
    assert len(axes) == 2, "the PPI and its colour bar"
    assert axes[1].get_ylabel() == "Velocity [m s-1]"
    assert "Interop radar  2026-01-01 00:00:00 UTC" in axes[0].get_title()
    assert "fixed angle 0.5°" in axes[0].get_title()


@pytest.mark.parametrize("attrs, label", [
    ({"long_name": "Velocity", "units": "m s-1"}, "Velocity [m s-1]"),
    ({"long_name": "DBZH [DBZ]", "units": "dBZ"}, "DBZH [dBZ]"),   # the legend names a unit
    ({"long_name": "DBZH [dBZ]", "units": "dBZ"}, "DBZH [dBZ]"),
    ({"long_name": "Ratio [a] of b", "units": "1"}, "Ratio [a] of b [1]"),
    ({"long_name": "Class"}, "Class"),                              # no unit
    ({"units": "dB"}, "ZDR [dB]"),                                  # no long name
])
def test_colour_bar_label_names_the_unit_once(attrs, label):
    from common_dto.plot import _colour_bar_label
    assert _colour_bar_label(attrs, "ZDR") == label
