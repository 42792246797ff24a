"""NEXRAD Level II read by `common-dto`: files written by nexrad_fixture
from the interface control document's layouts, as real archives hold them
(a table of quirks), read into the model and checked code by code; then to
CF/Radial read by xarray; damaged files with their exact errors; the
real-time chunks of a volume through `common-dto ingest nexrad-chunks`
while a thread fills the directory."""

import os
import threading
import time

import numpy as np
import pytest
import xarray as xr

import nexrad_fixture as nx

PAD = 65535

# name -> how the archive differs from the plain one
QUIRKS = {
    "plain": {},
    "gzip_whole_file": dict(gzip=True),
    "unknown_messages_between": dict(unknown_between=True),
    "file_time_after_first_ray": dict(header_later_s=95.0),
    "no_vcp_message": dict(vcp=False),
    "cuts_of_363_rays": dict(rays=363),
    "cuts_of_367_rays": dict(rays=367),
}

# The sweeps of the standard volume: (cut, ODIM names), one per geometry.
SWEEPS = [(0, ["DBZH", "PHIDP", "RHOHV", "ZDR"]), (1, ["CFP", "DBZH", "VRADH", "WRADH"]), (2, ["DBZH", "VRADH"])]
NATIVE = {"DBZH": "REF", "VRADH": "VEL", "WRADH": "SW", "ZDR": "ZDR", "PHIDP": "PHI", "RHOHV": "RHO", "CFP": "CFP"}


def read_model(tool, path, tmp_path, *args):
    import common_dto
    out = tmp_path / (path.name + ".pb")
    result = tool("convert", *args, path, out)
    data = common_dto.InstrumentData()
    data.ParseFromString(out.read_bytes())
    return data.volume, result.stderr


def samples(buffer, rays):
    dtype = {1: ">u1", 2: ">u2"}[buffer.type]
    return np.frombuffer(buffer.data, dtype=dtype).reshape(rays, -1)


def expected(codes, gates):
    """Written codes padded with the not-scanned code to `gates`."""
    out = np.full((codes.shape[0], gates), PAD, dtype=np.int64)
    out[:, :codes.shape[1]] = codes
    return out


def config_of(volume, sweep):
    ref = sweep.description.config
    if ref.HasField("sweep_config"):
        return ref.sweep_config
    return volume.volume_config.sweep_config[ref.sweep_config_index]


def check_standard(volume, cuts, quirk):
    assert volume.instrument.name == "KTLX"
    loc = volume.instrument.location
    assert loc.lat_lon.latitude_deg == pytest.approx(35.333, abs=1e-5)
    assert loc.lat_lon.longitude_deg == pytest.approx(-97.278, abs=1e-5)
    assert loc.altitude_m == 390
    assert len(volume.sweep) == 3
    for sweep, (cut_index, names), c in zip(volume.sweep, SWEEPS, cuts):
        assert sweep.index_in_task == cut_index
        target = c["target"] if quirk.get("vcp", True) else c["measured"]
        assert sweep.description.fixed_angle_deg == pytest.approx(target, abs=0.003)
        assert sorted(sweep.sweep_moments) == names
        rays = len(c["radials"])
        assert len(sweep.rays) == rays
        times = [r.aq_start_time.seconds + r.aq_start_time.nanos * 1e-9 for r in sweep.rays]
        np.testing.assert_allclose(times, [r["time"] for r in c["radials"]], atol=1e-6)
        assert sweep.input_timespan.start.seconds == int(c["radials"][0]["time"])
        az = [r.az_range_deg.start_deg + r.az_range_deg.span_deg / 2 for r in sweep.rays]
        np.testing.assert_allclose(az, [r["az"] for r in c["radials"]], atol=1e-4)
        np.testing.assert_allclose([r.el_range_deg.start_deg for r in sweep.rays],
                                   [r["el"] for r in c["radials"]], atol=1e-5)
        config = config_of(volume, sweep)
        gates = max(c["codes"][NATIVE[n]].shape[1] for n in names)
        assert (config.range_scale.range_m[0].start, config.range_scale.range_m[0].step,
                config.range_scale.range_m[0].count) == (2125, 250, gates)
        for name in names:
            native = NATIVE[name]
            written = c["codes"][native]
            padded = written.shape[1] < gates
            np.testing.assert_array_equal(samples(sweep.sweep_moments[name], rays), expected(written, gates))
            d = config.data_moments[name]
            first, step, _, bits, scale, offset = c["specs"][native if native != "SW" else "SW "]
            assert d.description == native
            lin = d.scale.linear_scale
            assert lin.step == pytest.approx(1 / scale, rel=1e-6)
            assert lin.offset == pytest.approx(-offset / scale, rel=1e-6)
            assert (lin.under_threshold, lin.not_scanned, lin.min_value) == (0, PAD if padded else -1, 2)
            assert sweep.sweep_moments[name].type == (2 if padded or bits == 16 else 1)


