"""IRIS/Sigmet RAW products as the radar processors write them: each quirk
of the table is written by iris_fixture, converted with `common-dto convert`
to CF/Radial 1.4 and read back with xarray; damaged files end in exact
errors."""

import copy
import datetime as dt

import numpy as np
import pytest
import xarray as xr

import iris_fixture as fx

START = dt.datetime(2024, 5, 17, 12, 0, 5)
GATES = 8
RAYS = 6

ONE_BYTE = ["DB_DBT", "DB_DBZ", "DB_VEL", "DB_WIDTH", "DB_ZDR", "DB_KDP", "DB_PHIDP", "DB_RHOHV",
            "DB_SQI"]
TWO_BYTE = ["DB_DBT2", "DB_DBZ2", "DB_VEL2", "DB_WIDTH2", "DB_ZDR2", "DB_KDP2", "DB_PHIDP2",
            "DB_RHOHV2", "DB_SQI2"]
QUANTITY = {"DB_DBT": "TH", "DB_DBZ": "DBZH", "DB_VEL": "VRADH", "DB_WIDTH": "WRADH",
            "DB_ZDR": "ZDR", "DB_KDP": "KDP", "DB_PHIDP": "PHIDP", "DB_RHOHV": "RHOHV",
            "DB_SQI": "SQIH"}


def quantity(name):
    return QUANTITY[name[:-1] if name.endswith("2") else name]


def ray_codes(name, ray, gates, sweep):
    """Codes with runs of zeros (compressed), the lowest code 1 and a high one."""
    width = fx.TYPES[name][1]
    top = 254 if width == 1 else 60000
    c = (np.arange(gates) * 37 + 11 * ray + 5 * sweep) % top + 1
    c[2:4] = 0               # no data: a compressed zero run
    c[-1] = 1 if gates > 4 else c[-1]
    return c.astype("u1" if width == 1 else "u2")


def make_sweep(types, number, angle, rays=RAYS, gates=GATES, first_slot=0, gate_counts=None):
    """Rays stored by azimuth slot; acquisition starts at slot `first_slot`."""
    out = []
    for r in range(rays):
        g = gate_counts[r] if gate_counts else gates
        acquired = (r - first_slot) % rays
        step = 360.0 / rays
        out.append(fx.Ray(az0=r * step, el0=angle, az1=(r + 0.98) * step, el1=angle + 0.1,
                          seconds=2 * acquired, ms=2000 * acquired + 250,
                          codes={t: ray_codes(t, r, g, number) for t in types if t != "DB_XHDR"}))
    return fx.SweepSpec(number=number, start=START + dt.timedelta(seconds=30 * (number - 1)),
                        fixed_angle=angle, rays=out)


def make_spec(types, **kw):
    return fx.VolumeSpec(types=types, sweeps=[make_sweep(types, 1, 0.5), make_sweep(types, 2, 1.5)],
                         **kw)


def quirk_one_byte():
    return make_spec(ONE_BYTE)


def quirk_two_byte_only():
    return make_spec(TWO_BYTE)


def quirk_azimuth_slots():
    spec = make_spec(["DB_DBZ2"])
    spec.sweeps[0] = make_sweep(["DB_DBZ2"], 1, 0.5, first_slot=4)
    return spec


def quirk_missing_ray():
    spec = make_spec(["DB_DBZ2", "DB_VEL"])
    spec.sweeps[1].rays[3] = None
    spec.sweeps[1].rays_declared = RAYS
    return spec


def quirk_millisecond_times():
    return make_spec(["DB_XHDR", "DB_DBZ2"])


def quirk_shrinking_gates():
    types = ["DB_DBZ", "DB_VEL2"]
    spec = make_spec(types)
    spec.sweeps[1] = make_sweep(types, 2, 1.5, gates=5, gate_counts=[5, 5, 4, 5, 3, 5])
    return spec


def quirk_sweep_over_records():
    """A sweep of 360 rays spans several records: rays cross their headers."""
    types = ["DB_DBZ2", "DB_VEL2"]
    return fx.VolumeSpec(types=types, sweeps=[make_sweep(types, 1, 0.5, rays=360, gates=30)])


def quirk_first_gate_zero():
    return make_spec(["DB_DBZ2"], first_bin_cm=0)


def quirk_dual_prf():
    return make_spec(["DB_VEL", "DB_WIDTH"], multi_prf=1)


def quirk_ray_counts_disagree():
    spec = make_spec(["DB_DBZ2"])
    spec.sweeps[0].rays_declared = RAYS + 3
    return spec


QUIRKS = [quirk_one_byte, quirk_two_byte_only, quirk_azimuth_slots, quirk_missing_ray,
          quirk_millisecond_times, quirk_shrinking_gates, quirk_sweep_over_records,
          quirk_first_gate_zero, quirk_dual_prf,
          quirk_ray_counts_disagree]


def convert(tool, tmp_path, spec, *args):
    raw = tmp_path / "volume.RAW"
    raw.write_bytes(fx.write(spec))
    out = tmp_path / "volume.nc"
    result = tool("convert", *args, raw, out)
    return xr.open_dataset(out), result.stderr


def stored_rays(sweep):
    return [r for r in sweep.rays if r is not None]


