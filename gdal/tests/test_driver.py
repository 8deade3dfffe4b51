"""What a GIS user relies on: GDAL's programs and libraries open binmat grids, place them, copy
them out and back exactly, and are never crashed by a hostile file."""

import json
import os
import random
import struct

import numpy as np
import pytest
from osgeo import gdal

from conftest import gdal as run

gdal.UseExceptions()


def info(path, *extra, plugins=True):
    return json.loads(run("gdalinfo", "-json", *extra, path, plugins=plugins).stdout)


def grid_bytes(values, rows=None, columns=None, order="<"):
    values = np.asarray(values, dtype="f4")
    r, c = values.shape
    rows = np.arange(r, dtype="f4") if rows is None else np.asarray(rows, dtype="f4")
    columns = np.arange(c, dtype="f4") if columns is None else np.asarray(columns, dtype="f4")
    out = np.empty((r + 1, c + 1), dtype=order + "f4")
    out[0, 0] = c
    out[0, 1:] = columns
    out[1:, 0] = rows
    out[1:, 1:] = values
    return out.tobytes()


def test_gdalinfo_describes_the_test_files(canonical):
    for name, size, uniform in (("binary1", [21, 31], True), ("binary2", [31, 31], True),
                                ("binary3", [31, 31], False)):
        d = info(canonical / name)
        assert d["driverShortName"] == "BINMAT"
        assert d["driverLongName"] == "Binary matrix grid (binmat)"
        assert d["size"] == size
        band = d["bands"][0]
        assert band["type"] == "Float32" and band["noDataValue"] == "NaN"
        assert ("geoTransform" in d) == uniform, name
    # Pixel edges halfway between coordinates; rows run down the lines, south-up.
    gt = info(canonical / "binary1")["geoTransform"]
    assert gt == pytest.approx([-2.1, 0.2, 0, -3.1, 0, 0.2], abs=1e-6)
    assert gdal.GetDriverByName("BINMAT") is not None


def test_geotiff_out_and_back_is_identical(canonical, tmp_path):
    big = tmp_path / "big"
    big.write_bytes(grid_bytes(np.arange(12).reshape(3, 4) * 1.5, order=">"))
    for source in (canonical / "binary1", canonical / "binary2", canonical / "binary3", big):
        tif, back = tmp_path / "g.tif", tmp_path / "back"
        run("gdal_translate", "-q", source, tif)
        options = ["-co", "BYTE_ORDER=MSB"] if source == big else []
        run("gdal_translate", "-q", "-of", "BINMAT", *options, tif, back)
        assert back.read_bytes() == source.read_bytes(), source.name
    assert not [p.name for p in tmp_path.iterdir() if p.name.startswith(".")]


def test_a_geotiff_from_an_ascii_grid_comes_in_with_centres_and_nan(tmp_path):
    (tmp_path / "g.asc").write_text(
        "ncols 3\nnrows 2\nxllcorner 10\nyllcorner 20\ncellsize 2\nNODATA_value -9999\n"
        "1 -9999 3\n4 5 -9999\n"
    )
    run("gdal_translate", "-q", "-of", "GTiff", tmp_path / "g.asc", tmp_path / "g.tif")
    run("gdal_translate", "-q", "-of", "BINMAT", tmp_path / "g.tif", tmp_path / "g.bm")
    floats = np.frombuffer((tmp_path / "g.bm").read_bytes(), dtype="<f4").reshape(3, 4)
    assert list(floats[0, 1:]) == [11, 13, 15]  # column centres
    assert list(floats[1:, 0]) == [23, 21]  # row centres, in the lines' order (north-up)
    values = floats[1:, 1:]
    assert np.isnan(values[0, 1]) and np.isnan(values[1, 2])
    assert values[0, 0] == 1 and values[1, 1] == 5


def test_gdalwarp_rasterio_and_other_drivers(canonical, tmp_path):
    run("gdalwarp", "-q", "-tr", "0.4", "0.4", canonical / "binary2", tmp_path / "coarse.tif")
    coarse = info(tmp_path / "coarse.tif")
    assert coarse["driverShortName"] == "GTiff" and coarse["size"][0] < 31
    os.environ["GDAL_DRIVER_PATH"] = os.environ.get("GDAL_DRIVER_PATH", "")
    import rasterio

    with rasterio.open(canonical / "binary1") as r:
        assert r.driver == "BINMAT" and r.shape == (31, 21)
        assert r.read(1)[15, 10] == 1.0
    # GeoTIFF, NetCDF and PNG stay with their own drivers.
    run("gdal_translate", "-q", "-of", "netCDF", canonical / "binary1", tmp_path / "g.nc")
    run("gdal_translate", "-q", "-of", "PNG", "-ot", "Byte", "-scale", canonical / "binary1",
        tmp_path / "g.png")
    for path, driver in ((tmp_path / "coarse.tif", "GTiff"), (tmp_path / "g.nc", "netCDF"),
                         (tmp_path / "g.png", "PNG")):
        assert info(path)["driverShortName"] == driver