@pytest.mark.parametrize("name", sorted(QUIRKS))
def test_archive_read_code_by_code(tool, tmp_path, name):
    quirk = QUIRKS[name]
    cuts = nx.standard_cuts(rays=quirk.get("rays", 8))
    path = tmp_path / "KTLX20241001_122000_V06"
    nx.write_archive(path, cuts, quirk)
    volume, notes = read_model(tool, path, tmp_path)
    check_standard(volume, cuts, quirk)
    assert "code 1 (range folded) kept in the samples" in notes
    assert "moment CFP: no ODIM quantity" in notes
    assert ("its fixed angle is its first radial's elevation" in notes) == (not quirk.get("vcp", True))
    # Told the format, the same volume.
    told, _ = read_model(tool, path, tmp_path, "--from", "nexrad")
    assert told == volume


def test_legacy_message_1(tool, tmp_path):
    cuts = nx.legacy_cuts()
    path = tmp_path / "KTLX19980601_000000"
    nx.write_legacy(path, cuts)
    volume, notes = read_model(tool, path, tmp_path)
    assert not volume.instrument.HasField("location")
    assert "no site position" in notes
    # One sweep per gate geometry: REF in 1 km gates from 0 m, VEL and SW in
    # 250 m gates from -375 m.
    assert [(s.index_in_task, sorted(s.sweep_moments)) for s in volume.sweep] == [
        (0, ["DBZH"]), (0, ["VRADH", "WRADH"]), (1, ["DBZH"]), (1, ["VRADH", "WRADH"])]
    for sweep, (c, geometry) in zip(volume.sweep, [(c, g) for c in cuts for g in ("REF", "VEL")]):
        r = config_of(volume, sweep).range_scale.range_m[0]
        assert (r.start, r.step, r.count) == ((0, 1000, 10) if geometry == "REF" else (-375, 250, 16))
        assert sweep.description.fixed_angle_deg == pytest.approx(c["measured"], abs=0.006)
        for name in sweep.sweep_moments:
            native = NATIVE[name]
            np.testing.assert_array_equal(samples(sweep.sweep_moments[name], 6), c["codes"][native])
        times = [r.aq_start_time.seconds + r.aq_start_time.nanos * 1e-9 for r in sweep.rays]
        np.testing.assert_allclose(times, [r["time"] for r in c["radials"]], atol=1e-6)
    vel = config_of(volume, volume.sweep[1]).data_moments["VRADH"].scale.linear_scale
    assert (vel.step, vel.offset) == (0.5, -64.5)


def open_sweep(path, to, s):
    """Sweep s of a CF/Radial file as xarray decodes it: 2.1's group, 1.4's
    rows and sweep element."""
    if to == "cfradial2":
        return xr.open_dataset(path, group="sweep_%d" % s)
    with xr.open_dataset(path) as ds:
        first, last = int(ds["sweep_start_ray_index"][s]), int(ds["sweep_end_ray_index"][s])
        return ds.isel(time=slice(first, last + 1), sweep=s).load()


