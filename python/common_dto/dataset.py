"""A sweep of a Volume as an xarray.Dataset, laid out as xradar and Py-ART
users expect.

* Dimensions ``azimuth`` (one row per ray, in the order of Sweep.rays, which is
  the row order of the sweep's moment buffers) and ``range``.
* Coordinates along ``azimuth``: ``azimuth`` and ``elevation`` (degrees, the
  centre of each ray's sector, azimuth within [0, 360)) and ``time`` (the
  middle of the ray's acquisition, or its start when no end is given).
  ``range`` is in metres, the values of the sweep's range scale (the
  SweepConfig's ``range_scale``, else that of the first ray's RayConfig).
  ``latitude``, ``longitude`` and ``altitude`` of the instrument are scalar
  coordinates.
* One variable per entry of ``sweep_moments``, named by its key: physical
  values (the descriptor's linear scale applied, under-threshold and
  not-scanned codes as NaN) with ``units`` and ``long_name`` from the moment's
  DataDescriptor (found in the SweepConfig, else the first ray's RayConfig).
  ENUM and BITFIELDS moments keep their integer codes, with CF
  ``flag_values``/``flag_meanings`` for ENUM names.
* ``sweep_number``, ``sweep_mode`` and ``sweep_fixed_angle`` as scalar
  variables; instrument name and task in the attributes.

A moment whose gate count does not match the range axis is left out with a
warning (several gate geometries in one sweep need one Dataset each). A sweep
without any range scale gets gate numbers as its range coordinate, also with a
warning.
"""

import warnings

import numpy as np
import xarray as xr
from xarray.backends import BackendArray
from xarray.core.indexing import (IndexingSupport, LazilyIndexedArray,
                                  explicit_indexing_adapter)

from . import _vocabulary
from . import buffers as _buffers
from . import model as _model
from ._schema import data_buffer_pb2 as _db
from ._schema import data_descriptor_pb2 as _dd
from ._schema import sweep_config_pb2 as _sc

DataBuffer = _db.DataBuffer
DataDescriptor = _dd.DataDescriptor
DataScale = DataDescriptor.DataScale
DataType = _dd.DataType
DataUnit = _dd.DataUnit
SweepConfig = _sc.SweepConfig

__all__ = ["sweep_to_dataset", "moment_units", "moment_long_name"]

# Unit spellings and sweep modes come from the project's vocabulary, the
# tables the C++ formats library writes with.
_UNIT_NAMES = _vocabulary.UNITS
_TYPE_SUFFIXES = _vocabulary.TYPE_SUFFIX_UNITS
_SWEEP_MODES = {SweepConfig.SweepType.Value(name): text for name, text in _vocabulary.SWEEP_MODES.items()}


def _enum_name(enum, number):
    try:
        return enum.Name(number)
    except ValueError:
        return None


def _split_type_name(number):
    """(quantity words, unit) of a DataType, e.g. ("REFLECTIVITY", "dBZ")."""
    name = _enum_name(DataType, number)
    if name is None or name == "CUSTOM_TYPE":
        return None, None
    for suffix, unit in _TYPE_SUFFIXES:
        if name.endswith(suffix):
            return name[: -len(suffix)], unit
    return name, None


def moment_units(descriptor):
    """The units of a moment: its data_unit (custom_data_unit for CUSTOM_UNIT),
    else the unit in its DataType's name; None when nothing says."""
    if descriptor is None:
        return None
    if descriptor.data_unit == DataUnit.Value("CUSTOM_UNIT"):
        return descriptor.custom_data_unit or None
    name = _enum_name(DataUnit, descriptor.data_unit)
    if name in _UNIT_NAMES:
        return _UNIT_NAMES[name]
    return _split_type_name(descriptor.type)[1]


def moment_long_name(descriptor, key):
    """The legend, else the description, else words of the DataType, else `key`."""
    if descriptor is not None:
        if descriptor.legend:
            return descriptor.legend
        if descriptor.description:
            return descriptor.description
        words = _split_type_name(descriptor.type)[0]
        if words:
            return words.replace("_", " ").capitalize()
    return key


def _timestamp(ts):
    return np.datetime64(ts.seconds * 1_000_000_000 + ts.nanos, "ns")


def _ray_time(ray):
    if not ray.HasField("aq_start_time"):
        return np.datetime64("NaT", "ns")
    start = _timestamp(ray.aq_start_time)
    if ray.HasField("aq_end_time"):
        return start + (_timestamp(ray.aq_end_time) - start) // 2
    return start


def _range_axis(sweep_config, ray_config):
    for config in (sweep_config, ray_config):
        if config is not None and len(config.range_scale.range_m):
            return np.concatenate([
                segment.start + segment.step * np.arange(max(segment.count, 0), dtype=np.float64)
                for segment in config.range_scale.range_m])
    return None