def test_byte_order_north_up_and_what_is_not_ours(canonical, tmp_path):
    values = np.arange(6, dtype="f4").reshape(2, 3)
    # Whole in both orders only with care: this one is whole only big-endian.
    (tmp_path / "big").write_bytes(grid_bytes(values, rows=[0, 1], order=">"))
    assert info(tmp_path / "big")["driverShortName"] == "BINMAT"
    refused = run("gdalinfo", "-oo", "BYTE_ORDER=LSB", tmp_path / "big", check=False)
    assert refused.returncode != 0
    up = gdal.OpenEx(str(canonical / "binary1"), open_options=["NORTH_UP=YES"])
    gt = up.GetGeoTransform()
    assert gt[5] < 0 and gt[3] == pytest.approx(3.1000007, abs=1e-5)
    plain = gdal.Open(str(canonical / "binary1"))
    np.testing.assert_array_equal(up.ReadAsArray(), plain.ReadAsArray()[::-1])
    # Stray bytes, a cut, text: no driver of ours claims them.
    b1 = (canonical / "binary1").read_bytes()
    for name, data in (("stray", b1 + b"\0"), ("cut", b1[:-4]), ("text", b"21 x,y,z\n" * 8)):
        (tmp_path / name).write_bytes(data)
        opened = run("gdalinfo", tmp_path / name, check=False)
        assert "BINMAT" not in opened.stdout, name


def test_what_cannot_be_written_is_refused_and_nothing_is_left(tmp_path):
    run("gdal_create", "-of", "GTiff", "-outsize", "4", "3", "-bands", "2", "-ot", "Float32",
        tmp_path / "two.tif")
    failed = run("gdal_translate", "-of", "BINMAT", tmp_path / "two.tif", tmp_path / "two.bm",
                 check=False)
    assert failed.returncode != 0 and "gdal_translate -b N" in failed.stderr
    rotated = gdal.GetDriverByName("MEM").Create("", 4, 3, 1, gdal.GDT_Float32)
    rotated.SetGeoTransform([0, 1, 0.5, 0, 0.5, -1])
    with pytest.raises(RuntimeError, match="rotated"):
        gdal.GetDriverByName("BINMAT").CreateCopy(str(tmp_path / "rot.bm"), rotated)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["two.tif"]


def test_a_crs_and_statistics_persist_beside_the_file(canonical, tmp_path):
    path = tmp_path / "g"
    path.write_bytes((canonical / "binary1").read_bytes())
    ds = gdal.Open(str(path))
    srs = gdal.osr.SpatialReference()
    srs.ImportFromEPSG(4326)
    ds.SetSpatialRef(srs)
    ds.GetRasterBand(1).ComputeStatistics(False)
    ds = None
    assert (tmp_path / "g.aux.xml").is_file()
    again = info(path)
    assert "4326" in again["coordinateSystem"]["wkt"]
    assert again["bands"][0]["metadata"][""]["STATISTICS_MAXIMUM"] == "1"
    assert path.read_bytes() == (canonical / "binary1").read_bytes()


def test_a_virtual_raster_opens_where_the_driver_is_not(canonical, binmat_tool, tmp_path):
    for name, uniform in (("binary1", True), ("binary3", False)):
        vrt = tmp_path / f"{name}.vrt"
        run(binmat_tool, "vrt", canonical / name, "-o", vrt, "--no-sync")
        d = info(vrt, plugins=False)
        assert d["driverShortName"] == "VRT" and ("geoTransform" in d) == uniform
        run("gdal_translate", "-q", vrt, tmp_path / f"{name}.tif", plugins=False)
        through_vrt = gdal.Open(str(tmp_path / f"{name}.tif")).ReadAsArray()
        direct = gdal.Open(str(canonical / name)).ReadAsArray()
        np.testing.assert_array_equal(through_vrt, direct)


def test_hostile_files_never_crash_gdalinfo(canonical, tmp_path):
    rng = random.Random(26)
    b1 = bytearray((canonical / "binary1").read_bytes())
    for k in range(120):
        data = bytearray(b1)
        kind = k % 4
        if kind == 0:  # a count that still fits the length in one order or the other
            data[0:4] = struct.pack(rng.choice("<>") + "f", rng.choice([1.0, 3.0, 21.0, 703.0]))
        elif kind == 1:
            for _ in range(rng.randint(1, 8)):
                data[rng.randrange(len(data))] = rng.randrange(256)
        elif kind == 2:
            data = data[: rng.randrange(len(data))]
        else:
            data += bytes(rng.randrange(256) for _ in range(rng.randrange(1, 200)))
        path = tmp_path / f"m{k}"
        path.write_bytes(bytes(data))
        result = run("gdalinfo", "-stats", "-checksum", path, check=False)
        assert result.returncode in (0, 1), (k, result.returncode, result.stderr[-300:])