@pytest.mark.parametrize("to", ["cfradial2", "cfradial1"])
def test_cfradial_through_xarray(tool, tmp_path, to):
    """A moment may be 8-bit in one sweep and padded to 16 bits in another:
    2.1 keeps each sweep's samples, 1.4 (one variable per field) their values."""
    cuts = nx.standard_cuts()
    path = tmp_path / "KTLX20241001_122000_V06"
    nx.write_archive(path, cuts)
    nc = tmp_path / "ktlx.nc"
    notes = tool("convert", "--to", to, path, nc).stderr
    assert ("moment VRADH: written unpacked" in notes) == (to == "cfradial1")
    for s, ((_, names), c) in enumerate(zip(SWEEPS, cuts)):
        with open_sweep(nc, to, s) as ds:
            times = (ds["time"].values - np.datetime64("1970-01-01T00:00:00")) / np.timedelta64(1, "us") / 1e6
            np.testing.assert_allclose(times, [r["time"] for r in c["radials"]], atol=1e-6)
            np.testing.assert_allclose(ds["azimuth"].values, [r["az"] for r in c["radials"]], atol=1e-4)
            assert float(ds["fixed_angle"]) == pytest.approx(c["target"], abs=0.003)
            for name in names:
                native = NATIVE[name]
                spec = c["specs"][native if native != "SW" else "SW "]
                codes = c["codes"][native].astype(float)
                values = ds[name].values[:, :codes.shape[1]]
                measured = codes >= 2
                np.testing.assert_allclose(values[measured], ((codes - spec[5]) / spec[4])[measured], rtol=1e-5)
                # Gates padded beyond the moment's own are missing.
                assert np.isnan(ds[name].values[:, codes.shape[1]:]).all()


# Range-folded gates (code 1, below the valid range 2..) of VEL and SW, read
# by independent readers: 8-bit in sweep 1, padded to 16 bits in sweep 2.
# (reader, sweep, the missing code the file holds there)
FOLDED = [
    ("cfradial2-xarray", 1, 1),
    ("cfradial2-xarray", 2, 65535),
    ("odim-h5py", 1, 1),
    ("odim-h5py", 2, 65535),
    ("model-scale_codes", 1, None),
    ("model-scale_codes", 2, None),
]


def folded_read(tool, path, tmp_path, reader, s, name):
    """(raw codes, values with NaN for missing, the missing code, notes)."""
    import h5py
    from common_dto import buffers
    if reader == "cfradial2-xarray":
        out = tmp_path / "ktlx.nc"
        notes = tool("convert", "--to", "cfradial2", path, out).stderr
        with xr.open_dataset(out, group="sweep_%d" % s) as ds:
            values = ds[name].values
        with xr.open_dataset(out, group="sweep_%d" % s, mask_and_scale=False) as ds:
            return ds[name].values, values, ds[name].attrs["_FillValue"], notes
    if reader == "odim-h5py":
        out = tmp_path / "ktlx.h5"
        notes = tool("convert", "--to", "odim", path, out).stderr
        with h5py.File(out, "r") as f:
            group = next(g for g in f["dataset%d" % (s + 1)].values()
                         if "what" in g and g["what"].attrs["quantity"] == name.encode())
            what = group["what"].attrs
            raw = group["data"][...]
            values = np.where(raw == what["nodata"], np.nan, raw * what["gain"] + what["offset"])
            return raw, values, what["nodata"], notes
    volume, notes = read_model(tool, path, tmp_path)
    sweep = volume.sweep[s]
    raw = buffers.decode_buffer(sweep.sweep_moments[name], shape=(len(sweep.rays), -1))
    masked = buffers.scale_codes(raw, config_of(volume, sweep).data_moments[name])
    return raw, masked.filled(np.nan), None, notes


