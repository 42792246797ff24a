"""DataBuffer contents as numpy arrays, and stored codes as physical values.

A DataBuffer declares how its bytes are to be read: ``endian`` (byte order of
multi-byte values), ``type`` (storage type) and ``compression``. Decoding
follows the same rules as the C++ stream library:

* ``compression`` NONE or UNKNOWN_COMPRESSION: the bytes are taken as they
  are. LZ4: data starting with the LZ4 frame magic number (04 22 4d 18) is
  one or more LZ4 frames (a nonzero ``uncompressed_size`` must match the
  decoded length); anything else is one raw LZ4 block whose decoded size is
  ``uncompressed_size``. Other compression numbers are an error.
* ``type``: UINT8, UINT16, INT32, INT64, FLOAT and DOUBLE map to the numpy
  types of the same width; BOOLEAN is one byte per value, 0 or 1 (any other
  byte is an error). STRING has no fixed layout and cannot be decoded into an
  array; UNKNOWN_TYPE and numbers outside the enum neither.
* ``endian``: LITTLE or BIG; UNKNOWN_ENDIANNESS is read as little-endian
  (what the C++ library writes for it) unless ``unknown_endian=None`` asks for
  an error. The returned array is always in native byte order.

The sweep buffer layout: a Sweep's ``sweep_moments`` buffer holds its rays'
samples concatenated in the order of ``Sweep.rays``, every ray with the same
number of samples, so ``decode_buffer(buf, shape=(len(sweep.rays), -1))`` gives
a [ray, gate] array.
"""

import numpy as np

from ._schema import data_buffer_pb2 as _db
from ._schema import data_descriptor_pb2 as _dd
from .model import Error

DataBuffer = _db.DataBuffer

DEFAULT_MAX_BUFFER_SIZE = 256 << 20
LZ4_FRAME_MAGIC = b"\x04\x22\x4d\x18"

_DTYPES = {
    DataBuffer.UINT8: "u1",
    DataBuffer.UINT16: "u2",
    DataBuffer.INT32: "i4",
    DataBuffer.INT64: "i8",
    DataBuffer.FLOAT: "f4",
    DataBuffer.DOUBLE: "f8",
    DataBuffer.BOOLEAN: "u1",
}
_ORDER = {DataBuffer.LITTLE: "<", DataBuffer.BIG: ">"}

__all__ = [
    "BufferDecodeError",
    "DEFAULT_MAX_BUFFER_SIZE",
    "decode_buffer",
    "encode_buffer",
    "physical_values",
    "sample_width",
    "scale_codes",
    "set_samples",
    "uncompressed_bytes",
]


class BufferDecodeError(Error):
    """A DataBuffer whose bytes cannot be decoded as it declares (code
    "malformed" unless said otherwise)."""

    def __init__(self, text, code="malformed", **location):
        super().__init__(text, code, **location)


def _type_name(number):
    try:
        return DataBuffer.StorageType.Name(number)
    except ValueError:
        return "storage type %d" % number


def _lz4_frames(data, declared, max_size):
    import lz4.frame

    out = []
    produced = 0
    rest = bytes(data)
    while rest:
        decoder = lz4.frame.LZ4FrameDecompressor()
        try:
            chunk = decoder.decompress(rest, max_length=max_size - produced + 1)
        except RuntimeError as e:
            raise BufferDecodeError("LZ4 frame: %s" % e) from None
        produced += len(chunk)
        if produced > max_size:
            raise BufferDecodeError("LZ4 frame decodes to more than the limit of %d bytes"
                                    % max_size, "too_large")
        if not decoder.eof:
            raise BufferDecodeError("LZ4 frame: truncated (the data ends inside a frame)", "truncated")
        out.append(chunk)
        rest = decoder.unused_data
    result = b"".join(out)
    if declared > 0 and len(result) != declared:
        raise BufferDecodeError("LZ4 frame decodes to %d bytes, not the declared "
                                "uncompressed_size %d" % (len(result), declared))
    return result


