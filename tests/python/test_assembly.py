"""Splitting volumes into ray streams and reassembling them, in Python."""

import random

import pytest
from google.protobuf.timestamp_pb2 import Timestamp

from common_dto import DataBuffer, RayStreamMessage, Volume
from common_dto.assembly import (Assembler, AssemblyError, assemble_volumes, derive_sweep_uuid,
                                 format_uuid, parse_uuid, split_volume)


def same_bytes(a, b):
    return a.SerializeToString(deterministic=True) == b.SerializeToString(deterministic=True)


def test_uuid_text_and_derived_sweep_uuids(test_volume):
    uuid = test_volume.uuid
    assert format_uuid(uuid) == "01234567-89ab-cdef-eedd-ccbbaa998878"
    assert parse_uuid("01234567-89AB-CDEF-EEDD-CCBBAA998878") == uuid
    with pytest.raises(ValueError):
        parse_uuid("01234567-89ab-cdef-eedd-ccbbaa99887")
    derived = [format_uuid(derive_sweep_uuid(uuid, s)) for s in range(3)]
    assert len(set(derived)) == 3
    for text in derived:
        assert text[14] == "8" and text[19] in "89ab", "version 8, RFC 4122 variant: " + text
    assert derive_sweep_uuid(uuid, 1) == derive_sweep_uuid(uuid, 1)


def test_split_then_assemble_gives_the_volume_back(test_volume):
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


def test_matching_by_identifier_not_by_arrival_order(test_volume):
    messages, _ = split_volume(test_volume)
    groups = {"sweep_header": [], "sweep_end": [], "ray": []}
    for m in messages[1:-1]:
        groups.get(m.WhichOneof("payload"), groups["ray"]).append(m)
    # Both sweeps interleaved, ray-level pieces in any order. (A sweep closes
    # once its SweepEnd and every ray's RayHeader and RayEnd are in.)
    random.Random(7).shuffle(groups["ray"])
    (result,) = assemble_volumes(messages[:1] + groups["sweep_header"] + groups["ray"]
                                 + groups["sweep_end"] + messages[-1:])
    assert result.complete and same_bytes(result.volume, test_volume)


def test_faults_are_named_and_the_assembler_stays_usable(test_volume):
    messages, _ = split_volume(test_volume)
    assembler = Assembler()
    with pytest.raises(AssemblyError, match="message without payload"):
        assembler.add(RayStreamMessage())
    orphan = RayStreamMessage()
    orphan.sweep_header.sweep_uuid.least_significant_bits = 5
    orphan.sweep_header.volume_uuid.least_significant_bits = 6
    with pytest.raises(AssemblyError, match="sweep 0{8}-0{4}-0{4}-0{4}-0{11}5: SweepHeader names "
                                            "unknown volume 0{8}-0{4}-0{4}-0{4}-0{11}6"):
        assembler.add(orphan)
    stray = RayStreamMessage()
    stray.ray_end.sweep_uuid.least_significant_bits = 5
    with pytest.raises(AssemblyError, match="RayEnd for unknown sweep 0{8}-0{4}-0{4}-0{4}-0{11}5"):
        assembler.add(stray)
    for m in messages[:4]:  # Volume, sweep and ray header, first ParameterData.
        assembler.add(m)
    with pytest.raises(AssemblyError, match="ray 0: duplicate RayHeader"):
        assembler.add(messages[2])
    with pytest.raises(AssemblyError, match="ray 0 moment 'CLASS': duplicate ParameterData"):
        assembler.add(messages[3])
    flipped = RayStreamMessage()
    flipped.CopyFrom(messages[4])
    flipped.parameter_data.ray_index = 1
    flipped.parameter_data.data_type.short_name = "CLASS"
    flipped.parameter_data.data.endian = DataBuffer.LITTLE
    with pytest.raises(AssemblyError, match="ray 1 moment 'CLASS': samples are LITTLE INT64 "
                                            "but the moment's other rays are BIG INT32") as caught:
        assembler.add(flipped)
    # Programs decide by code and location, not by the text.
    assert caught.value.code == "invalid_argument"
    assert caught.value.location == {
        "sweep_uuid": format_uuid(messages[1].sweep_header.sweep_uuid),
        "ray_index": 1, "moment": "CLASS"}
    broken = RayStreamMessage()
    broken.CopyFrom(messages[4])
    broken.parameter_data.data.compression = DataBuffer.LZ4
    with pytest.raises(AssemblyError, match="ray 0 moment 'COUNT': LZ4 block: malformed") as caught:
        assembler.add(broken)
    assert (caught.value.code, caught.value.moment) == ("malformed", "COUNT")
    for m in messages[4:]:
        assembler.add(m)
    (result,) = assembler.take_volumes()
    assert result.complete and same_bytes(result.volume, test_volume)
    with pytest.raises(AssemblyError, match="RayEnd for sweep .*, which is already closed"):
        assembler.add(messages[-3])
    with pytest.raises(AssemblyError, match="VolumeEnd for a volume already closed") as caught:
        assembler.add(messages[-1])
    assert caught.value.code == "protocol"
    assert caught.value.volume_uuid == format_uuid(test_volume.uuid)


def test_missing_pieces_make_an_incomplete_volume(test_volume):
    messages, _ = split_volume(test_volume)
    sweep = format_uuid(derive_sweep_uuid(test_volume.uuid, 1))
    cases = [m.WhichOneof("payload") for m in messages]
    last_sweep_end = len(cases) - 2
    # Drop the second sweep's SweepEnd, the VolumeEnd, and of the sweep's last ray
    # (header, 7 moments in name order, end) the RayEnd and DBZH.
    dropped = {last_sweep_end, last_sweep_end + 1, last_sweep_end - 1, last_sweep_end - 6}
    assert messages[last_sweep_end - 6].parameter_data.data_type.short_name == "DBZH"
    kept = [m for i, m in enumerate(messages) if i not in dropped]
    # A RayEnd time that differs from the ray's own is kept and warned about.
    first_end = next(m for m in kept if m.WhichOneof("payload") == "ray_end")
    first_end.ray_end.end.seconds += 1
    (result,) = assemble_volumes(kept)  # finish() closes the open volume.
    assert not result.complete
    assert result.missing == [
        "sweep %s: SweepEnd" % sweep,
        "sweep %s moment 'DBZH': ray 35 has no data for it and no fill value is set; "
        "the moment is left out" % sweep,
        "sweep %s ray 35: RayEnd" % sweep,
        "volume %s: VolumeEnd (end of input)" % format_uuid(test_volume.uuid)]
    assert result.warnings == [
        "sweep %s ray 0: RayEnd time 2026-01-01T00:00:01.100Z differs from the ray's "
        "aq_end_time 2026-01-01T00:00:00.100Z; aq_end_time kept"
        % format_uuid(derive_sweep_uuid(test_volume.uuid, 0))]
    assert "DBZH" not in result.volume.sweep[1].sweep_moments
    assert len(result.volume.sweep[1].sweep_moments) == 6 and len(result.volume.sweep[1].rays) == 36


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
    with pytest.raises(ValueError, match="sweep 0 moment 'VRADH': 1442 bytes do not divide "
                                         "evenly into 36 rays"):
        split_volume(test_volume)
    assert split_volume(Volume())[0][0].WhichOneof("payload") == "volume_header"
