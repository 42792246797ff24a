"""The C++ Assembler and splitter through the binding: results as records,
failed Statuses as AssemblyError/StreamError with code and location, the
Assembler's options, and whole streams read in C++."""

import io

import pytest
from google.protobuf.timestamp_pb2 import Timestamp

from common_dto import DataBuffer, RayStreamMessage, Volume
from common_dto.assembly import (Assembler, AssemblyError, assemble_stream, assemble_volumes,
                                 derive_sweep_uuid, format_uuid, parse_uuid, split_volume,
                                 write_split_volume)
from common_dto.stream import StreamError, encode_delimited


def same_bytes(a, b):
    return a.SerializeToString(deterministic=True) == b.SerializeToString(deterministic=True)


def test_uuid_text_and_derived_sweep_uuids(test_volume):
    uuid = test_volume.uuid
    assert format_uuid(uuid) == "01234567-89ab-cdef-eedd-ccbbaa998878"
    assert parse_uuid("01234567-89AB-CDEF-EEDD-CCBBAA998878") == uuid
    with pytest.raises(ValueError):
        parse_uuid("01234567-89ab-cdef-eedd-ccbbaa99887")
    # The splitter's sweep UUIDs are those derive_sweep_uuid gives.
    messages, _ = split_volume(test_volume)
    assert [m.sweep_header.sweep_uuid for m in messages if m.HasField("sweep_header")] == \
        [derive_sweep_uuid(uuid, s) for s in range(2)]


def test_split_then_assemble_gives_the_volume_back(test_volume, tmp_path):
    start, end = Timestamp(seconds=10), Timestamp(seconds=20)
    for compression in (None, "frame", "block"):
        messages, not_carried = split_volume(test_volume, compression, start, end)
        assert not_carried == []
        cases = [m.WhichOneof("payload") for m in messages]
        assert cases[:4] == ["volume_header", "sweep_header", "ray_header", "parameter_data"]
        assert cases.count("parameter_data") == 2 * 36 * 7 and cases[-1] == "volume_end"
        (result,) = assemble_volumes(messages)
        assert result.complete and result.missing == [] and result.warnings == []
        assert (result.start, result.end) == (start, end)
        assert same_bytes(result.volume, test_volume), compression
        # Written straight from C++, the same frames.
        path = tmp_path / "split.rays"
        write_split_volume(test_volume, path, compression, start, end)
        assert path.read_bytes() == b"".join(encode_delimited(m) for m in messages)


def refused(messages, fault):
    """A message the assembler refuses after the first four of the test stream."""
    if fault == "no payload":
        return RayStreamMessage()
    if fault == "duplicate":
        return messages[2]
    bad = RayStreamMessage()
    bad.CopyFrom(messages[4])  # Ray 0's COUNT.
    if fault == "byte order":
        bad.parameter_data.ray_index = 1
        bad.parameter_data.data_type.short_name = "CLASS"
        bad.parameter_data.data.endian = DataBuffer.LITTLE
    else:
        bad.parameter_data.data.compression = DataBuffer.LZ4
    return bad


# (fault, error code, location beyond the sweep's UUID)
FAULTS = [
    ("no payload", "protocol", None),
    ("duplicate", "protocol", {"ray_index": 0}),
    ("byte order", "invalid_argument", {"ray_index": 1, "moment": "CLASS"}),
    ("undecodable LZ4", "malformed", {"ray_index": 0, "moment": "COUNT"}),
]


@pytest.mark.parametrize("fault,code,location", FAULTS, ids=[f[0] for f in FAULTS])
def test_refused_messages_raise_with_code_and_location(fault, code, location, test_volume):
    messages, _ = split_volume(test_volume)
    assembler = Assembler()
    for m in messages[:4]:  # Volume, sweep and ray header, first ParameterData.
        assembler.add(m)
    with pytest.raises(AssemblyError) as caught:
        assembler.add(refused(messages, fault))
    sweep = {"sweep_uuid": format_uuid(messages[1].sweep_header.sweep_uuid)}
    assert caught.value.code == code
    assert caught.value.location == ({} if location is None else dict(sweep, **location))
    # The assembler stays usable: the rest of the stream completes the volume.
    for m in messages[4:]:
        assembler.add(m)
    (result,) = assembler.take_volumes()
    assert result.complete and same_bytes(result.volume, test_volume)


