"""Length-delimited streams: framing, limits and damaged input, in Python and
against the C++ reader (same messages delivered, same error text)."""

import io

import pytest

from common_dto import RayStreamMessage, Volume
from common_dto.stream import (DelimitedReader, DelimitedWriter, StreamError, encode_delimited,
                               read_messages, write_messages)


def messages():
    a = RayStreamMessage()
    a.ray_end.SetInParent()
    b = RayStreamMessage()
    b.volume_header.volume_config_uri.endpoint = "grpc://config.example:443"
    c = RayStreamMessage()
    c.parameter_data.ray_index = 300
    c.parameter_data.data.data = bytes(range(200))
    return [a, b, c]


def varint(n):
    out = bytearray()
    while n > 0x7F:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    return bytes(out + bytes([n]))


def test_framing_matches_the_delimited_convention():
    a, b, c = messages()
    assert encode_delimited(a).hex(" ") == "02 2a 00"
    out = io.BytesIO()
    assert write_messages(out, [a, b, c]) == len(out.getvalue())
    data = out.getvalue()
    assert data[:3] == b"\x02\x2a\x00"
    assert data[3:].startswith(varint(b.ByteSize()) + b.SerializeToString())
    # A 2-byte length prefix for the 200-byte payload.
    assert len(varint(c.ByteSize())) == 2
    assert list(read_messages(data)) == [a, b, c]
    assert list(read_messages(b"")) == []
    # Paths and file objects work the same; offsets count frames.
    reader = DelimitedReader(io.BytesIO(data))
    assert reader.read() == a and (reader.messages_read, reader.byte_offset) == (1, 3)
    # Any message type: a stream of Volumes.
    volumes = io.BytesIO()
    with DelimitedWriter(volumes, deterministic=True) as writer:
        writer.write(Volume())
        writer.write(Volume(sweep=[{}]))
    assert volumes.getvalue() == b"\x00\x02\x1a\x00"
    assert [len(v.sweep) for v in read_messages(volumes.getvalue(), Volume)] == [0, 1]


GOOD = b"".join(encode_delimited(m) for m in messages())
BAD_UTF8 = b"\x0a\x05\x22\x03\x12\x01\xff"  # volume_header.volume_config_uri.endpoint = ff
DAMAGE = [
    # (name, input, error text; the code and field are checked against C++)
    ("cut prefix", GOOD + b"\x80",
     "truncated: the length prefix is cut off by the end of the input"),
    ("malformed prefix", GOOD + b"\xff" * 10, "malformed length prefix"),
    ("above the limit", GOOD + varint((256 << 20) + 1) + b"\x00" * 8,
     "length 268435457 exceeds the maximum message size 268435456"),
    ("past the end", GOOD + varint(50) + b"\x2a\x00" * 5,
     "truncated: length 50 runs past the end of the input (10 bytes left)"),
    ("invalid UTF-8", GOOD + varint(len(BAD_UTF8)) + BAD_UTF8,
     "unparsable kyt.pb.stream.RayStreamMessage (length 7): "
     "invalid UTF-8 in field kyt.pb.stream.VolumeConfigUri.endpoint"),
    ("zero tag", GOOD + b"\x04\x2a\x00\x00\x05",
     "unparsable kyt.pb.stream.RayStreamMessage (length 4): "
     "malformed wire data or invalid UTF-8 in a string field"),
    ("nested groups", GOOD + varint(300) + b"\x7b" * 150 + b"\x7c" * 150,
     "unparsable kyt.pb.stream.RayStreamMessage (length 300): groups nested deeper than "
     "100 levels in field number 15 of kyt.pb.stream.RayStreamMessage"),
    ("unterminated group", GOOD + b"\x03\x7b\x7b\x7b",
     "unparsable kyt.pb.stream.RayStreamMessage (length 3): "
     "unterminated group in field number 15 of kyt.pb.stream.RayStreamMessage"),
    ("malformed data", GOOD + b"\x03\x0a\x05\x01",
     "unparsable kyt.pb.stream.RayStreamMessage (length 3): length 5 of field "
     "kyt.pb.stream.RayStreamMessage.volume_header runs past the end of its message"),
]


@pytest.mark.parametrize("name,data,error", DAMAGE, ids=[d[0] for d in DAMAGE])
def test_damaged_streams(name, data, error, tmp_path, helper):
    expected = "message 3 at byte offset %d: %s" % (len(GOOD), error)
    reader = DelimitedReader(data)
    delivered = []
    with pytest.raises(StreamError) as caught:
        for message in reader:
            delivered.append(message)
    assert str(caught.value) == expected
    assert (caught.value.index, caught.value.offset) == (3, len(GOOD))
    assert delivered == messages(), "every message before the damage is delivered"
    with pytest.raises(StreamError, match="message 3 at byte offset"):
        reader.read()  # The reader stays failed.

    # The C++ reader delivers the same messages and reports the same error.
    source, copy = tmp_path / "damaged.bin", tmp_path / "copy.bin"
    source.write_bytes(data)
    result = helper("echo", source, copy, check=False)
    assert result.returncode == 1
    # (The runtime may log its own line about the bad field first.)
    lines = result.stderr.strip().splitlines()
    assert lines[-1] == "interop_helper: " + expected
    # Both name the same code and location.
    error = caught.value
    assert lines[-2] == "code=%s index=%d offset=%d field=%s" % (
        error.code, error.message_index, error.byte_offset, error.field or "")
    assert copy.read_bytes() == GOOD


def test_limits_and_refusals(tmp_path):
    big = RayStreamMessage()
    big.parameter_data.data.data = bytes(1000)
    data = encode_delimited(big)
    with pytest.raises(StreamError, match="length 1009 exceeds the maximum message size 1000"):
        list(read_messages(data, max_message_size=1000))
    assert len(list(read_messages(data, max_message_size=1009))) == 1
    # A reader of a file holds one message at a time and closes the file at the end.
    path = tmp_path / "s.bin"
    write_messages(path, [big] * 3)
    assert sum(1 for _ in read_messages(path)) == 3
    writer = DelimitedWriter(io.BytesIO())
    writer.close()
    with pytest.raises(StreamError, match="message 0: the writer is closed"):
        writer.write(big)


def test_validation_findings_are_records(tmp_path, test_volume):
    from common_dto import validate
    from common_dto.assembly import write_split_volume
    for moment in ("CLASS", "COUNT", "FLAG"):  # Moments no descriptor describes.
        for sweep in test_volume.sweep:
            del sweep.sweep_moments[moment]
    assert validate.validate_message(test_volume) == []
    test_volume.sweep[0].rays[3].ray_config_index = 9
    (finding,) = validate.validate_message(test_volume)
    assert finding[:3] == ("unresolved_reference", "finding", "sweep[0].rays[3].ray_config_index")
    # A stream file cut inside its last frame: the damage, then the verdict.
    path = tmp_path / "cut.rays"
    write_split_volume(test_volume, path)
    path.write_bytes(path.read_bytes()[:-3])
    findings = validate.validate_stream_file(path)
    assert [f.code for f in findings] == ["unresolved_reference", "damaged", "incomplete"]
    # The last frame, the VolumeEnd: after 1 VolumeHeader and 2 sweeps of
    # SweepHeader, 36 rays of 6 messages and SweepEnd.
    assert findings[1].location.startswith("message %d at byte offset" % (1 + 2 * (2 + 36 * 6)))
