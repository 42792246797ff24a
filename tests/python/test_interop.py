"""C++ and Python on the same data: each reads what the other wrote, and both
write the same bytes under deterministic serialization."""

import numpy as np
from google.protobuf.timestamp_pb2 import Timestamp

from common_dto import InstrumentData
from common_dto.assembly import assemble_volumes, load_volume, split_volume
from common_dto.buffers import decode_buffer
from common_dto.stream import read_messages, write_messages

from conftest import GATES, RAYS, START, moment_values


def envelope_bytes(volume):
    return InstrumentData(volume=volume).SerializeToString(deterministic=True)


def cxx_stream(helper, tmp_path, compression="none"):
    path = tmp_path / ("cxx-%s.bin" % compression)
    helper("stream", path, compression)
    return path


def python_stream(volume):
    messages, _ = split_volume(volume, None, Timestamp(seconds=START),
                               Timestamp(seconds=START + 120))
    return messages


def test_python_reads_every_value_the_cxx_side_wrote(helper, tmp_path):
    path = tmp_path / "volume.pb"
    helper("volume", path)
    volume = load_volume(path)  # (Its fields: the byte comparison below.)
    for s, sweep in enumerate(volume.sweep):
        expected = moment_values(s)
        assert sorted(sweep.sweep_moments) == sorted(expected)
        for name, (values, endian) in expected.items():
            decoded = decode_buffer(sweep.sweep_moments[name], shape=(RAYS, -1))
            assert decoded.shape == (RAYS, GATES) and decoded.dtype == values.dtype, name
            np.testing.assert_array_equal(decoded, values, err_msg="sweep %d %s" % (s, name))


def test_same_volume_bytes_both_ways(helper, tmp_path, test_volume):
    cxx = tmp_path / "cxx.pb"
    helper("volume", cxx)
    assert envelope_bytes(test_volume) == cxx.read_bytes(), "Python and C++ serialize alike"
    # Python writes, C++ parses and writes again: nothing changes.
    py, again = tmp_path / "py.pb", tmp_path / "again.pb"
    py.write_bytes(envelope_bytes(test_volume))
    helper("reencode", py, again)
    assert again.read_bytes() == py.read_bytes()


def test_same_stream_bytes_and_same_reassembly(helper, tmp_path, test_volume):
    # The C++ splitter and the Python one produce the very same stream.
    cxx = cxx_stream(helper, tmp_path)
    py = tmp_path / "py.bin"
    write_messages(py, python_stream(test_volume), deterministic=True)
    assert py.read_bytes() == cxx.read_bytes()

    # C++ reads the Python stream and writes the same frames back.
    echoed = tmp_path / "echoed.bin"
    helper("echo", py, echoed)
    assert echoed.read_bytes() == py.read_bytes()

    # Both assemblers make the test volume of every stream, LZ4 ones included,
    # also when the ray-level messages come shuffled.
    for compression in ("none", "frame", "block"):
        path = cxx_stream(helper, tmp_path, compression)
        (result,) = assemble_volumes(read_messages(path))
        assert result.complete and result.warnings == []
        assert envelope_bytes(result.volume) == envelope_bytes(test_volume), compression
        assert result.start.seconds == START and result.end.seconds == START + 120
        assembled = tmp_path / "assembled.pb"
        report = helper("assemble", path, assembled)
        assert report.stdout == "" and assembled.read_bytes() == envelope_bytes(test_volume)


def test_incomplete_streams_are_reported_alike(helper, tmp_path, test_volume):
    messages = python_stream(test_volume)[:-2]  # No SweepEnd, no VolumeEnd.
    path = tmp_path / "cut.bin"
    write_messages(path, messages)
    assembled = tmp_path / "cut.pb"
    report = helper("assemble", path, assembled)
    (result,) = assemble_volumes(read_messages(path))
    assert not result.complete
    assert report.stdout.splitlines() == ["missing: " + m for m in result.missing]
    assert assembled.read_bytes() == envelope_bytes(result.volume)