def test_missing_pieces_make_an_incomplete_volume(test_volume):
    messages, _ = split_volume(test_volume)
    sweep = format_uuid(derive_sweep_uuid(test_volume.uuid, 1))
    last_sweep_end = len(messages) - 2
    # Drop the second sweep's SweepEnd, the VolumeEnd, and of the sweep's last
    # ray (header, 7 moments in name order, end) the RayEnd and DBZH.
    dropped = {last_sweep_end, last_sweep_end + 1, last_sweep_end - 1, last_sweep_end - 6}
    kept = [m for i, m in enumerate(messages) if i not in dropped]
    (result,) = assemble_volumes(kept)  # finish() closes the open volume.
    assert not result.complete
    assert result.missing == [
        "sweep %s: SweepEnd" % sweep,
        "sweep %s moment 'DBZH': ray 35 has no data for it and no fill value is set; "
        "the moment is left out" % sweep,
        "sweep %s ray 35: RayEnd" % sweep,
        "volume %s: VolumeEnd (end of input)" % format_uuid(test_volume.uuid)]
    assert "DBZH" not in result.volume.sweep[1].sweep_moments
    # With a fill value the moment is kept (filled with the not_scanned code
    # of its descriptor unless told otherwise), the filled ray warned about;
    # delivered sweep by sweep, each sweep comes with its volume's header.
    for options, fill in (({"fill": 7}, 255), ({"fill_prefer_not_scanned": False, "fill": 7}, 7)):
        assembler = Assembler(delivery="sweeps", **options)
        for m in kept:
            assembler.add(m)
        assembler.finish()
        first, second = assembler.take_sweeps()
        assert (first.position, first.complete, second.position, second.complete) == \
            (0, True, 1, False)
        assert second.volume_header.volume_uuid == test_volume.uuid
        assert second.sweep.sweep_moments["DBZH"].data[-20:] == bytes([fill] * 20)
        assert any("ray 35" in w for w in second.warnings)
        assert assembler.take_volumes()[0].sweeps_delivered == 2


def test_whole_streams_are_read_in_cxx(test_volume, tmp_path):
    messages, _ = split_volume(test_volume)
    data = b"".join(encode_delimited(m) for m in messages)
    for source in (data, io.BytesIO(data)):
        (result,) = assemble_stream(source)
        assert result.complete and same_bytes(result.volume, test_volume)
    # A damaged frame: strict raises StreamError at its place; otherwise what
    # came before is assembled and the damage is a warning.
    boundary = len(b"".join(encode_delimited(m) for m in messages[:40]))
    cut = data[:boundary] + b"\x05\x0a\x05"
    with pytest.raises(StreamError) as caught:
        assemble_stream(cut)
    assert (caught.value.code, caught.value.index, caught.value.offset) == \
        ("truncated", 40, boundary)
    (result,) = assemble_stream(cut, strict=False)
    assert not result.complete and "byte offset %d" % boundary in result.warnings[-1]


def test_split_reports_what_the_stream_cannot_carry(test_volume):
    test_volume.sweep[0].task_name = "task"
    test_volume.sweep[1].ray_accumulation_time = 3
    test_volume.sweep[1].sweep_moments["DBZH"].compression = DataBuffer.UNKNOWN_COMPRESSION
    _, not_carried = split_volume(test_volume)
    assert not_carried == [
        "sweep 0: task_name", "sweep 1: ray_accumulation_time",
        "sweep 1: sweep_moments 'DBZH': compression UNKNOWN_COMPRESSION, uncompressed_size 720 "
        "(reassembly declares NONE or LZ4 and the true size)"]
    test_volume.sweep[0].sweep_moments["VRADH"].data += b"\x00\x00"
    with pytest.raises(AssemblyError, match="1442 bytes do not divide evenly into 36 rays") as caught:
        split_volume(test_volume)
    assert caught.value.code == "invalid_argument"
    assert split_volume(Volume())[0][0].WhichOneof("payload") == "volume_header"