@pytest.mark.parametrize("quirk", QUIRKS, ids=lambda q: q.__name__[6:])
def test_quirk_values_and_times(tool, tmp_path, quirk):
    spec = quirk()
    ds, _ = convert(tool, tmp_path, spec)
    counts = [len(stored_rays(s)) for s in spec.sweeps]
    assert ds.sizes["time"] == sum(counts)
    np.testing.assert_array_equal(ds["sweep_start_ray_index"].values, np.cumsum([0] + counts[:-1]))
    gates = max(len(next(iter(r.codes.values()))) for s in spec.sweeps for r in stored_rays(s))
    first = spec.step_cm / 200 if spec.first_bin_cm == 0 else spec.first_bin_cm / 100
    np.testing.assert_allclose(ds["range"].values[:gates], first + spec.step_cm / 100 * np.arange(gates))
    row = 0
    for sweep in spec.sweeps:
        for ray in stored_rays(sweep):
            seconds = ray.ms / 1000 if "DB_XHDR" in spec.types else ray.seconds
            want = np.datetime64(sweep.start + dt.timedelta(seconds=seconds), "us")
            assert ds["time"].values[row].astype("datetime64[us]") == want
            # CF/Radial gives the ray's centre
            assert ds["azimuth"].values[row] == pytest.approx((ray.az0 + ray.az1) / 2, abs=0.01)
            assert ds["elevation"].values[row] == pytest.approx((ray.el0 + ray.el1) / 2, abs=0.01)
            for name, codes in ray.codes.items():
                values = ds[quantity(name)].values[row]
                want_values = fx.decode(name, codes, spec)
                np.testing.assert_allclose(values[:len(codes)], want_values, rtol=1e-5, atol=1e-6,
                                           err_msg=name)
                assert np.isnan(values[len(codes):]).all()  # gates beyond the ray: missing
            row += 1


def test_first_acquired_ray_named(tool, tmp_path):
    spec = quirk_azimuth_slots()
    raw = tmp_path / "v.RAW"
    raw.write_bytes(fx.write(spec))
    out = tmp_path / "v.h5"
    tool("convert", raw, out)
    import h5py
    with h5py.File(out) as f:
        assert f["dataset1/where"].attrs["a1gate"] == 4
        assert f["dataset1/data1/what"].attrs["quantity"] == b"DBZH"


def test_notes_and_names(tool, tmp_path):
    spec = make_spec(["DB_DBZ2", "DB_HCLASS"])
    spec.sweeps[0].rays_declared = RAYS + 3
    ds, stderr = convert(tool, tmp_path, spec, "--from", "iris")
    assert "sweep 1: 9 rays declared, 6 in the data; the data's kept" in stderr
    assert "moment DB_HCLASS: IRIS data type kept under its name" in stderr
    assert ds["DBZH"].attrs["long_name"] == "DB_DBZ2"
    assert "DB_HCLASS" in ds


def test_summary_reads_iris(tool, tmp_path):
    raw = tmp_path / "v.RAW"
    raw.write_bytes(fx.write(quirk_one_byte()))
    result = tool("summary", raw)
    assert "TESTSITE" in result.stdout


def test_not_written(tool, tmp_path):
    raw = tmp_path / "v.RAW"
    raw.write_bytes(fx.write(quirk_one_byte()))
    tool("convert", "--to", "iris", raw, tmp_path / "x.raw", expect=2)


def cut_in_ray(data):
    """Cut inside the second sweep's third ray."""
    return data[:3 * fx.RECORD + fx.BLOCK_HEADER + 76 + 80]


def lying_run(data):
    """A data run that claims more words than its sweep holds."""
    b = bytearray(data)
    at = 2 * fx.RECORD + fx.BLOCK_HEADER + 76
    b[at:at + 2] = (0x8000 | 0x7000).to_bytes(2, "little")
    return bytes(b)


def mask_disagrees(data):
    b = bytearray(data)
    at = 2 * fx.RECORD + fx.BLOCK_HEADER + 38
    b[at:at + 2] = (8).to_bytes(2, "little")
    return bytes(b)


def not_raw(data):
    b = bytearray(data)
    b[24:26] = (1).to_bytes(2, "little")
    return bytes(b)


DAMAGE = [
    (lambda d: d[:8000], "ingest_header: the file ends inside the headers"),
    (cut_in_ray, "sweep 2: the data ends inside ray slot"),
    (lying_run, "sweep 1: the data ends inside ray slot 1"),
    (mask_disagrees, "sweep 1: ingest_data_header 1 holds data type 8, the DSP data mask says 9"),
    (not_raw, "IRIS product type 1 is not converted (only RAW)"),
]


@pytest.mark.parametrize("damage,message", DAMAGE, ids=["headers", "ray", "run", "mask", "product"])
def test_damaged(tool, tmp_path, damage, message):
    raw = tmp_path / "bad.RAW"
    raw.write_bytes(damage(fx.write(make_spec(["DB_DBZ2"]))))
    result = tool("convert", "--from", "iris", raw, tmp_path / "out.nc", expect=2)
    assert message in result.stderr
    assert not (tmp_path / "out.nc").exists()