class _LazyMoment(BackendArray):
    """A moment's values, decoded (and scaled) when first indexed, so that
    opening a file reads no samples of the moments never used."""

    def __init__(self, buffer, descriptor, shape, scaled):
        self.buffer, self.descriptor, self.shape = buffer, descriptor, shape
        self.scaled = scaled
        self.dtype = np.dtype("f8") if scaled else _buffers.storage_dtype(buffer.type)

    def values(self):
        codes = _buffers.decode_buffer(self.buffer, shape=self.shape)
        if not self.scaled:
            return codes
        return np.ma.filled(_buffers.scale_codes(codes, self.descriptor).astype(np.float64), np.nan)

    def __getitem__(self, key):
        return explicit_indexing_adapter(key, self.shape, IndexingSupport.BASIC,
                                         lambda k: self.values()[k])


def _known_shape(buffer, rays):
    """(rays, gates) of a buffer as it declares them without decoding; None
    when its decoded size is not declared or its type has no dtype."""
    dtype = _buffers.storage_dtype(buffer.type)
    width = dtype.itemsize if dtype is not None else 0
    if buffer.compression in (DataBuffer.NONE, DataBuffer.UNKNOWN_COMPRESSION):
        size = len(buffer.data)
    else:
        size = buffer.uncompressed_size
    if not width or size <= 0 or size % (width * rays):
        return None
    return (rays, size // (width * rays))


def _moment_variable(name, buffer, descriptor, rays, lazy=False):
    shape = _known_shape(buffer, rays) if lazy else None
    codes = None if shape else _buffers.decode_buffer(buffer, shape=(rays, -1))
    attrs = {"long_name": moment_long_name(descriptor, name)}
    units = moment_units(descriptor)
    if units:
        attrs["units"] = units
    if descriptor is not None:
        if descriptor.short_name:
            attrs["short_name"] = descriptor.short_name
        type_name = _enum_name(DataType, descriptor.type)
        if type_name:
            attrs["data_type"] = type_name
    kind = descriptor.scale.type if descriptor is not None else DataScale.NONE
    if kind in (DataScale.ENUM, DataScale.BITFIELDS):
        if kind == DataScale.ENUM and len(descriptor.scale.enum_names):
            keys = sorted(descriptor.scale.enum_names)
            dtype = codes.dtype if codes is not None else _buffers.storage_dtype(buffer.type)
            attrs["flag_values"] = np.array(keys, dtype=dtype)
            attrs["flag_meanings"] = " ".join(
                descriptor.scale.enum_names[k].replace(" ", "_") for k in keys)
        if codes is None:
            return LazilyIndexedArray(_LazyMoment(buffer, descriptor, shape, False)), attrs
        return codes, attrs
    if codes is None:
        return LazilyIndexedArray(_LazyMoment(buffer, descriptor, shape, True)), attrs
    values = _buffers.scale_codes(codes, descriptor)
    return np.ma.filled(values.astype(np.float64), np.nan), attrs


def sweep_to_dataset(volume, index, lazy=False):
    """The sweep at `index` of `volume` (a Volume message) as an
    xarray.Dataset; see the module documentation for the layout. With
    `lazy`, moments whose size the buffer declares are decoded when their
    values are first used (as xarray backends load them)."""
    if not 0 <= index < len(volume.sweep):
        raise IndexError("sweep %d of a volume with %d sweeps" % (index, len(volume.sweep)))
    sweep = volume.sweep[index]
    config = volume.volume_config if volume.HasField("volume_config") else None
    rays = list(sweep.rays)
    if not rays:
        raise ValueError("sweep %d has no rays" % index)
    sweep_config = _model.sweep_config_of(config, sweep.description)
    ray_config = _model.ray_config_of(config, rays[0])

    azimuth = np.array([(r.az_range_deg.start_deg + r.az_range_deg.span_deg / 2) % 360.0
                        for r in rays])
    elevation = np.array([r.el_range_deg.start_deg + r.el_range_deg.span_deg / 2 for r in rays])
    time = np.array([_ray_time(r) for r in rays], dtype="datetime64[ns]")
    distance = _range_axis(sweep_config, ray_config)

    variables = {}
    gates = None
    for name in sorted(sweep.sweep_moments):
        descriptor = _model.moment_descriptor(config, sweep.description, rays[0], name)
        try:
            data, attrs = _moment_variable(name, sweep.sweep_moments[name], descriptor, len(rays),
                                           lazy)
        except _buffers.BufferDecodeError as e:
            warnings.warn("sweep %d moment %s left out: %s" % (index, name, e))
            continue
        expected = len(distance) if distance is not None else gates
        if expected is not None and data.shape[1] != expected:
            warnings.warn("sweep %d moment %s left out: %d gates, but the range axis has %d"
                          % (index, name, data.shape[1], expected))
            continue
        gates = data.shape[1]
        variables[name] = (("azimuth", "range"), data, attrs)

    if distance is None:
        if variables:
            warnings.warn("sweep %d has no range scale; range is the gate number" % index)
        distance = np.arange(gates or 0, dtype=np.float64)
        range_attrs = {"long_name": "range gate number", "units": "1"}
    else:
        range_attrs = {"standard_name": "projection_range_coordinate",
                       "long_name": "range from the instrument", "units": "m"}

    coords = {
        "azimuth": ("azimuth", azimuth, {"standard_name": "ray_azimuth_angle",
                                         "long_name": "azimuth angle of the ray centre",
                                         "units": "degrees"}),
        "elevation": ("azimuth", elevation, {"standard_name": "ray_elevation_angle",
                                             "long_name": "elevation angle of the ray centre",
                                             "units": "degrees"}),
        "time": ("azimuth", time, {"standard_name": "time", "long_name": "time of the ray"}),
        "range": ("range", distance, range_attrs),
    }
    instrument = volume.instrument
    if volume.HasField("instrument") and instrument.HasField("location"):
        location = instrument.location
        coords["latitude"] = ((), location.lat_lon.latitude_deg,
                              {"standard_name": "latitude", "units": "degrees_north"})
        coords["longitude"] = ((), location.lat_lon.longitude_deg,
                               {"standard_name": "longitude", "units": "degrees_east"})
        coords["altitude"] = ((), location.altitude_m, {"standard_name": "altitude", "units": "m"})

    sweep_type = sweep_config.type if sweep_config is not None else SweepConfig.UNKNOWN
    variables["sweep_number"] = ((), index)
    variables["sweep_mode"] = ((), _SWEEP_MODES.get(sweep_type, "azimuth_surveillance"))
    variables["sweep_fixed_angle"] = ((), sweep.description.fixed_angle_deg,
                                      {"long_name": "fixed angle of the sweep", "units": "degrees"})
    attrs = {"instrument_name": instrument.name}
    if sweep.task_name:
        attrs["task_name"] = sweep.task_name
    if volume.HasField("uuid"):
        attrs["volume_uuid"] = _model.format_uuid(volume.uuid)
    return xr.Dataset(variables, coords=coords, attrs=attrs)


def _crs_wkt(projection):
    """WKT of a Projection (first of epsg_code, wkt, proj4, as the formats
    library takes it), through pyproj; None when none is set or pyproj
    cannot parse it."""
    text = projection.epsg_code or projection.wkt or projection.proj4
    if not text:
        return None
    try:
        from pyproj import CRS
    except ImportError:  # pragma: no cover - pyproj is a Debian dependency
        return projection.wkt or None
    if projection.epsg_code and ":" not in text:
        text = "EPSG:" + text
    try:
        return CRS.from_user_input(text).to_wkt()
    except Exception:  # pyproj raises its own CRSError subclasses
        return None


def product_to_dataset(product, index=0):
    """Raster `index` of a Product (or of an InstrumentData holding one) as an
    xarray.Dataset: the variable named by the raster's short name, dims
    (y, x), physical values with missing pixels as NaN; `x`/`y` the pixel
    centres in the projection's units, y from north to south (the raster's
    row order); a `spatial_ref` variable with `crs_wkt` that the data
    variable names in `grid_mapping` (as rioxarray and GDAL expect)."""
    if product.DESCRIPTOR.name == "InstrumentData":
        product = product.product
    raster = product.raster.data_set[index]
    nx, ny = raster.x_pix, raster.y_pix
    codes = np.concatenate([_buffers.decode_buffer(b) for b in raster.data]) if len(raster.data) else \
        np.zeros(0)
    if codes.size != nx * ny:
        raise ValueError("raster %d holds %d samples, x_pix * y_pix is %d" % (index, codes.size, nx * ny))
    codes = codes.reshape(ny, nx)
    name = raster.data_descriptor.short_name or "raster_%d" % index
    descriptor = raster.data_descriptor
    _, attrs = _moment_variable(name, _buffers.encode_buffer(codes[:1, :1]), descriptor, 1)
    values = np.ma.filled(_buffers.scale_codes(codes, descriptor).astype(np.float64), np.nan) \
        if descriptor.scale.type not in (DataScale.ENUM, DataScale.BITFIELDS) else codes
    box = raster.georeference.bbox
    dx = (box.north_east.x - box.south_west.x) / nx
    dy = (box.north_east.y - box.south_west.y) / ny
    x = box.south_west.x + dx * (np.arange(nx) + 0.5)
    y = box.north_east.y - dy * (np.arange(ny) + 0.5)
    attrs["grid_mapping"] = "spatial_ref"
    wkt = _crs_wkt(raster.georeference.projection)
    ref_attrs = {"crs_wkt": wkt, "spatial_ref": wkt} if wkt else {}
    ref_attrs["GeoTransform"] = "%.17g %.17g 0 %.17g 0 %.17g" % (box.south_west.x, dx, box.north_east.y, -dy)
    return xr.Dataset(
        {name: (("y", "x"), values, attrs), "spatial_ref": ((), np.int32(0), ref_attrs)},
        coords={"x": ("x", x, {"axis": "X", "standard_name": "projection_x_coordinate"}),
                "y": ("y", y, {"axis": "Y", "standard_name": "projection_y_coordinate"})})
