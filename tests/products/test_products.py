"""Raster products through GeoTIFF, ODIM_H5 IMAGE/COMP and CF grids with the
common-dto tool, checked by our reader (round trips) and by independent
readers: GDAL and rasterio, h5py with pyproj, netCDF4 and xarray."""

import json

import numpy as np
import pytest

from conftest import CRSS, NX, NY, grid_values, make_product, read_message, samples, write_message

FORMATS = [("geotiff", "tif"), ("odim", "h5"), ("cf", "nc")]
CASES = [("laea", "u1"), ("laea", "f4"), ("stere", "u2"), ("stere", "f8"), ("geo", "u1")]


def crs_of(projection):
    from pyproj import CRS
    return CRS.from_user_input(projection.epsg_code or projection.proj4 or projection.wkt)


def expected_bounds(crs):
    _, west, south, dx, dy = CRSS[crs]
    return west, south, west + NX * dx, south + NY * dy


def assert_bounds(raster, crs):
    box = raster.georeference.bbox
    got = (box.south_west.x, box.south_west.y, box.north_east.x, box.north_east.y)
    assert np.allclose(got, expected_bounds(crs), rtol=0, atol=1e-3)


@pytest.mark.parametrize("fmt,ext", FORMATS)
@pytest.mark.parametrize("crs,dtype", CASES)
def test_round_trip(tool, tmp_path, fmt, ext, crs, dtype):
    original = make_product(crs, dtype)
    props = original.product.raster.data_set[0].properties
    props["odim:source"], props["station count"], props["note"] = "ORG:247", "12", "a=b: c"
    src = write_message(tmp_path / "in.pb", original)
    out = tmp_path / ("out." + ext)
    tool("convert", "--to", fmt, src, out)
    tool("convert", out, tmp_path / "back.pb")
    back = read_message(tmp_path / "back.pb")
    a, b = original.product.raster.data_set[0], back.product.raster.data_set[0]
    assert (b.x_pix, b.y_pix) == (NX, NY)
    assert samples(b).dtype == samples(a).dtype
    assert samples(b).tobytes() == samples(a).tobytes()  # NaN bit patterns included
    assert b.data_descriptor.scale == a.data_descriptor.scale
    assert b.data_descriptor.short_name == a.data_descriptor.short_name
    before, after = crs_of(a.georeference.projection), crs_of(b.georeference.projection)
    if fmt == "odim":  # projdef is a PROJ string: the datum's name does not come back
        assert after.to_proj4() == before.to_proj4()
    else:
        assert after.equals(before, ignore_axis_order=True)
    assert b.georeference.projection.wkt
    p = b.georeference.projection
    if fmt == "geotiff" and crs == "stere":  # the SABLE form, from the PROJ string
        assert (p.sable_proj.projection_type, p.sable_proj.ref_lat, p.sable_proj.ref_lon,
                p.sable_proj.std_parallel_1) == (p.sable_proj.PROJ_POLSTEREO, 90, 10, 60)
    if fmt == "geotiff" and crs == "laea":
        assert p.epsg_code == "EPSG:3035"
    assert_bounds(b, crs)
    assert back.product.type == original.product.type
    assert back.product.input_timespan == original.product.input_timespan
    assert {k: b.properties[k] for k in props} == dict(props)


@pytest.mark.parametrize("crs", ["laea", "stere", "geo"])
def test_geotiff_independent_readers(tool, tmp_path, crs):
    from osgeo import gdal, osr
    import rasterio
    tool("convert", write_message(tmp_path / "in.pb", make_product(crs, "u1")), tmp_path / "o.tif")
    west, south, east, north = expected_bounds(crs)
    _, _, _, dx, dy = CRSS[crs]
    ds = gdal.Open(str(tmp_path / "o.tif"))
    assert ds.GetGeoTransform() == (west, dx, 0, north, 0, -dy)
    band = ds.GetRasterBand(1)
    expected = grid_values("u1")
    expected[0, 0], expected[0, 1] = 255, 0
    assert np.array_equal(band.ReadAsArray(), expected)
    assert (band.GetNoDataValue(), band.GetScale(), band.GetOffset()) == (255, 0.5, -32)
    assert band.GetMetadataItem("UNDETECT") == "0"
    if "epsg_code" in CRSS[crs][0]:
        assert "EPSG:" + ds.GetSpatialRef().GetAuthorityCode(None) == CRSS[crs][0]["epsg_code"]
    else:
        ref = osr.SpatialReference()
        ref.ImportFromProj4(CRSS[crs][0]["proj4"])
        assert ds.GetSpatialRef().IsSame(ref)
    assert ds.GetMetadataItem("LAYOUT", "IMAGE_STRUCTURE") == "COG"
    with rasterio.open(tmp_path / "o.tif") as r:
        assert np.array_equal(r.read(1), expected)
        assert r.bounds == pytest.approx((west, south, east, north))
        assert r.nodata == 255 and r.scales == (0.5,) and r.offsets == (-32,)
        masked = r.read(1, masked=True)
        assert masked.mask[0, 0] and not masked.mask[0, 1]


