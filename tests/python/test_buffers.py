"""DataBuffer decoding: storage types, byte orders, LZ4, scales."""

import struct

import lz4.block
import lz4.frame
import numpy as np
import pytest

from common_dto import DataBuffer, DataDescriptor
from common_dto.buffers import BufferDecodeError, decode_buffer, encode_buffer, physical_values

# (storage type, struct code, numpy kind, sample values) for every decodable type.
TYPES = [
    (DataBuffer.UINT8, "B", np.uint8, [0, 1, 255]),
    (DataBuffer.UINT16, "H", np.uint16, [0, 258, 65535]),
    (DataBuffer.INT32, "i", np.int32, [-2147483648, -1, 16909060]),
    (DataBuffer.INT64, "q", np.int64, [-(2**63), -1, 0x0102030405060708]),
    (DataBuffer.FLOAT, "f", np.float32, [-1.5, 0.0, 3.25e10]),
    (DataBuffer.DOUBLE, "d", np.float64, [-0.0, 1e-300, float("inf")]),
]


LZ4 = DataBuffer.LZ4


def buffer(storage, endian, data, compression=DataBuffer.NONE, size=None):
    return DataBuffer(endian=endian, type=storage, compression=compression,
                      uncompressed_size=len(data) if size is None else size, data=data)


@pytest.mark.parametrize("storage,code,kind,values", TYPES,
                         ids=[DataBuffer.StorageType.Name(t[0]) for t in TYPES])
def test_every_storage_type_in_both_byte_orders(storage, code, kind, values):
    for endian, prefix in ((DataBuffer.LITTLE, "<"), (DataBuffer.BIG, ">")):
        data = struct.pack(prefix + code * len(values), *values)
        decoded = decode_buffer(buffer(storage, endian, data))
        assert decoded.dtype == np.dtype(kind), "dtype for %s" % DataBuffer.Endianness.Name(endian)
        assert decoded.dtype.isnative and decoded.flags.writeable
        np.testing.assert_array_equal(decoded, np.array(values, dtype=kind))
        # Unknown byte order reads as little-endian.
        if endian == DataBuffer.LITTLE:
            np.testing.assert_array_equal(
                decode_buffer(buffer(storage, DataBuffer.UNKNOWN_ENDIANNESS, data)), decoded)
        # encode_buffer writes the very same bytes.
        again = encode_buffer(decoded, "little" if endian == DataBuffer.LITTLE else "big")
        assert (again.data, again.type, again.endian) == (data, storage, endian)


def test_boolean_string_and_undecodable_buffers():
    flags = decode_buffer(buffer(DataBuffer.BOOLEAN, 0, b"\x00\x01\x01"))
    assert flags.dtype == bool and flags.tolist() == [False, True, True]
    with pytest.raises(BufferDecodeError, match="BOOLEAN sample 1 is 2"):
        decode_buffer(buffer(DataBuffer.BOOLEAN, DataBuffer.LITTLE, b"\x00\x02"))
    with pytest.raises(BufferDecodeError, match="STRING buffers have no fixed layout"):
        decode_buffer(buffer(DataBuffer.STRING, DataBuffer.LITTLE, b"abc\x00"))
    for storage in (DataBuffer.UNKNOWN_TYPE, 9):
        with pytest.raises(BufferDecodeError, match="cannot decode"):
            decode_buffer(buffer(storage, DataBuffer.LITTLE, b"\x00"))
    with pytest.raises(BufferDecodeError, match="3 bytes are not a whole number of UINT16"):
        decode_buffer(buffer(DataBuffer.UINT16, DataBuffer.LITTLE, b"\x00\x01\x02"))
    with pytest.raises(BufferDecodeError, match="byte order"):
        decode_buffer(buffer(DataBuffer.INT32, DataBuffer.UNKNOWN_ENDIANNESS, bytes(4)),
                      unknown_endian=None)
    with pytest.raises(BufferDecodeError, match="unknown compression 3"):
        decode_buffer(buffer(DataBuffer.UINT8, DataBuffer.LITTLE, b"\x01", compression=3))
    # Single-byte types ignore the byte order, and a shape gives [ray, gate].
    grid = decode_buffer(buffer(DataBuffer.UINT8, 7, bytes(range(6))), shape=(2, -1))
    assert grid.tolist() == [[0, 1, 2], [3, 4, 5]]
    with pytest.raises(BufferDecodeError, match="do not fill the shape"):
        decode_buffer(buffer(DataBuffer.UINT8, DataBuffer.LITTLE, bytes(5)), shape=(2, -1))