def _lz4_block(data, size, max_size):
    import lz4.block

    if size < 0:
        raise BufferDecodeError("LZ4 block with negative uncompressed_size %d" % size)
    if size > max_size:
        raise BufferDecodeError("LZ4 block declares %d bytes, more than the limit of %d bytes"
                                % (size, max_size), "too_large")
    if size == 0 and not data:
        return b""
    try:
        result = lz4.block.decompress(bytes(data), uncompressed_size=size)
    except Exception:  # LZ4BlockError
        raise BufferDecodeError("LZ4 block: malformed data, or more than uncompressed_size %d bytes"
                                % size) from None
    if len(result) != size:
        raise BufferDecodeError("LZ4 block decodes to %d bytes, not uncompressed_size %d"
                                % (len(result), size))
    return result


def sample_width(storage_type):
    """Bytes per sample: UINT8 1, UINT16 2, INT32 4, INT64 8, FLOAT 4, DOUBLE 8;
    0 for the types without a fixed layout (UNKNOWN_TYPE, STRING, BOOLEAN)
    and numbers outside the enum, as the C++ library counts them."""
    if storage_type == DataBuffer.BOOLEAN:
        return 0
    code = _DTYPES.get(storage_type)
    return int(code[1]) if code else 0


def uncompressed_bytes(buffer, max_size=DEFAULT_MAX_BUFFER_SIZE):
    """The buffer's samples as bytes, LZ4 decoded when it is compressed."""
    if buffer.compression in (DataBuffer.UNKNOWN_COMPRESSION, DataBuffer.NONE):
        return buffer.data
    if buffer.compression != DataBuffer.LZ4:
        raise BufferDecodeError("unknown compression %d" % buffer.compression, "unsupported")
    if buffer.data[:4] == LZ4_FRAME_MAGIC:
        return _lz4_frames(buffer.data, buffer.uncompressed_size, max_size)
    return _lz4_block(buffer.data, buffer.uncompressed_size, max_size)


def storage_dtype(buffer, unknown_endian="little"):
    """The numpy dtype of the buffer's samples as stored (byte order included)."""
    code = _DTYPES.get(buffer.type)
    if code is None:
        if buffer.type == DataBuffer.STRING:
            raise BufferDecodeError("STRING buffers have no fixed layout and cannot be decoded "
                                    "into an array; read DataBuffer.data yourself", "unsupported")
        raise BufferDecodeError("cannot decode a buffer of %s" % _type_name(buffer.type), "unsupported")
    if code.endswith("1"):
        return np.dtype(code)
    order = _ORDER.get(buffer.endian)
    if order is None:
        if buffer.endian != DataBuffer.UNKNOWN_ENDIANNESS or unknown_endian is None:
            raise BufferDecodeError("byte order %s of a %s buffer is not LITTLE or BIG" % (
                DataBuffer.Endianness.Name(buffer.endian)
                if buffer.endian in DataBuffer.Endianness.values() else buffer.endian,
                _type_name(buffer.type)), "unsupported")
        order = {"little": "<", "big": ">"}[unknown_endian]
    return np.dtype(order + code)


def decode_buffer(buffer, shape=None, unknown_endian="little", max_size=DEFAULT_MAX_BUFFER_SIZE):
    """The samples of a DataBuffer as a writable numpy array in native byte
    order (bool for BOOLEAN), flat or reshaped to `shape` (e.g. (rays, -1))."""
    dtype = storage_dtype(buffer, unknown_endian)
    data = uncompressed_bytes(buffer, max_size)
    if len(data) % dtype.itemsize:
        raise BufferDecodeError("%d bytes are not a whole number of %s samples (%d bytes each)"
                                % (len(data), _type_name(buffer.type), dtype.itemsize), "invalid_argument")
    values = np.frombuffer(data, dtype=dtype).astype(dtype.newbyteorder("="))
    if buffer.type == DataBuffer.BOOLEAN:
        bad = np.flatnonzero(values > 1)
        if bad.size:
            raise BufferDecodeError("BOOLEAN sample %d is %d, not 0 or 1"
                                    % (bad[0], values[bad[0]]))
        values = values.astype(bool)
    if shape is not None:
        try:
            values = values.reshape(shape)
        except ValueError:
            raise BufferDecodeError("%d samples do not fill the shape %s"
                                    % (values.size, shape), "invalid_argument") from None
    return values