def test_geotiff_numbered_files(tool, tmp_path):
    result = tool("convert", write_message(tmp_path / "in.pb", make_product(rasters=3)), tmp_path / "o.tif")
    assert "o-1.tif .. " in result.stderr
    assert sorted(p.name for p in tmp_path.glob("o*.tif")) == ["o-1.tif", "o-2.tif", "o-3.tif"]
    tool("convert", tmp_path / "o.tif", tmp_path / "back.pb")
    rasters = read_message(tmp_path / "back.pb").product.raster.data_set
    assert [r.data_descriptor.short_name for r in rasters] == ["DBZH", "TH", "Q2"]
    assert samples(rasters[2])[3, 4] == grid_values("u1")[3, 4] + 2


@pytest.mark.parametrize("crs", ["laea", "stere", "geo"])
def test_odim_independent_reader(tool, tmp_path, crs):
    import h5py
    from pyproj import CRS, Transformer
    tool("convert", "--to", "odim", write_message(tmp_path / "in.pb", make_product(crs, "u2")), tmp_path / "o.h5")
    west, south, east, north = expected_bounds(crs)
    with h5py.File(tmp_path / "o.h5", "r") as f:
        assert f.attrs["Conventions"] == b"ODIM_H5/V2_4"
        assert f["what"].attrs["object"] == b"IMAGE"
        assert f["dataset1/what"].attrs["product"] == b"MAX"
        assert f["dataset1/what"].attrs["startdate"] == b"20260101"
        where = f["where"].attrs
        assert (where["xsize"], where["ysize"]) == (NX, NY)
        assert (where["xscale"], where["yscale"]) == (CRSS[crs][3], CRSS[crs][4])
        to_lonlat = Transformer.from_crs(CRS.from_proj4(where["projdef"].decode()), "EPSG:4326", always_xy=True)
        for corner, (x, y) in {"LL": (west, south), "UL": (west, north), "UR": (east, north),
                               "LR": (east, south)}.items():
            lon, lat = to_lonlat.transform(x, y)
            assert where[corner + "_lon"] == pytest.approx(lon, abs=1e-9)
            assert where[corner + "_lat"] == pytest.approx(lat, abs=1e-9)
        what = f["dataset1/data1/what"].attrs
        assert (what["quantity"], what["gain"], what["offset"], what["nodata"], what["undetect"]) == \
            (b"DBZH", 0.5, -32, 255, 0)
        data = f["dataset1/data1/data"][...]
        assert data.dtype == np.uint16
        assert np.array_equal(data[1:], grid_values("u2")[1:])


def test_cf_independent_readers(tool, tmp_path):
    import netCDF4
    import xarray as xr
    from pyproj import CRS
    tool("convert", "--to", "cf", write_message(tmp_path / "in.pb", make_product("stere", "u1")), tmp_path / "o.nc")
    west, south, east, north = expected_bounds("stere")
    _, _, _, dx, dy = CRSS["stere"]
    with netCDF4.Dataset(tmp_path / "o.nc") as nc:
        assert nc.Conventions == "CF-1.8"
        assert np.allclose(nc["x"][:], west + dx * (np.arange(NX) + 0.5))
        assert np.allclose(nc["y"][:], north - dy * (np.arange(NY) + 0.5))
        assert nc["x"].standard_name == "projection_x_coordinate" and nc["x"].units == "m"
        crs = nc["crs"]
        assert crs.grid_mapping_name == "polar_stereographic"
        assert (crs.straight_vertical_longitude_from_pole, crs.standard_parallel) == (10, 60)
        assert CRS.from_wkt(crs.crs_wkt).equals(CRS.from_proj4(CRSS["stere"][0]["proj4"]))
        assert CRS.from_cf(crs.__dict__).equals(CRS.from_proj4(CRSS["stere"][0]["proj4"]))
        v = nc["DBZH"]
        v.set_auto_maskandscale(False)
        assert (v.scale_factor, v.add_offset, v._FillValue, v._Undetect) == (0.5, -32, 255, 0)
        assert v.standard_name == "radar_equivalent_reflectivity_factor_h" and v.grid_mapping == "crs"
        assert np.array_equal(v[1:, :], grid_values("u1")[1:])
    ds = xr.open_dataset(tmp_path / "o.nc")
    decoded = ds["DBZH"].values
    assert np.isnan(decoded[0, 0]) and decoded[0, 1] == -32
    assert decoded[2, 3] == grid_values("u1")[2, 3] * 0.5 - 32
    assert float(ds["DBZH"].sel(x=west + 3.5 * dx, y=north - 2.5 * dy)) == decoded[2, 3]