@pytest.mark.parametrize("reader, s, missing", FOLDED)
def test_range_folded_gates_are_missing(tool, tmp_path, reader, s, missing):
    cuts = nx.standard_cuts()
    path = tmp_path / "KTLX20241001_122000_V06"
    nx.write_archive(path, cuts)
    c = cuts[s]
    for name in ("VRADH", "WRADH") if s == 1 else ("VRADH",):
        native = NATIVE[name]
        spec = c["specs"][native if native != "SW" else "SW "]
        codes = c["codes"][native]
        raw, values, fill, notes = folded_read(tool, path, tmp_path, reader, s, name)
        width = codes.shape[1]
        folded = codes == 1
        assert folded.sum() > 0
        # NaN exactly at the folded gates and below threshold where the
        # reader masks it (the model's under-threshold code), values exact.
        below = codes == 0
        expect_nan = folded | (below if reader == "model-scale_codes" else False)
        np.testing.assert_array_equal(np.isnan(values[:, :width]), expect_nan)
        measured = codes >= 2
        np.testing.assert_allclose(values[:, :width][measured], ((codes - spec[5]) / spec[4])[measured],
                                   rtol=1e-5)
        if missing is None:
            np.testing.assert_array_equal(raw[:, :width], codes)  # the model keeps code 1
            continue
        assert fill == missing
        np.testing.assert_array_equal(raw[:, :width], np.where(folded, missing, codes))
        top = 255 if missing == 1 else 65534
        assert ("moment %s: sweep[%d]: %d gates with codes outside the valid range 2..%d (1) "
                "written as the missing code %d" % (name, s, folded.sum(), top, missing)) in notes


DAMAGE = {
    # name -> (how the bytes are damaged, the error's end)
    "truncated_in_a_record": (lambda b: b[:len(b) - 300], " left (truncated)"),
    "record_declares_more": ("more", "bzip2 stream ends 40 bytes before the record's end (malformed)"),
    "record_declares_less": ("less", "bzip2 stream runs past the record (malformed)"),
    "volume_header_only": (lambda b: b[:24], "no radials (message 31 or 1) in the file (malformed)"),
    "gzip_cut_short": ("gzip", "gzip stream cut short (truncated)"),
}


@pytest.mark.parametrize("name", sorted(DAMAGE))
def test_damaged_archive(tool, tmp_path, name):
    damage, error = DAMAGE[name]
    cuts = nx.standard_cuts()
    path = tmp_path / "damaged"
    data = nx.write_archive(path, cuts)
    if damage in ("more", "less"):
        record = nx.ldm_record(b"".join(nx.message31(r) for r in cuts[0]["radials"]),
                               declared_delta=40 if damage == "more" else -40)
        data = data[:24] + record + data[24:]
    elif damage == "gzip":
        import gzip
        data = gzip.compress(data)[:-200]
    else:
        data = damage(data)
    path.write_bytes(data)
    result = tool("convert", "--from", "nexrad", path, tmp_path / "out.pb", expect=2)
    line = result.stderr.strip().splitlines()[-1]
    assert line.startswith("common-dto: %s: " % path) and line.endswith(error), line
    assert not (tmp_path / "out.pb").exists()


@pytest.mark.parametrize("content, what", [
    (b"UF" + b"\x00\x80" + b"\x00" * 252, "format not supported: Universal Format (UF)"),
    (b"\x00\x00\x01\x00UF\x00\x80" + b"\x00" * 248, "format not supported: Universal Format (UF)"),
    (b"\xff\xfe" + bytes(np.random.default_rng(7).integers(0, 256, 4094, dtype=np.uint8)),
     "format not supported: neither a radar file the tool reads"),
])
@pytest.mark.parametrize("command", ["convert", "summary"])
def test_unsupported_formats_refused(tool, tmp_path, content, what, command):
    path = tmp_path / "input.bin"
    path.write_bytes(content)
    args = [path, tmp_path / "out.nc"] if command == "convert" else [path]
    result = tool(command, *args, expect=2)
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("common-dto: %s: %s" % (path, what)), lines
    assert "malformed wire data" not in result.stderr


def fill_directory(directory, chunks, skip=(), delay=0.15, name="20241001-122000"):
    """Writes the chunks one after the other as the feed does (each written
    under a temporary name and renamed)."""
    for seq, (kind, data) in enumerate(chunks, start=1):
        time.sleep(delay)
        if seq in skip:
            continue
        tmp = directory / (".%d.tmp" % seq)
        tmp.write_bytes(data)
        os.rename(tmp, directory / ("%s-%03d-%s" % (name, seq, kind)))