def test_lz4_frame_and_block():
    values = np.arange(1000, dtype=">u2")
    raw = values.tobytes()
    frame = lz4.frame.compress(raw)
    block = lz4.block.compress(raw, store_size=False)
    for data, size in ((frame, len(raw)), (frame, 0), (block, len(raw))):
        decoded = decode_buffer(buffer(DataBuffer.UINT16, DataBuffer.BIG, data, LZ4, size))
        np.testing.assert_array_equal(decoded, np.arange(1000))
    # encode_buffer's LZ4 output decodes back.
    for kind in ("frame", "block"):
        packed = encode_buffer(values, "big", compression=kind)
        assert packed.compression == DataBuffer.LZ4 and packed.uncompressed_size == len(raw)
        np.testing.assert_array_equal(decode_buffer(packed), np.arange(1000))


RAW = bytes(range(256)) * 8
FRAME = lz4.frame.compress(RAW)
BLOCK = lz4.block.compress(RAW, store_size=False)
# (LZ4 data, uncompressed_size, limit, error code) of buffers that do not decode.
DAMAGED_LZ4 = [
    (FRAME[:-7], len(RAW), None, "truncated"),
    (FRAME[:4] + b"\xff" * 8 + FRAME[12:], len(RAW), None, "malformed"),
    (FRAME, len(RAW) + 1, None, "malformed"),
    (BLOCK[:-5], len(RAW), None, "malformed"),
    (BLOCK, len(RAW) - 1, None, "malformed"),
    (BLOCK, len(RAW) + 1, None, "malformed"),
    (BLOCK, -1, None, "malformed"),
    (b"not lz4 at all", 100, None, "malformed"),
    (FRAME, 0, 1000, "too_large"),
]


@pytest.mark.parametrize("data,size,limit,code", DAMAGED_LZ4)
def test_damaged_lz4_is_an_error_with_its_code(data, size, limit, code):
    damaged = buffer(DataBuffer.UINT8, DataBuffer.LITTLE, data, DataBuffer.LZ4, size)
    with pytest.raises(BufferDecodeError) as caught:
        decode_buffer(damaged, **({"max_size": limit} if limit else {}))
    assert caught.value.code == code and str(caught.value).startswith("LZ4 ")


def test_linear_scale_masks_reserved_codes():
    descriptor = DataDescriptor()
    descriptor.scale.type = DataDescriptor.DataScale.LINEAR
    linear = descriptor.scale.linear_scale
    linear.offset, linear.step, linear.under_threshold, linear.not_scanned = -32, 0.5, 0, 255
    codes = bytes([0, 1, 64, 254, 255])
    values = physical_values(buffer(DataBuffer.UINT8, DataBuffer.LITTLE, codes), descriptor)
    assert values.dtype == np.float64
    assert values.mask.tolist() == [True, False, False, False, True]
    assert values.compressed().tolist() == [-31.5, 0.0, 95.0]
    # A linear_scale with scale type NONE still applies; ENUM keeps the codes.
    descriptor.scale.type = DataDescriptor.DataScale.NONE
    assert physical_values(buffer(DataBuffer.UINT8, 0, b"\x02"), descriptor)[0] == -31.0
    descriptor.scale.type = DataDescriptor.DataScale.ENUM
    assert physical_values(buffer(DataBuffer.UINT8, 0, b"\x02"), descriptor).tolist() == [2]
    # No scale: floats pass through with NaN masked.
    floats = struct.pack("<3f", 1.5, float("nan"), -2)
    values = physical_values(buffer(DataBuffer.FLOAT, DataBuffer.LITTLE, floats), None)
    assert values.mask.tolist() == [False, True, False] and values[2] == -2