def _odim_composite(path, quirk):
    """An ODIM COMP as national producers write it, with one `quirk`."""
    import h5py
    from pyproj import CRS, Transformer
    projdef = CRSS["stere"][0]["proj4"]
    west, south, east, north = expected_bounds("stere")
    to_lonlat = Transformer.from_crs(CRS.from_proj4(projdef), "EPSG:4326", always_xy=True)
    corners = {c: to_lonlat.transform(x, y) for c, (x, y) in
               {"LL": (west, south), "UL": (west, north), "UR": (east, north), "LR": (east, south)}.items()}
    with h5py.File(path, "w") as f:
        if quirk != "no_conventions":
            f.attrs["Conventions"] = np.bytes_("ODIM_H5/V2_2")
        f.create_group("what").attrs.update({"object": np.bytes_("COMP"), "date": np.bytes_("20260101"),
                                             "time": np.bytes_("000500"), "source": np.bytes_("ORG:247")})
        geo = {"projdef": np.bytes_(projdef), "xsize": np.int64(NX), "ysize": np.int64(NY),
               "xscale": 2000.0, "yscale": 1000.0}
        if quirk == "ll_ur_only":
            del geo["xscale"], geo["yscale"]
            names = ["LL", "UR"]
        else:
            names = ["LL", "UL", "UR", "LR"]
        for c in names:
            geo[c + "_lon"], geo[c + "_lat"] = corners[c]
        if quirk == "where_in_dataset":
            f.create_group("where").attrs.update({k: v for k, v in geo.items() if k.endswith(("_lon", "_lat"))
                                                  or k == "projdef"})
            f.create_group("dataset1/where").attrs.update({k: geo[k] for k in ("xsize", "ysize", "xscale", "yscale")})
        else:
            f.create_group("where").attrs.update(geo)
        f.create_group("dataset1/what").attrs.update({"product": np.bytes_("MAX")})
        d = f.create_group("dataset1/data1")
        if quirk == "float_nan":
            values = grid_values("f4")
            values[0, 0] = np.nan
            d.create_group("what").attrs["quantity"] = np.bytes_("DBZH")
        else:
            values = grid_values("u1")
            attrs = {"quantity": np.bytes_("DBZH"), "gain": 0.5, "offset": -32.0, "nodata": 255.0, "undetect": 0.0}
            if quirk == "gain_only":
                del attrs["nodata"], attrs["undetect"]
            d.create_group("what").attrs.update(attrs)
        d.create_dataset("data", data=values)
        if quirk == "quality_and_dataset2":  # as OPERA composites carry QIND and further datasets
            q = d.create_group("quality1")
            q.create_group("what").attrs.update({"quantity": np.bytes_("QIND"), "gain": 1 / 255, "offset": 0.0})
            q.create_dataset("data", data=values[::-1].copy())
            f.create_group("dataset2/what").attrs["product"] = np.bytes_("MAX")
            d2 = f.create_group("dataset2/data1")
            d2.create_group("what").attrs.update({"quantity": np.bytes_("TH"), "gain": 0.5, "offset": -32.0,
                                                  "nodata": 255.0, "undetect": 0.0})
            d2.create_dataset("data", data=values + 1)
    return values


@pytest.mark.parametrize("quirk", ["none", "where_in_dataset", "ll_ur_only", "float_nan", "no_conventions",
                                   "gain_only", "quality_and_dataset2"])