def assemble(tool, stream, tmp_path):
    import common_dto
    out = tmp_path / "assembled.pb"
    tool("assemble", stream, out)
    data = common_dto.InstrumentData()
    data.ParseFromString(out.read_bytes())
    return data.volume


def test_chunks_ingested_as_they_arrive(tool, tmp_path):
    cuts = nx.standard_cuts()
    directory = tmp_path / "feed"
    directory.mkdir()
    writer = threading.Thread(target=fill_directory, args=(directory, nx.write_chunks(cuts)))
    writer.start()
    stream = tmp_path / "ktlx.rays"
    tool("ingest", "nexrad-chunks", directory, "-o", stream, "--poll", "0.05", "--timeout", "10")
    writer.join()
    volume = assemble(tool, stream, tmp_path)
    check_standard(volume, cuts, {})
    # The volume's start and end are its first and last radials' times.
    lines = tool("dump", stream).stdout.splitlines()
    assert '"start":"2024-10-01T12:20:00Z"' in lines[0]
    assert lines[-1].startswith('{"volume_end"') and '"end":"2024-10-01T12:21:01.750Z"' in lines[-1]
    # The same samples as the archive file gives.
    archive = tmp_path / "KTLX"
    nx.write_archive(archive, cuts)
    from_file, _ = read_model(tool, archive, tmp_path)
    assert [s.sweep_moments for s in volume.sweep] == [s.sweep_moments for s in from_file.sweep]


def test_missing_chunk_named(tool, tmp_path):
    cuts = nx.standard_cuts()
    directory = tmp_path / "feed"
    directory.mkdir()
    writer = threading.Thread(target=fill_directory, args=(directory, nx.write_chunks(cuts)),
                              kwargs=dict(skip=(3,), delay=0.05))
    writer.start()
    stream = tmp_path / "partial.rays"
    result = tool("ingest", "nexrad-chunks", directory, "-o", stream, "--poll", "0.05", "--timeout", "1.5",
                  expect=2)
    writer.join()
    assert result.stderr.strip().splitlines()[-1] == (
        "common-dto: %s: volume 20241001-122000: chunk 20241001-122000-003 (sequence number 3) "
        "did not arrive within 1.5 s" % directory)
    # What was read before stays sent: the surveillance cut of chunk 2.
    kinds = [line.split('"')[1] for line in tool("dump", stream).stdout.splitlines()]
    assert kinds.count("volume_header") == 1 and kinds.count("sweep_header") == 1
    assert kinds.count("sweep_end") == 1 and kinds.count("ray_end") == 8
    assert "volume_end" not in kinds


# Universal Format behind a little-endian record length: refused whatever
# reads it, a pipe and a stream command included.
UF_LITTLE_ENDIAN = b"\x00\x01\x00\x00UF\x00\x80" + b"\x00" * 248


@pytest.mark.parametrize("args", [["assemble", "{path}", "{out}"], ["dump", "--input-kind", "message", "{path}"],
                                  ["summary", "-"]])
def test_universal_format_refused_by_every_reader(tmp_path, args):
    import subprocess
    path, out = tmp_path / "uf.bin", tmp_path / "out.pb"
    path.write_bytes(UF_LITTLE_ENDIAN)
    argv = [os.environ["COMMON_DTO_CLI"], "-q"] + [a.format(path=path, out=out) for a in args]
    result = subprocess.run(argv, input=UF_LITTLE_ENDIAN, capture_output=True)
    name = "<stdin>" if args[-1] == "-" else str(path)
    assert result.returncode == 2
    assert result.stderr.decode() == "common-dto: %s: format not supported: Universal Format (UF)\n" % name
    assert not out.exists()


def test_model_data_not_refused_as_another_format(tool, tmp_path, volume_file):
    """A ray stream given where a message is read, and a message cut short,
    start as the tool's data: their own errors, not another format's."""
    path, _ = volume_file
    stream = tmp_path / "volume.rays"
    tool("split", path, stream)
    as_message = tool("convert", stream, tmp_path / "out.nc", expect=2).stderr
    cut = tmp_path / "cut.pb"
    cut.write_bytes(path.read_bytes()[:300])
    truncated = tool("dump", "--input-kind", "message", cut, expect=2).stderr
    for stderr in (as_message, truncated):
        assert "format not supported" not in stderr and stderr.count("\n") == 1, stderr
    assert "not a kyt.pb.common.InstrumentData: length" in truncated and "runs past the end" in truncated