def set_samples(buffer, data, compression=None):
    """Stores the uncompressed bytes `data` in `buffer`: sets data,
    compression (NONE for None, LZ4 for "frame" or "block") and
    uncompressed_size; leaves endian and type alone."""
    buffer.uncompressed_size = len(data)
    if compression is None:
        buffer.compression = DataBuffer.NONE
        buffer.data = data
    elif compression == "frame":
        import lz4.frame
        buffer.compression = DataBuffer.LZ4
        buffer.data = lz4.frame.compress(data, store_size=True, block_linked=False)
    elif compression == "block":
        import lz4.block
        buffer.compression = DataBuffer.LZ4
        buffer.data = lz4.block.compress(data, store_size=False)
    else:
        raise ValueError("compression must be None, 'frame' or 'block'")
    return buffer


def encode_buffer(values, endian="little", compression=None):
    """A DataBuffer holding `values` (a numpy array of one of the storage
    types; bool becomes BOOLEAN), flattened in C order. `compression` is None
    (NONE), "frame" or "block" (LZ4); uncompressed_size is always set."""
    values = np.asarray(values)
    if values.dtype == bool:
        storage, dtype = DataBuffer.BOOLEAN, np.dtype("u1")
    else:
        inverse = {np.dtype(code): number for number, code in _DTYPES.items()
                   if number != DataBuffer.BOOLEAN}
        dtype = values.dtype.newbyteorder("=")
        if dtype not in inverse:
            raise ValueError("no storage type for numpy dtype %s" % values.dtype)
        storage = inverse[dtype]
        dtype = dtype.newbyteorder({"little": "<", "big": ">"}[endian])
    buffer = DataBuffer(endian=DataBuffer.LITTLE if endian == "little" else DataBuffer.BIG,
                        type=storage)
    return set_samples(buffer, np.ascontiguousarray(values, dtype=dtype).tobytes(), compression)


def _linear(descriptor):
    scale = descriptor.scale
    DataScale = _dd.DataDescriptor.DataScale
    if scale.type == DataScale.LINEAR or (scale.type == DataScale.NONE
                                           and scale.HasField("linear_scale")):
        return scale.linear_scale
    return None


def scale_codes(codes, descriptor):
    """Applies a DataDescriptor's scale to stored values.

    With a linear scale (scale type LINEAR, or a linear_scale given with type
    NONE) the result is offset + step * code as float64, with the codes
    `under_threshold` and `not_scanned` masked. Without a scale, floating
    values pass through (NaN masked) and integer codes become float64
    unscaled. ENUM and BITFIELDS scales give back the codes unchanged (masked
    nowhere): their names are in the descriptor.
    """
    codes = np.asarray(codes)
    DataScale = _dd.DataDescriptor.DataScale
    linear = _linear(descriptor) if descriptor is not None else None
    if linear is not None:
        mask = (codes == linear.under_threshold) | (codes == linear.not_scanned)
        values = linear.offset + linear.step * codes.astype(np.float64)
        return np.ma.masked_array(values, mask=mask)
    if descriptor is not None and descriptor.scale.type in (DataScale.ENUM, DataScale.BITFIELDS):
        return np.ma.masked_array(codes, mask=np.zeros(codes.shape, bool))
    values = codes.astype(np.float64) if codes.dtype.kind != "f" else codes
    return np.ma.masked_invalid(values)


def physical_values(buffer, descriptor, shape=None, **decode_options):
    """decode_buffer() then scale_codes(): a masked array of physical values."""
    return scale_codes(decode_buffer(buffer, shape, **decode_options), descriptor)