def test_odim_composites_as_producers_write_them(tool, tmp_path, quirk):
    values = _odim_composite(tmp_path / "comp.h5", quirk)
    result = tool("convert", tmp_path / "comp.h5", tmp_path / "back.pb")
    product = read_message(tmp_path / "back.pb").product
    raster = product.raster.data_set[0]
    assert np.array_equal(samples(raster), values, equal_nan=True)
    assert_bounds(raster, "stere")
    assert raster.properties["odim:object"] == "COMP"
    assert raster.properties["odim:source"] == "ORG:247"
    assert raster.data_descriptor.short_name == "DBZH"
    scale = raster.data_descriptor.scale
    if quirk == "float_nan":
        assert scale.type == scale.NONE
    elif quirk == "quality_and_dataset2":
        qind, th = product.raster.data_set[1], product.raster.data_set[2]
        assert (qind.data_descriptor.short_name, qind.properties["odim:quality_of"]) == ("QIND", "DBZH")
        assert np.array_equal(samples(qind), values[::-1])
        assert qind.data_descriptor.scale.linear_scale.step == 1 / 255
        assert (th.data_descriptor.short_name, th.properties["odim:dataset"]) == ("TH", "2")
        assert np.array_equal(samples(th), values + 1)
    elif quirk == "gain_only":  # no code a sample could hold is made up
        assert (scale.linear_scale.step, scale.linear_scale.not_scanned, scale.linear_scale.under_threshold) == \
            (0.5, -1, -1)
        assert "no nodata code in the file" in result.stderr
        for fmt, ext in FORMATS:  # no format gets a fill value that samples may hold
            tool("convert", "--to", fmt, tmp_path / "back.pb", tmp_path / ("again." + ext))
            tool("convert", tmp_path / ("again." + ext), tmp_path / "again.pb")
            again = read_message(tmp_path / "again.pb").product.raster.data_set[0]
            assert again.data_descriptor.scale.linear_scale.not_scanned == -1
            assert np.array_equal(samples(again), values)
    else:
        assert (scale.linear_scale.step, scale.linear_scale.offset, scale.linear_scale.not_scanned,
                scale.linear_scale.under_threshold) == (0.5, -32, 255, 0)


@pytest.mark.parametrize("damage,code", [
    ("short_buffer", "invalid_argument"),
    ("contradicting_projection", "invalid_argument"),
    ("empty_bbox", "invalid_argument"),
    ("unknown_epsg", "invalid_argument"),
])
def test_bad_products_are_refused(tool, tmp_path, damage, code):
    data = make_product("laea")
    r = data.product.raster.data_set[0]
    if damage == "short_buffer":
        r.data[0].data = r.data[0].data[:-1]
        r.data[0].uncompressed_size -= 1
    elif damage == "contradicting_projection":
        r.georeference.projection.proj4 = CRSS["stere"][0]["proj4"]
    elif damage == "empty_bbox":
        r.georeference.bbox.north_east.x = r.georeference.bbox.south_west.x
    else:
        r.georeference.projection.epsg_code = "EPSG:999999"
    for fmt, ext in FORMATS:
        out = tmp_path / ("o." + ext)
        result = tool("convert", "--to", fmt, write_message(tmp_path / "in.pb", data), out, expect=2)
        assert "(%s)" % code in result.stderr
        assert not out.exists()


@pytest.mark.parametrize("cut", [100, 1000])
def test_truncated_product_files_fail_cleanly(tool, tmp_path, cut):
    tool("convert", "--to", "odim", write_message(tmp_path / "in.pb", make_product()), tmp_path / "o.h5")
    tool("convert", "--to", "geotiff", tmp_path / "in.pb", tmp_path / "o.tif")
    for name in ("o.h5", "o.tif"):
        bad = tmp_path / ("cut-" + name)
        bad.write_bytes((tmp_path / name).read_bytes()[:cut])
        result = tool("convert", "--from", "odim" if name.endswith("h5") else "geotiff", bad,
                      tmp_path / "back.pb", expect=None)
        assert result.returncode == 2, result.stderr


