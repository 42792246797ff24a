"""Fixtures of the product-format tests: the common-dto tool and products
whose grids differ along x and y, on two CRSs (one given only as a PROJ
string)."""

import importlib.util
import os

import numpy as np
import pytest

NX, NY = 7, 5  # not square: a transposed grid does not fit

# name: (projection fields, west, south, pixel width, pixel height)
CRSS = {
    "laea": ({"epsg_code": "EPSG:3035"}, 4000000.0, 3000000.0, 1000.0, 2000.0),
    "stere": ({"proj4": "+proj=stere +lat_0=90 +lat_ts=60 +lon_0=10 +ellps=WGS84 +units=m +no_defs"},
              -500000.0, -4000000.0, 2000.0, 1000.0),
    # EPSG declares latitude first; the bounding box is x = longitude all the same
    "geo": ({"epsg_code": "EPSG:4326"}, 5.0, 45.0, 0.25, 0.5),
}


def grid_values(dtype):
    """Row j (from the north), column i: j * 20 + i, so rows and columns differ."""
    v = np.arange(NY)[:, None] * 20 + np.arange(NX)[None, :]
    return v.astype(dtype)


def make_product(crs="laea", dtype="u1", rasters=1):
    """An InstrumentData holding a raster product. Integer rasters have a
    linear scale (gain 0.5, offset -32), nodata 255 at the north-west pixel
    and undetect 0 next to it; float rasters no scale and NaN there."""
    import common_dto
    from common_dto.buffers import encode_buffer
    projection, west, south, dx, dy = CRSS[crs]
    data = common_dto.InstrumentData()
    product = data.product
    product.type = common_dto.PT_MAX if hasattr(common_dto, "PT_MAX") else 9
    product.input_timespan.start.seconds = 1767225600
    product.input_timespan.end.seconds = 1767225900
    product.product_generation_time.seconds = 1767226000
    for k in range(rasters):
        r = product.raster.data_set.add()
        r.x_pix, r.y_pix = NX, NY
        for key, value in projection.items():
            setattr(r.georeference.projection, key, value)
        r.georeference.bbox.south_west.x, r.georeference.bbox.south_west.y = west, south
        r.georeference.bbox.north_east.x = west + NX * dx
        r.georeference.bbox.north_east.y = south + NY * dy
        d = r.data_descriptor
        d.short_name = ["DBZH", "TH"][k % 2] if k < 2 else "Q%d" % k
        v = grid_values(dtype) + k
        if np.dtype(dtype).kind == "f":
            v[0, 0] = np.nan
        else:
            d.scale.type = d.scale.LINEAR
            d.scale.linear_scale.step = 0.5
            d.scale.linear_scale.offset = -32
            d.scale.linear_scale.not_scanned = 255
            d.scale.linear_scale.under_threshold = 0
            v[0, 0], v[0, 1] = 255, 0
        r.data.append(encode_buffer(v))
    return data


def samples(raster):
    from common_dto.buffers import decode_buffer
    import common_dto.buffers as b
    flat = np.concatenate([decode_buffer(buf) for buf in raster.data])
    return flat.reshape(raster.y_pix, raster.x_pix)


# The tool fixture of the file-format tests, one definition for both.
_formats = importlib.util.spec_from_file_location(
    "formats_conftest", os.path.join(os.path.dirname(__file__), "..", "formats", "conftest.py"))
_formats_conftest = importlib.util.module_from_spec(_formats)
_formats.loader.exec_module(_formats_conftest)
tool = _formats_conftest.tool


def write_message(path, data):
    path.write_bytes(data.SerializeToString())
    return path


def read_message(path):
    import common_dto
    data = common_dto.InstrumentData()
    data.ParseFromString(path.read_bytes())
    return data