def test_damaged_chunk_ends_ingest_after_what_came(tool, tmp_path):
    cuts = nx.standard_cuts()
    chunks = nx.write_chunks(cuts)
    kind, data = chunks[2]
    chunks[2] = (kind, data[:len(data) // 2])
    directory = tmp_path / "feed"
    directory.mkdir()
    fill_directory(directory, chunks, delay=0)
    stream = tmp_path / "partial.rays"
    result = tool("ingest", "nexrad-chunks", directory, "-o", stream, "--poll", "0.02", "--timeout", "5", expect=2)
    line = result.stderr.strip().splitlines()[-1]
    assert line.startswith("common-dto: %s/20241001-122000-003-I: " % directory) and line.endswith("(truncated)"), line
    kinds = [line.split('"')[1] for line in tool("dump", stream).stdout.splitlines()]
    assert kinds.count("sweep_end") == 1 and "volume_end" not in kinds


def test_volume_chosen_and_written_to_stdout(tool, tmp_path):
    import subprocess
    early, late = nx.standard_cuts(rays=4), nx.standard_cuts(rays=6)
    directory = tmp_path / "feed"
    directory.mkdir()
    fill_directory(directory, nx.write_chunks(early), delay=0, name="20241001-121000")
    fill_directory(directory, nx.write_chunks(late), delay=0, name="20241001-122000")
    rays = {}
    for told in (None, "20241001-122000"):
        argv = [os.environ["COMMON_DTO_CLI"], "-q", "ingest", "nexrad-chunks", str(directory), "--poll", "0.02"]
        result = subprocess.run(argv + (["--volume", told] if told else []), capture_output=True, check=True)
        stream = tmp_path / ("%s.rays" % told)
        stream.write_bytes(result.stdout)
        rays[told] = [len(s.rays) for s in assemble(tool, stream, tmp_path).sweep]
    # Without --volume, the first by name.
    assert rays == {None: [4, 4, 4], "20241001-122000": [6, 6, 6]}


@pytest.fixture
def nats_server(tmp_path):
    import shutil
    import socket
    import subprocess
    server = shutil.which("nats-server") or "/usr/sbin/nats-server"
    if not os.path.exists(server):
        pytest.skip("no nats-server")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    config = tmp_path / "nats.conf"
    config.write_text('listen: 127.0.0.1:%d\njetstream { store_dir: "%s" }\n' % (port, tmp_path / "store"))
    process = subprocess.Popen([server, "-c", str(config)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(200):
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                break
        time.sleep(0.025)
    yield "nats://127.0.0.1:%d" % port
    process.terminate()
    process.wait()


def test_chunks_ingested_to_nats(tool, tmp_path, nats_server):
    """With --server the sweeps go to JetStream as publish sends them; a
    subscriber receives the volume the archive file holds."""
    import common_dto
    cuts = nx.standard_cuts()
    directory = tmp_path / "feed"
    directory.mkdir()
    fill_directory(directory, nx.write_chunks(cuts), delay=0)
    tool("ingest", "nexrad-chunks", directory, "--server", nats_server, "--create-stream", "--poll", "0.02",
         "--rays-per-message", "4")
    outdir = tmp_path / "volumes"
    tool("subscribe", "--server", nats_server, "--durable", "t", "--count", "1", "--idle-timeout", "10", outdir)
    [received] = list(outdir.iterdir())
    data = common_dto.InstrumentData()
    data.ParseFromString(received.read_bytes())
    check_standard(data.volume, cuts, {})
    archive = tmp_path / "KTLX"
    nx.write_archive(archive, cuts)
    from_file, _ = read_model(tool, archive, tmp_path)
    assert [s.sweep_moments for s in data.volume.sweep] == [s.sweep_moments for s in from_file.sweep]