def test_geojson_events(tool, tmp_path):
    import common_dto
    data = common_dto.InstrumentData()
    e = data.product.events.geo_event_list.add()
    e.ellipsoid.location.lat_lon.latitude_deg = 60.5
    e.ellipsoid.location.lat_lon.longitude_deg = 24.25
    e.ellipsoid.ellipse_major_m = 3000
    e.intensity = 2.5
    e.text_label = 'cell "A"'
    f = data.product.events.geo_event_list.add()
    f.geo_feature.type = f.geo_feature.GF_POLYGON
    for lat, lon in [(60, 24), (60, 25), (61, 25)]:
        p = f.geo_feature.object_coordinates.collection.add()
        p.latitude_deg, p.longitude_deg = lat, lon
    f.geo_feature.properties["kind"] = "warning"
    tool("convert", "--to", "geojson", write_message(tmp_path / "in.pb", data), tmp_path / "o.geojson")
    doc = json.loads((tmp_path / "o.geojson").read_text())
    first, second = doc["features"]
    assert first["geometry"] == {"type": "Point", "coordinates": [24.25, 60.5]}
    assert first["properties"]["text_label"] == 'cell "A"' and first["properties"]["intensity"] == 2.5
    assert second["geometry"]["type"] == "Polygon"
    assert second["geometry"]["coordinates"][0] == [[24, 60], [25, 60], [25, 61], [24, 60]]
    assert second["properties"] == {"kind": "warning"}


def test_geojson_measurements(tool, tmp_path):
    import common_dto
    data = common_dto.InstrumentData()
    c = data.product.vectors.results.add()
    for name, positions in (("lat", [60, 61]), ("lon", [24, 25]), ("height", [100, 200])):
        axis = c.coordinates.add()
        axis.names = name
        axis.positions.extend(positions)
    a = c.values.add()
    a.data_descriptor.short_name = "VRAD"
    for v in (1.5, 2.5):
        a.values.add().value = v
    tool("convert", write_message(tmp_path / "in.pb", data), tmp_path / "o.geojson")
    features = json.loads((tmp_path / "o.geojson").read_text())["features"]
    assert [f["geometry"]["coordinates"] for f in features] == [[24, 60], [25, 61]]
    assert [(f["properties"]["value"], f["properties"]["height"]) for f in features] == [(1.5, 100), (2.5, 200)]


@pytest.mark.parametrize("crs", ["laea", "stere"])
def test_python_dataset_agrees_with_cf_reader(tool, tmp_path, crs):
    import xarray as xr
    from pyproj import CRS
    import common_dto
    data = make_product(crs, "u1")
    tool("convert", "--to", "cf", write_message(tmp_path / "in.pb", data), tmp_path / "o.nc")
    ours = common_dto.product_to_dataset(data)
    theirs = xr.open_dataset(tmp_path / "o.nc")
    assert np.array_equal(ours["x"].values, theirs["x"].values)
    assert np.array_equal(ours["y"].values, theirs["y"].values)
    a, b = ours["DBZH"].values, theirs["DBZH"].values
    assert np.isnan(a[0, 0]) and np.isnan(b[0, 0])
    assert np.array_equal(a[1:], b[1:])
    assert ours["DBZH"].attrs["grid_mapping"] == "spatial_ref"
    assert CRS.from_wkt(ours["spatial_ref"].attrs["crs_wkt"]).equals(CRS.from_wkt(theirs["crs"].attrs["crs_wkt"]))
    ax = common_dto.plot_product(ours, output=tmp_path / "grid.png")
    assert (tmp_path / "grid.png").stat().st_size > 1000
    assert ax.get_xlim()[0] == pytest.approx(CRSS[crs][1])


def test_summary_names_the_grid(tool, tmp_path):
    result = tool("summary", write_message(tmp_path / "in.pb", make_product("laea", "u1")))
    assert "EPSG:3035, x 4000000.000 .. 4007000.000, y 3000000.000 .. 3010000.000, pixel 1000 x 2000, " \
           "values -31 .. 11" in result.stdout


@pytest.mark.parametrize("damage,finding", [
    ("none", None),
    ("bbox", "raster 0: bounding box without extent"),
    ("crs", "raster 0: projection epsg_code not understood: EPSG:999999"),
    ("pixels", "raster 0: buffers hold 35 bytes, x_pix * y_pix samples are 42"),
])
def test_check_validates_the_georeference(tool, tmp_path, damage, finding):
    data = make_product("laea", "u1")
    r = data.product.raster.data_set[0]
    if damage == "bbox":
        r.georeference.bbox.north_east.y = 0
    elif damage == "crs":
        r.georeference.projection.epsg_code = "EPSG:999999"
    elif damage == "pixels":
        r.y_pix += 1
    result = tool("check", write_message(tmp_path / "in.pb", data), expect=0 if finding is None else 1)
    if finding:
        assert finding in result.stdout + result.stderr


