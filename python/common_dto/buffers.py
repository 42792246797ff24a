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

Decoding and LZ4 are the C++ model library's (common_dto/model/buffers.h).

The sweep buffer layout: a Sweep's ``sweep_moments`` buffer holds its rays'
samples concatenated in the order of ``Sweep.rays``, every ray with the same
number of samples, so ``decode_buffer(buf, shape=(len(sweep.rays), -1))`` gives
a [ray, gate] array.
"""

import numpy as np

from . import _core
from ._schema import data_buffer_pb2 as _db
from ._schema import data_descriptor_pb2 as _dd
from .model import Error

DataBuffer = _db.DataBuffer

DEFAULT_MAX_BUFFER_SIZE = 256 << 20

_NUMPY_TYPES = {
    np.dtype("u1"): DataBuffer.UINT8,
    np.dtype("u2"): DataBuffer.UINT16,
    np.dtype("i4"): DataBuffer.INT32,
    np.dtype("i8"): DataBuffer.INT64,
    np.dtype("f4"): DataBuffer.FLOAT,
    np.dtype("f8"): DataBuffer.DOUBLE,
}

__all__ = [
    "BufferDecodeError",
    "DEFAULT_MAX_BUFFER_SIZE",
    "decode_buffer",
    "encode_buffer",
    "physical_values",
    "sample_width",
    "scale_codes",
    "set_samples",
    "storage_dtype",
    "uncompressed_bytes",
]


class BufferDecodeError(Error):
    """A DataBuffer whose bytes cannot be decoded as it declares (code
    "malformed" unless said otherwise)."""

    def __init__(self, text, code="malformed", **location):
        super().__init__(text, code, **location)


def sample_width(storage_type):
    """Bytes per sample: UINT8 1, UINT16 2, INT32 4, INT64 8, FLOAT 4, DOUBLE 8;
    0 for the types without a fixed layout (UNKNOWN_TYPE, STRING, BOOLEAN)
    and numbers outside the enum."""
    return _core.sample_width(storage_type)


def storage_dtype(storage_type):
    """The numpy dtype decode_buffer() gives a buffer of `storage_type`
    (native byte order; bool for BOOLEAN), or None for types without one."""
    if storage_type == DataBuffer.BOOLEAN:
        return np.dtype(bool)
    return next((d for d, t in _NUMPY_TYPES.items() if t == storage_type), None)


def uncompressed_bytes(buffer, max_size=DEFAULT_MAX_BUFFER_SIZE):
    """The buffer's samples as bytes, LZ4 decoded when it is compressed."""
    if buffer.compression in (DataBuffer.UNKNOWN_COMPRESSION, DataBuffer.NONE):
        return buffer.data
    return _core.uncompressed_bytes(buffer.data, buffer.compression, buffer.uncompressed_size,
                                    max_size)


def decode_buffer(buffer, shape=None, unknown_endian="little", max_size=DEFAULT_MAX_BUFFER_SIZE):
    """The samples of a DataBuffer as a writable numpy array in native byte
    order (bool for BOOLEAN), flat or reshaped to `shape` (e.g. (rays, -1)).
    LZ4 data is decoded straight into the array's memory."""
    if unknown_endian not in ("little", "big", None):
        raise ValueError("unknown_endian must be 'little', 'big' or None")
    values = _core.decode_samples(buffer.data, buffer.compression, buffer.uncompressed_size,
                                  buffer.endian, buffer.type, unknown_endian, max_size)
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
    buffer.data, buffer.compression, buffer.uncompressed_size = \
        _core.compress_samples(data, compression)
    return buffer


def encode_buffer(values, endian="little", compression=None):
    """A DataBuffer holding `values` (a numpy array of one of the storage
    types; bool becomes BOOLEAN), flattened in C order. `compression` is None
    (NONE), "frame" or "block" (LZ4); uncompressed_size is always set."""
    values = np.asarray(values)
    if values.dtype == bool:
        storage, dtype = DataBuffer.BOOLEAN, np.dtype("u1")
    else:
        dtype = values.dtype.newbyteorder("=")
        if dtype not in _NUMPY_TYPES:
            raise ValueError("no storage type for numpy dtype %s" % values.dtype)
        storage = _NUMPY_TYPES[dtype]
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
    `under_threshold` and `not_scanned` masked, and for integer codes also
    those outside the scale's valid range (min_value..max_value when not
    both 0; the rule of common_dto/model/codes.h). Without a scale, floating
    values pass through (NaN masked) and integer codes become float64
    unscaled. ENUM and BITFIELDS scales give back the codes unchanged (masked
    nowhere): their names are in the descriptor.
    """
    codes = np.asarray(codes)
    DataScale = _dd.DataDescriptor.DataScale
    linear = _linear(descriptor) if descriptor is not None else None
    if linear is not None:
        if codes.dtype.kind in "iu":
            mask = _core.no_value_mask(codes, linear.under_threshold, linear.not_scanned,
                                       linear.min_value, linear.max_value)
        else:
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