def _geotiff_from_producer(path, quirk):
    """A GeoTIFF as other GIS tools write them, with one `quirk`."""
    import rasterio
    from rasterio.transform import Affine
    west, south, east, north = expected_bounds("laea")
    dx, dy = CRSS["laea"][3], CRSS["laea"][4]
    values = grid_values("i2" if quirk == "int16" else "u1")
    profile = {"driver": "GTiff", "width": NX, "height": NY, "count": 1, "dtype": values.dtype, "crs": "EPSG:3035",
               "transform": Affine(dx, 0, west, 0, -dy, north)}
    stored = values
    if quirk == "south_up":  # first stored row is the southernmost
        profile["transform"] = Affine(dx, 0, west, 0, dy, south)
        stored = values[::-1]
    if quirk == "nodata":
        profile["nodata"] = 7
    with rasterio.open(path, "w", **profile) as f:
        f.write(stored, 1)
    return values


@pytest.mark.parametrize("quirk", ["plain", "south_up", "int16", "nodata"])
def test_geotiffs_as_gis_tools_write_them(tool, tmp_path, quirk):
    values = _geotiff_from_producer(tmp_path / "in.tif", quirk)
    result = tool("convert", tmp_path / "in.tif", tmp_path / "back.pb")
    raster = read_message(tmp_path / "back.pb").product.raster.data_set[0]
    assert np.array_equal(samples(raster), values)
    assert_bounds(raster, "laea")
    assert raster.georeference.projection.epsg_code == "EPSG:3035"
    scale = raster.data_descriptor.scale
    if quirk == "int16":
        assert samples(raster).dtype == np.int32 and "widened" in result.stderr
    if quirk == "nodata":
        assert (scale.type, scale.linear_scale.not_scanned, scale.linear_scale.step) == (scale.LINEAR, 7, 1)
    else:
        assert scale.type == scale.NONE


def _cf_from_producer(path, quirk):
    """A CF grid as other producers write it: y ascending, coordinates in
    km, missing_value instead of _FillValue, WKT in spatial_ref only."""
    import netCDF4
    from pyproj import CRS
    west, south, east, north = expected_bounds("laea")
    dx, dy = CRSS["laea"][3], CRSS["laea"][4]
    values = grid_values("f4")
    values[0, 0] = -999
    with netCDF4.Dataset(path, "w") as f:
        f.createDimension("y", NY)
        f.createDimension("x", NX)
        x, y = f.createVariable("x", "f8", ("x",)), f.createVariable("y", "f8", ("y",))
        xs, ys = west + dx * (np.arange(NX) + 0.5), north - dy * (np.arange(NY) + 0.5)
        x.units = y.units = "km" if quirk == "km" else "m"
        factor = 1000.0 if quirk == "km" else 1.0
        x[:] = xs / factor
        stored = values
        if quirk in ("y_ascending", "km"):
            y[:] = ys[::-1] / factor
            stored = values[::-1]
        else:
            y[:] = ys / factor
        crs = f.createVariable("crs", "i4")
        crs.setncattr("spatial_ref" if quirk == "spatial_ref" else "crs_wkt", CRS.from_epsg(3035).to_wkt())
        v = f.createVariable("rain", "f4", ("y", "x"))
        v.set_auto_maskandscale(False)
        v.grid_mapping = "crs"
        v.missing_value = np.float32(-999)
        v[:] = stored
    return values


@pytest.mark.parametrize("quirk", ["plain", "y_ascending", "km", "spatial_ref"])
def test_cf_grids_as_producers_write_them(tool, tmp_path, quirk):
    values = _cf_from_producer(tmp_path / "in.nc", quirk)
    tool("convert", tmp_path / "in.nc", tmp_path / "back.pb")
    raster = read_message(tmp_path / "back.pb").product.raster.data_set[0]
    assert np.array_equal(samples(raster), values)
    assert_bounds(raster, "laea")
    scale = raster.data_descriptor.scale
    assert (scale.type, scale.linear_scale.not_scanned) == (scale.LINEAR, -999)


@pytest.mark.parametrize("fmt,damage,code", [
    ("odim", "no_projdef", "/where/projdef: missing (malformed)"),
    ("odim", "no_corner", "/where/LL_lon: lower-left corner missing (malformed)"),
    ("odim", "bad_shape", "/dataset1/data1/data: shape disagrees with ysize x xsize (invalid_argument)"),
    ("odim", "huge_size", "/where/xsize: xsize * ysize of 2^31 or more (too_large)"),
    ("cf", "irregular_x", "x: irregular axis (unsupported)"),
    ("cf", "no_crs", "crs: grid mapping without crs_wkt or spatial_ref (unsupported)"),
])
def test_damaged_product_files(tool, tmp_path, fmt, damage, code):
    import h5py
    import netCDF4
    path = tmp_path / ("in.h5" if fmt == "odim" else "in.nc")
    tool("convert", "--to", fmt, write_message(tmp_path / "in.pb", make_product("stere")), path)
    if fmt == "odim":
        with h5py.File(path, "a") as f:
            if damage == "no_projdef":
                del f["where"].attrs["projdef"]
            elif damage == "no_corner":
                del f["where"].attrs["LL_lon"]
            elif damage == "bad_shape":
                del f["dataset1/data1/data"]
                f["dataset1/data1"].create_dataset("data", data=np.zeros((NX, NY), "u1"))
            else:
                f["where"].attrs["xsize"] = np.int64(1 << 20)
                f["where"].attrs["ysize"] = np.int64(1 << 20)
    else:
        with netCDF4.Dataset(path, "a") as f:
            if damage == "irregular_x":
                f["x"][3] = f["x"][3] + 1.0
            else:
                f["crs"].delncattr("crs_wkt")
                f["crs"].delncattr("spatial_ref")
    result = tool("convert", path, tmp_path / "back.pb", expect=2)
    assert code in result.stderr
    assert not (tmp_path / "back.pb").exists()


SABLE_STERE = "+proj=stere +lat_0=90 +lat_ts=60 +lon_0=10 +ellps=WGS84 +units=m +no_defs"


@pytest.mark.parametrize("form", ["bare_epsg", "wkt", "sable", "epsg_and_same_proj4"])
def test_projection_forms(tool, tmp_path, form):
    from pyproj import CRS
    data = make_product("stere")
    p = data.product.raster.data_set[0].georeference.projection
    p.Clear()
    expected = CRS.from_proj4(SABLE_STERE)
    if form == "bare_epsg":
        p.epsg_code = "3035"
        expected = CRS.from_epsg(3035)
    elif form == "wkt":
        p.wkt = expected.to_wkt()
    elif form == "sable":
        p.sable_proj.projection_type = p.sable_proj.PROJ_POLSTEREO
        p.sable_proj.ref_lat, p.sable_proj.ref_lon, p.sable_proj.std_parallel_1 = 90, 10, 60
    else:
        p.epsg_code = "EPSG:3035"
        p.proj4 = CRS.from_epsg(3035).to_proj4()
        expected = CRS.from_epsg(3035)
    tool("convert", write_message(tmp_path / "in.pb", data), tmp_path / "o.tif")
    tool("convert", tmp_path / "o.tif", tmp_path / "back.pb")
    back = read_message(tmp_path / "back.pb").product.raster.data_set[0].georeference.projection
    assert CRS.from_wkt(back.wkt).to_proj4() == expected.to_proj4()


def test_geojson_rain(tool, tmp_path):
    import common_dto
    data = common_dto.InstrumentData()
    s = data.product.rain.results.add()
    s.name = "Gauge 7"
    s.lat_lon.latitude_deg, s.lat_lon.longitude_deg = 47.5, 8.25
    s.properties["basin"] = "Thur"
    for hour, mm in ((0, 1.25), (1, 0.0)):
        m = s.measurements.add()
        m.input_timespan.start.seconds = 1767225600 + 3600 * hour
        m.input_timespan.end.seconds = 1767225600 + 3600 * (hour + 1)
        m.rain_mm = mm
    tool("convert", write_message(tmp_path / "in.pb", data), tmp_path / "o.geojson")
    features = json.loads((tmp_path / "o.geojson").read_text())["features"]
    assert [f["geometry"]["coordinates"] for f in features] == [[8.25, 47.5]] * 2
    assert [(f["properties"]["start"], f["properties"]["rain_mm"]) for f in features] == \
        [("2026-01-01T00:00:00Z", 1.25), ("2026-01-01T01:00:00Z", 0.0)]
    assert features[0]["properties"]["basin"] == "Thur" and features[0]["properties"]["name"] == "Gauge 7"
