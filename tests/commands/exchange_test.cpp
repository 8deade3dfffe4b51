// binmat convert and cut as a user runs them, with NetCDF files made and read by netCDF's own
// tools; the .npy header parser and the slice rules on their own.
#include "slices.h"
#include "support/bytes.h"
#include "support/process.h"
#include "support/sanitizers.h"

#include <binmat/binmat.h>

#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using process::Outcome;

constexpr float inf = std::numeric_limits<float>::infinity();

std::string words(std::initializer_list<std::string> parts) {
    std::string line;
    for (const std::string &p : parts) {
        line.append(line.empty() ? "" : " ").append(p);
    }
    return line;
}

std::string contents(const fs::path &p) {
    const std::vector<unsigned char> b = bytes::of_file(p.string());
    return {b.begin(), b.end()};
}

class exchange : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir = process::fresh_directory();
        ASSERT_FALSE(dir.empty());
        ASSERT_EQ(process::shell(dir, "'" BF_TEST_EXE "'").status, 0);
        binmat::grid odd;
        odd.row_coordinates = {-0.0F, 1e-45F, 3.5F};
        odd.column_coordinates = {std::bit_cast<float>(0x7FC00001U), 2, -inf};
        odd.values = {std::bit_cast<float>(0x7FA00000U),       inf,   -inf,
                      std::bit_cast<float>(0xFFC00000U),       -0.0F, 3.4e38F,
                      std::numeric_limits<float>::quiet_NaN(), 1,     -1};
        binmat::write_file(dir / "odd", odd);
        binmat::write_file(dir / "one_row", binmat::grid{{7}, {1, 2, 3}, {4, 5, 6}});
        binmat::write_file(dir / "one_column", binmat::grid{{1, 2, 3}, {7}, {4, 5, 6}});
    }
    static void TearDownTestSuite() { fs::remove_all(dir); }

    static Outcome run(const std::string &args) {
        return process::shell(dir, "'" BINMAT_EXE "' " + args);
    }
    static Outcome shell(const std::string &line) { return process::shell(dir, line); }
    static bool exists(const std::string &name) { return fs::exists(dir / name); }
    static void write(const std::string &name, const std::string &text) {
        std::ofstream(dir / name, std::ios::binary) << text;
    }
    // Makes NAME.nc from CDL text with ncgen.
    static void ncgen(const std::string &name, const std::string &cdl) {
        write(name + ".cdl", cdl);
        ASSERT_EQ(shell("ncgen -4 -o " + name + ".nc " + name + ".cdl").status, 0) << cdl;
    }

    static fs::path dir;
};

fs::path exchange::dir;

TEST_F(exchange, every_format_gives_back_the_identical_file) {
    for (const std::string file :
         {"binary1", "binary2", "binary3", "odd", "one_row", "one_column"}) {
        for (const std::string ext : {"nc", "npy", "csv"}) {
            const std::string titles =
                ext == "npy" ? words({"--x", file + ".x.npy", "--y", file + ".y.npy"}) : "";
            const std::string other = std::string(file).append(".").append(ext);
            const Outcome out =
                run(words({"convert", file, other, titles, ext == "csv" ? "--exact" : ""}));
            ASSERT_EQ(out.status, 0) << file << " " << ext << ": " << out.err;
            const Outcome back =
                run(words({"convert", other, file + ".back", "--to binmat", titles}));
            ASSERT_EQ(back.status, 0) << file << " " << ext << ": " << back.err;
            EXPECT_EQ(contents(dir / (file + ".back")), contents(dir / file)) << file << " " << ext;
        }
    }
    // Big-endian on both sides, and through standard input and output.
    ASSERT_EQ(run("convert binary3 - --to netcdf | '" BINMAT_EXE
                  "' convert - - --from netcdf --to binmat --byte-order big > big")
                  .status,
              0);
    EXPECT_EQ(
        run("convert big - --to csv --byte-order big | '" BINMAT_EXE "' convert - again --from csv")
            .status,
        0);
    EXPECT_EQ(contents(dir / "again"), contents(dir / "binary3"));
    // A big-endian file mapped and turned round a block at a time.
    ASSERT_EQ(run("convert big big.nc --byte-order big").status, 0);
    ASSERT_EQ(run("convert big.nc from_big --to binmat").status, 0);
    EXPECT_EQ(contents(dir / "from_big"), contents(dir / "binary3"));
}

TEST_F(exchange, files_that_do_not_read_or_do_not_agree_leave_nothing_behind) {
    const std::vector<unsigned char> whole = bytes::of_file((dir / "binary1").string());
    std::ofstream(dir / "short", std::ios::binary)
        .write(reinterpret_cast<const char *>(whole.data()), 2000);
    write("three.npy", std::string("\x93NUMPY\x01\x00\x76\x00", 10) +
                           "{'descr': '<f4', 'fortran_order': False, 'shape': (3,), }" +
                           std::string(60, ' ') + "\n" + std::string(12, '\0'));
    const struct {
        const char *args;
        const char *message;
    } cases[] = {
        {"convert short short.nc",
         "short: not a binary matrix file: a row cut short at byte offset 1936"},
        {"convert short short.csv",
         "short: not a binary matrix file: a row cut short at byte offset 1936"},
        {"convert binary1.npy out --x three.npy --to binmat", "three.npy: 3 titles for 31 rows"},
        {"convert binary1.npy out --y three.npy --to binmat", "three.npy: 3 titles for 21 columns"},
        {"cut short -o out --rows 1:3",
         "short: not a binary matrix file: a row cut short at byte offset 1936"},
    };
    ASSERT_EQ(run("convert binary1 binary1.npy").status, 0);
    for (const auto &c : cases) {
        const Outcome out = run(c.args);
        EXPECT_EQ(out.status, 1) << c.args;
        EXPECT_NE(out.err.find(c.message), std::string::npos) << c.args << ": " << out.err;
        EXPECT_FALSE(exists("short.nc") || exists("short.csv") || exists("out")) << c.args;
    }
    // Titles that are not the indices, lost on the way to .npy without --x and --y, are missed.
    EXPECT_EQ(run("convert binary1 binary1.npy").err,
              "binmat: warning: binary1.npy: the grid's titles are not kept: --x FILE.npy keeps "
              "them\nbinmat: warning: binary1.npy: the grid's titles are not kept: --y FILE.npy "
              "keeps them\n");
}

TEST_F(exchange, formats_are_named_by_option_for_streams_and_unusual_names) {
    const std::string tool = "'" BINMAT_EXE "' ";
    const struct {
        const char *out;
        const char *in;
    } pipes[] = {
        {"convert binary2 - --to csv", "convert - piped --from csv"},
        {"convert binary2 - --to netcdf", "convert - piped --from netcdf"},
        {"convert binary2 grid.txt --to csv && cat grid.txt", "convert - piped --from csv"},
        {"convert binary2 grid.data --to netcdf && cat grid.data", "convert - piped --from netcdf"},
    };
    for (const auto &p : pipes) {
        fs::remove(dir / "piped");
        const Outcome out = shell(words({tool + p.out, "|", tool + p.in}));
        EXPECT_EQ(out.status, 0) << p.out << ": " << out.err;
        EXPECT_EQ(contents(dir / "piped"), contents(dir / "binary2")) << p.out;
    }
    // .npy holds the values alone: they come back, with the indices as titles.
    ASSERT_EQ(shell(tool + "convert binary2 - --to npy 2>/dev/null | " + tool +
                    "convert - piped --from npy --to binmat")
                  .status,
              0);
    EXPECT_EQ(binmat::read_file(dir / "piped").values, binmat::read_file(dir / "binary2").values);
    // NetCDF classic holds big-endian values, read through the library from a file or a stream.
    ncgen("classic", R"(netcdf classic {
dimensions: x = 2 ; y = 2 ;
variables: float z(x, y) ; int64 w(x, y) ; float x(x) ;
data: z = 1.5, 2, 3, 4 ; x = 10, 20 ; w = 16777217, 1, 2, 3 ;
})");
    ASSERT_EQ(shell("ncgen -k nc5 -o classic5.nc classic.cdl").status, 0);
    EXPECT_EQ(shell(tool + "convert - - --from netcdf --to binmat --variable z < classic5.nc | " +
                    tool + "dump -")
                  .out,
              "2 0 1\n10 1.5 2\n20 3 4\n");
    const Outcome w = shell(tool + "convert classic.nc - --variable w --to csv");
    EXPECT_EQ(w.out, "x,y,z\n10,0,16777216\n10,1,1\n20,0,2\n20,1,3\n");
    EXPECT_EQ(w.err, "binmat: warning: classic.nc: 'w': 1 of 4 values changed when rounded from "
                     "int64 to single precision\n");
}

TEST_F(exchange, netcdf_output_follows_cf_for_ncdump_and_gdal) {
    ASSERT_EQ(run("convert binary1 cf.nc --units K --x-units degrees_north --y-units "
                  "degrees_east --standard-name air_temperature")
                  .status,
              0);
    const Outcome header = shell("ncdump -h cf.nc");
    ASSERT_EQ(header.status, 0);
    for (const char *line :
         {"x = 31 ;", "y = 21 ;", "float z(x, y) ;", "z:_FillValue = NaNf ;", "z:units = \"K\" ;",
          "z:standard_name = \"air_temperature\" ;", "x:standard_name = \"latitude\" ;",
          "y:units = \"degrees_east\" ;", ":Conventions = \"CF-1.8\" ;"}) {
        EXPECT_NE(header.out.find(line), std::string::npos) << line << "\n" << header.out;
    }
    EXPECT_NE(shell("ncdump -v y cf.nc").out.find("y = -2, -1.8, -1.6,"), std::string::npos);
    const Outcome gdal = shell("gdalinfo cf.nc");
    EXPECT_EQ(gdal.status, 0) << gdal.err;
    EXPECT_NE(gdal.out.find("Size is 21, 31"), std::string::npos) << gdal.out;
}

TEST_F(exchange, netcdf_input_is_unpacked_filled_and_rounded_with_a_warning) {
    ncgen("packed", R"(netcdf packed {
dimensions: lat = 3 ; lon = 2 ;
variables:
  double lat(lat) ;
  int lon(lon) ;
  short t(lat, lon) ; t:scale_factor = 0.5 ; t:add_offset = 10. ; t:_FillValue = -999s ;
data:
  lat = 10, 20.1, 30 ; lon = 1, 2 ;
  t = 1, 2, -999, 4, 5, 6 ;
})");
    const Outcome out = run("convert packed.nc - --to binmat | '" BINMAT_EXE "' dump -");
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(out.out, "2 1 2\n10 10.5 11\n20.1 nan 12\n30 12.5 13\n");
    EXPECT_EQ(out.err, "binmat: warning: packed.nc: 'lat': 1 of 3 values changed when rounded "
                       "from double to single precision\n");
    // Without coordinate variables the titles are the indices; a float fill is NaN too.
    ncgen("bare", R"(netcdf bare {
dimensions: a = 2 ; b = 2 ;
variables: float v(a, b) ; v:missing_value = -1.f ;
data: v = 1, -1, 3, 4 ;
})");
    EXPECT_EQ(run("convert bare.nc - --to binmat | '" BINMAT_EXE "' dump -").out,
              "2 0 1\n0 1 nan\n1 3 4\n");
    // Compressed in chunks, big-endian, with a fill value other than NaN: read through the library.
    ncgen("chunked", R"(netcdf chunked {
dimensions: x = 2 ; y = 3 ;
variables: float z(x, y) ; z:_ChunkSizes = 1, 2 ; z:_DeflateLevel = 1 ; z:_Endianness = "big" ;
  z:_FillValue = -1.f ;
data: z = 1, 2, 3, -1, 5, 6 ;
})");
    EXPECT_EQ(run("convert chunked.nc - --to binmat | '" BINMAT_EXE "' dump -").out,
              "3 0 1 2\n0 1 2 3\n1 nan 5 6\n");
}

TEST_F(exchange, netcdf_files_that_are_not_a_grid_are_refused_with_a_reason) {
    ncgen("shapes", R"(netcdf shapes {
dimensions: x = 2 ; y = 3 ; t = 2 ;
variables: float a(x, y) ; float b(x, y) ; float c(t, x, y) ; char name(y) ;
})");
    ncgen("text_titles", R"(netcdf text_titles {
dimensions: x = 2 ; y = 3 ;
variables: float z(x, y) ; string x(x) ;
})");
    ncgen("tall", R"(netcdf tall {
dimensions: x = 2147483648 ; y = 1 ;
variables: float z(x, y) ; z:_ChunkSizes = 1048576, 1 ;
})");
    ncgen("wide", R"(netcdf wide {
dimensions: x = 1 ; y = 536870912 ;
variables: float z(x, y) ; z:_ChunkSizes = 1, 1048576 ;
})");
    write("junk.nc", "not a NetCDF file\n");
    const struct {
        const char *args;
        const char *message;
    } cases[] = {
        {"shapes.nc", "shapes.nc: several 2-D variables (a, b): choose one with --variable"},
        {"shapes.nc --variable c", "shapes.nc: 'c(t, x, y)' has 3 dimensions of more than one "
                                   "value (t has 2, x has 2, y has 3); pick one slice with "
                                   "--index DIM=I for all but two"},
        {"shapes.nc --variable c --index t=2", "--index t=2: 't' has 2 values (0 to 1)"},
        {"shapes.nc --variable c --index s=0", "'c(t, x, y)' has no dimension 's' for --index"},
        {"shapes.nc --variable c --index t=0 --index x=1", "keeps 1 dimension after --index"},
        {"shapes.nc --variable name", "'name(y)' has 1 dimension; a grid has two"},
        {"shapes.nc --variable d", "shapes.nc: no variable 'd'; the 2-D ones: a, b"},
        {"text_titles.nc", "the coordinate variable 'x' holds text (string), not numbers"},
        {"tall.nc", "'z' (2147483648 by 1) has too many rows for the format (under 2^31)"},
        {"wide.nc", "'z' (1 by 536870912) has too many columns for the format"},
        {"junk.nc", "junk.nc: not a NetCDF file: NetCDF: Unknown file format"},
    };
    for (const auto &c : cases) {
        const Outcome out = run(std::string("convert ") + c.args + " refused");
        EXPECT_EQ(out.status, 1) << c.args;
        EXPECT_NE(out.err.find(c.message), std::string::npos) << c.args << ": " << out.err;
        EXPECT_FALSE(exists("refused")) << c.args;
    }
}

TEST_F(exchange, netcdf_as_other_tools_write_it_comes_in_and_is_diagnosed) {
    // Classic files hold unsigned values in signed types, flagged by _Unsigned; a reanalysis
    // field has a time of one value; a 4-D field is read a slice at a time.
    write("real.cdl", R"(netcdf real {
dimensions: time = 1 ; level = 3 ; lat = 2 ; lon = 3 ;
variables:
  double time(time) ; float lat(lat) ; float lon(lon) ; float level(level) ;
  byte b(lat, lon) ; b:_Unsigned = "true" ; b:_FillValue = -1b ;
  short s(lat, lon) ; s:_Unsigned = "true" ; s:scale_factor = 0.5 ;
  float t2m(time, lat, lon) ;
  float ta(time, level, lat, lon) ;
data:
  time = 0 ; lat = 10, 20 ; lon = 1, 2, 3 ; level = 1000, 850, 500 ;
  b = 0, 127, -128, -2, -1, 5 ;
  s = 0, 1, -1, -32768, 32767, 2 ;
  t2m = 1, 2, 3, 4, 5, 6 ;
  ta = 1, 2, 3, 4, 5, 6, 11, 12, 13, 14, 15, 16, 21, 22, 23, 24, 25, 26 ;
})");
    ASSERT_EQ(shell("ncgen -k nc3 -o real.nc real.cdl").status, 0);
    const std::string dump = " - --to binmat | '" BINMAT_EXE "' dump -";
    const struct {
        const char *choice;
        const char *grid;
    } reads[] = {
        {"--variable b", "3 1 2 3\n10 0 127 128\n20 254 nan 5\n"},
        {"--variable s", "3 1 2 3\n10 0 0.5 32767.5\n20 16384 16383.5 1\n"},
        {"--variable t2m", "3 1 2 3\n10 1 2 3\n20 4 5 6\n"},
        {"--variable ta --index level=2", "3 1 2 3\n10 21 22 23\n20 24 25 26\n"},
    };
    for (const auto &r : reads) {
        const Outcome out = run(std::string("convert real.nc ") + r.choice + dump);
        EXPECT_EQ(out.out, r.grid) << r.choice << ": " << out.err;
    }
    // Groups, their variables found by path and listed; 2-D coordinates dropped with a word.
    ncgen("groups", R"(netcdf groups {
dimensions: y = 2 ; x = 3 ;
variables: float x(x) ; float y(y) ;
data: x = 5, 6, 7 ; y = 1, 2 ;
group: forecast {
  variables: float t(y, x) ;
  data: t = 1, 2, 3, 4, 5, 6 ;
  group: swath {
    dimensions: k = 2 ;
    variables: float u(k, x) ; u:coordinates = "lat lon" ; float lat(k, x) ; float lon(k, x) ;
    data: u = 1, 1, 1, 2, 2, 2 ; lat = 1, 2, 3, 4, 5, 6 ; lon = 1, 2, 3, 4, 5, 6 ;
  }
}
})");
    EXPECT_NE(run("convert groups.nc out")
                  .err.find("several 2-D variables (/forecast/t, /forecast/swath/u)"),
              std::string::npos);
    EXPECT_EQ(run("convert groups.nc --variable /forecast/t" + dump).out,
              "3 5 6 7\n1 1 2 3\n2 4 5 6\n");
    const Outcome swath = run("convert groups.nc --variable /forecast/swath/u" + dump);
    EXPECT_EQ(swath.out, "3 5 6 7\n0 1 1 1\n1 2 2 2\n");
    EXPECT_NE(swath.err.find("'/forecast/swath/u' lies on a curvilinear grid: its 2-D "
                             "coordinates (lat, lon) cannot be kept"),
              std::string::npos)
        << swath.err;
    EXPECT_NE(run("convert groups.nc out --variable /nowhere/t").err.find("no variable "),
              std::string::npos);
    // info and check say what a NetCDF file is and how to convert it, not what its bytes lack.
    const Outcome info = run("info real.nc");
    EXPECT_EQ(info.status, 1);
    EXPECT_EQ(info.out, "real.nc: a NetCDF classic file, not a binary matrix file\n"
                        "  4 of 8 variables make a grid:\n"
                        "    b(lat=2, lon=3) unsigned byte\n"
                        "    s(lat=2, lon=3) unsigned short\n"
                        "    t2m(time=1, lat=2, lon=3) float\n"
                        "    ta(time=1, level=3, lat=2, lon=3) float, with --index level=0\n"
                        "  convert with: binmat convert real.nc real.bm --variable b\n");
    const Outcome check = run("check groups.nc");
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.out.substr(0, check.out.find('\n')),
              "groups.nc: invalid: a NetCDF-4 file, not a binary matrix file");
    EXPECT_NE(check.out.find("convert with: binmat convert groups.nc groups.bm --variable "
                             "/forecast/t\n"),
              std::string::npos)
        << check.out;
    const Outcome json = run("check --json groups.nc");
    EXPECT_NE(json.out.find(R"("netcdf":{"command":"binmat convert groups.nc groups.bm)"),
              std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find(R"({"grid":true,"index":"","name":"/forecast/t","shape":"y=2, x=3")"),
              std::string::npos)
        << json.out;
    write("cut_short.nc", std::string("CDF\x01\0\0\0\0", 8));
    EXPECT_NE(run("check cut_short.nc")
                  .out.find("NetCDF by its signature, but the NetCDF "
                            "library refuses it: "),
              std::string::npos);
}

TEST_F(exchange, netcdf_out_places_the_grid_for_cf_and_gis_readers) {
    ASSERT_EQ(run("convert binary1 placed.nc --name t2m --deflate 5 --crs EPSG:32633 "
                  "--x-units m --y-units m")
                  .status,
              0);
    const std::string header = shell("ncdump -hs placed.nc").out;
    for (const char *line :
         {"float t2m(x, y)", "x:axis = \"Y\"", "y:axis = \"X\"", "t2m:grid_mapping = \"crs\"",
          "t2m:_DeflateLevel = 5", "t2m:_Shuffle = \"true\"",
          "crs:crs_wkt = \"PROJCS[\\\"WGS 84 / UTM zone 33N"}) {
        EXPECT_NE(header.find(line), std::string::npos) << line << "\n" << header;
    }
    EXPECT_NE(shell("gdalinfo placed.nc").out.find("WGS 84 / UTM zone 33N"), std::string::npos);
    EXPECT_EQ(shell("/usr/bin/python3 -c \"import xarray; d = xarray.open_dataset('placed.nc'); "
                    "print(d.t2m.dims, d.x.axis, d.y.axis, d.t2m.encoding['zlib'])\"")
                  .out,
              "('x', 'y') Y X True\n");
    ASSERT_EQ(run("convert placed.nc placed.back").status, 0);
    EXPECT_EQ(contents(dir / "placed.back"), contents(dir / "binary1"));
    // Titles CF forbids for a coordinate variable are kept, with a word.
    write("repeat.csv", "x,y,z\n1,0,1\n1,nan,2\n");
    ASSERT_EQ(run("convert repeat.csv repeat").status, 0);
    EXPECT_EQ(run("convert repeat repeat.nc").err,
              "binmat: warning: repeat.nc: the column titles (y) repeat, hold NaN or are out of "
              "order: kept as they are, but CF readers may refuse or misplace them\n");
    for (const char *args : {"--crs nonsense", "--crs +proj=nothing", "--name x", "--deflate 10"}) {
        EXPECT_EQ(run(std::string("convert binary1 refused.nc ") + args).status, 2) << args;
    }
    EXPECT_EQ(run("convert binary1 refused.csv --deflate 3").status, 2);
    // A definition PROJ does not know is named, a long one by its start only.
    EXPECT_NE(run("convert binary1 refused.nc --crs nonsense")
                  .err.find("--crs nonsense: PROJ does not know it"),
              std::string::npos);
    EXPECT_LT(run("convert binary1 refused.nc --crs GEOGCRS" + std::string(5000, 'Q')).err.size(),
              300U);
    EXPECT_FALSE(exists("refused.nc"));
}

TEST_F(exchange, csv_is_rebuilt_in_any_line_order_and_names_the_faulty_line) {
    write("shuffled.csv", "x,y,z\n2,20,5\n1,10,1\n1,30,3\n2,10,4\n1,20,2\n2,30,6\n");
    EXPECT_EQ(run("convert shuffled.csv - --to binmat | '" BINMAT_EXE "' dump -").out,
              "3 10 20 30\n1 1 2 3\n2 4 5 6\n");
    write("gap.csv", "\xEF\xBB\xBFx,y,z\r\n0,0,1\r\n0,1,2\r\n1,1,4\r\n");
    EXPECT_EQ(run("convert gap.csv - --to binmat --fill nan | '" BINMAT_EXE "' dump -").out,
              "2 0 1\n0 1 2\n1 nan 4\n");
    const struct {
        const char *text;
        const char *message;
    } cases[] = {
        {"x,y,z\n0,0,1\n0,1,2\n1,1,4\n",
         "no line gives the cell x=1, y=0 (1 cell missing; --fill nan makes them NaN)"},
        {"x,y,z\n0,0,1\n0,1,2\n\n0,0,3\n",
         "line 5: the cell x=0, y=0 was given already, on line 2"},
        {"0,0,1\n0,1,2\n", "line 1: the first line must be a header of three names, such as "
                           "x,y,z (--columns picks three from a wider file)"},
        {"a,b,c,d\n0,0,1,2\n", "line 1: the first line must be a header of three names, such as "
                               "x,y,z (--columns picks three from a wider file)"},
        {"a,b,c\n0,0,1,2\n", "line 2: expected three numbers a,b,c, found 4 fields"},
        {"x,y,z\n0,\"0,1\n", "line 2: a quoted field is not closed"},
        {"x,y,z\n0,\"0\"1,1\n", "line 2: text after the closing quote of a field"},
        {"x,y,z\n0,,1\n", "line 2: an empty coordinate"},
        {"x,y,z\n0,0\n", "line 2: expected three numbers x,y,z, found 2 fields"},
        {"x,y,z\n0,0,1,2\n", "line 2: expected three numbers x,y,z, found 4 fields"},
        {"x,y,z\n0,zero,1\n", "line 2: 'zero' is not a number"},
        {"x,y,z\n0,0,1e39\n", "line 2: '1e39' is out of single-precision range"},
        {"x,y,z\n", "no cells after the header"},
        {"", "no header x,y,z: the file is empty"},
    };
    for (const auto &c : cases) {
        write("bad.csv", c.text);
        const Outcome out = run("convert bad.csv refused");
        EXPECT_EQ(out.status, 1) << c.text;
        EXPECT_EQ(out.err, std::string("binmat: bad.csv: ") + c.message + "\n") << c.text;
        EXPECT_FALSE(exists("refused"));
    }
}

TEST_F(exchange, csv_as_pandas_writes_it_is_read_and_nan_goes_out_as_an_empty_field) {
    // DataFrame.to_csv with its index, without, and with quoting=csv.QUOTE_ALL.
    write("index.csv", ",lat,lon,t2m,extra\n0,1.0,10.0,0.5,a\n1,1.0,20.0,,b\n2,2.0,10.0,2.5,c\n"
                       "3,2.0,20.0,3.5,d\n");
    write("plain.csv", "lat,lon,t2m\n1.0,10.0,0.5\n1.0,20.0,\n2.0,10.0,2.5\n2.0,20.0,3.5\n");
    write("quoted.csv", "\"lat\",\"lon\",\"t2m\"\n\"1.0\",\"10.0\",\"0.5\"\n\"1.0\",\"20.0\",\"\"\n"
                        "\"2.0\",\"10.0\",\"2.5\"\n\"2.0\",\"20.0\",\"3.5\"\n");
    write("unnamed.csv", ",x,y,z\n0,1,10,0.5\n1,1,20,\n2,2,10,2.5\n3,2,20,3.5\n");
    for (const char *args :
         {"index.csv --columns lat,lon,t2m", "plain.csv", "quoted.csv", "unnamed.csv"}) {
        EXPECT_EQ(
            run(std::string("convert ") + args + " - --to binmat | '" BINMAT_EXE "' dump -").out,
            "2 10 20\n1 0.5 nan\n2 2.5 3.5\n")
            << args;
    }
    // The same files from pandas itself, and binmat's CSV read back by it, NaN as missing.
    const Outcome made = shell(
        "/usr/bin/python3 -c \"import csv, pandas as pd; "
        "f = pd.DataFrame({'lat': [1.0, 1, 2, 2], 'lon': [10.0, 20, 10, 20], "
        "'t2m': [0.5, float('nan'), 2.5, 3.5], 'extra': list('abcd')}); "
        "f.to_csv('pd_index.csv'); f[['lat', 'lon', 't2m']].to_csv('pd_plain.csv', index=False); "
        "f[['lat', 'lon', 't2m']].to_csv('pd_quoted.csv', index=False, quoting=csv.QUOTE_ALL)\"");
    ASSERT_EQ(made.status, 0) << made.err;
    for (const char *args :
         {"pd_index.csv --columns lat,lon,t2m", "pd_plain.csv", "pd_quoted.csv"}) {
        EXPECT_EQ(
            run(std::string("convert ") + args + " - --to binmat | '" BINMAT_EXE "' dump -").out,
            "2 10 20\n1 0.5 nan\n2 2.5 3.5\n")
            << args;
    }
    ASSERT_EQ(run("convert pd_plain.csv pd_grid").status, 0);
    ASSERT_EQ(run("convert pd_grid pd_back.csv").status, 0);
    EXPECT_EQ(shell("/usr/bin/python3 -c \"import pandas as pd; f = pd.read_csv('pd_back.csv'); "
                    "print(list(f.columns), int(f.z.isna().sum()), f.z.sum())\"")
                  .out,
              "['x', 'y', 'z'] 1 6.5\n");
    // Out: NaN is an empty field, and a NaN that loses its sign or payload so is said once.
    write("nans.csv", "x,y,z\n0,0,nan\n0,1,-nan\n0,2,nan(0x7fc00001)\n");
    ASSERT_EQ(run("convert nans.csv nans").status, 0);
    const Outcome out = run("convert nans out.csv");
    EXPECT_EQ(contents(dir / "out.csv"), "x,y,z\n0,0,\n0,1,\n0,2,\n");
    EXPECT_EQ(out.err, "binmat: warning: out.csv: 2 NaNs have a sign or payload that an empty "
                       "field does not keep: --exact keeps them\n");
    ASSERT_EQ(run("convert nans exact.csv --exact").status, 0);
    EXPECT_EQ(contents(dir / "exact.csv"), "x,y,z\n0,0,nan\n0,1,-nan\n0,2,nan(0x7fc00001)\n");
    EXPECT_EQ(run("convert plain.csv - --to binmat --columns lat,lon").status, 2);
    EXPECT_EQ(run("convert index.csv refused --columns lat,lon,t").err,
              "binmat: index.csv: line 1: no column 't'; the header names ,lat,lon,t2m,extra\n");
}

TEST_F(exchange, npy_arrays_of_every_plain_number_type_are_read_and_others_refused) {
    // The header numpy writes for a little-endian float64 array of shape (1, 2), then the data.
    const auto npy = [](const std::string &dict, const std::string &data) {
        std::string h = dict;
        h.append(64 - (10 + h.size() + 1) % 64, ' ');
        h += '\n';
        return std::string("\x93NUMPY\x01\x00", 8) + static_cast<char>(h.size()) + '\0' + h + data;
    };
    write("f8.npy", npy("{'descr': '<f8', 'fortran_order': False, 'shape': (1, 2), }",
                        std::string("\0\0\0\0\0\0\xf0\x3f\0\0\0\0\0\0\0\xc0", 16)));
    EXPECT_EQ(run("convert f8.npy - --to binmat | '" BINMAT_EXE "' dump -").out, "2 0 1\n0 1 -2\n");
    write("u2.npy", npy("{'fortran_order': True, 'shape': (2, 2), 'descr': '>u2'}",
                        std::string("\0\1\0\2\0\3\xff\xff", 8)));
    EXPECT_EQ(run("convert u2.npy - --to binmat | '" BINMAT_EXE "' dump -").out,
              "2 0 1\n0 1 3\n1 2 65535\n");
    const struct {
        std::string file;
        const char *message;
    } cases[] = {
        {npy("{'descr': '|O', 'fortran_order': False, 'shape': (1, 1), }", "12345678"),
         "the array holds Python objects, not numbers"},
        {npy("{'descr': '<f4', 'fortran_order': False, 'shape': (1, 1, 1), }", "1234"),
         "the array has 3 dimensions (1, 1, 1); a grid needs two"},
        {npy("{'descr': '<f4', 'fortran_order': False, 'shape': (1, 2), }", "1234"),
         "the array of shape (1, 2) takes 8 bytes after its header, but the file has 4"},
        {npy("{'descr': '<f4', 'fortran_order': False, 'shape': (0, 2), }", ""),
         "the array of shape (0, 2) is empty"},
        {npy("{'descr': [('a', '<f4')], 'fortran_order': False, 'shape': (1, 1), }", "1234"),
         "the array is structured, with fields rather than plain numbers"},
        {npy("{'descr': '<c8', 'fortran_order': False, 'shape': (1, 1), }", "12345678"),
         "the array holds complex numbers, which a grid of floats cannot"},
        {npy("{'descr': '<f8', 'fortran_order': False, 'shape': (1, 1), }",
             std::string("\0\0\0\0\0\0\xf0\x7f", 7) + '\x7e'),
         "element 0 is beyond the range of single precision"},
        {std::string("\x93NUMPY\x04\x00", 8) + "xx",
         "version 4.0 is not one this reads (1.0 to 3.0)"},
        {"PK\3\4", "not a .npy file: it does not begin with \\x93NUMPY"},
    };
    for (const auto &c : cases) {
        write("bad.npy", c.file);
        const Outcome out = run("convert bad.npy refused");
        EXPECT_EQ(out.status, 1) << c.message;
        EXPECT_EQ(out.err, std::string("binmat: bad.npy: ") + c.message + "\n");
        EXPECT_FALSE(exists("refused"));
    }
}

TEST(index_slice, keeps_what_python_keeps) {
    const struct {
        const char *text;
        std::vector<std::int64_t> kept; // of 0..6, as Python's list(range(7))[text] gives
    } cases[] = {
        {"2:5", {2, 3, 4}},
        {"::-1", {6, 5, 4, 3, 2, 1, 0}},
        {"-3:", {4, 5, 6}},
        {"::2", {0, 2, 4, 6}},
        {"1::3", {1, 4}},
        {"5:1:-2", {5, 3}},
        {"-1", {6}},
        {"3", {3}},
        {"-8:", {0, 1, 2, 3, 4, 5, 6}},
        {"10:", {}},
        {"::-3", {6, 3, 0}},
        {"-2:-8:-1", {5, 4, 3, 2, 1, 0}},
        {"0:0", {}},
        {"+1:2", {1}},
        {":", {0, 1, 2, 3, 4, 5, 6}},
    };
    for (const auto &c : cases) {
        cli::index_slice s;
        std::string error;
        ASSERT_TRUE(cli::parse_index_slice(c.text, s, error)) << c.text << ": " << error;
        const cli::slice_span span = cli::resolve(s, 7);
        std::vector<std::int64_t> kept;
        for (std::int64_t k = 0; k < span.count; ++k) {
            kept.push_back(span.at(k));
        }
        EXPECT_EQ(kept, c.kept) << c.text;
    }
    for (const char *bad : {"", "a:b", "1:2:3:4", "::0", "1.5:"}) {
        cli::index_slice s;
        std::string error;
        EXPECT_FALSE(cli::parse_index_slice(bad, s, error)) << bad;
    }
}

TEST(coordinate_range, is_inclusive_open_ended_and_never_holds_nan) {
    cli::coordinate_range r;
    std::string error;
    ASSERT_TRUE(cli::parse_coordinate_range("-1.5:2", r, error));
    EXPECT_TRUE(r.contains(-1.5F) && r.contains(2) && !r.contains(2.0000002F));
    cli::coordinate_range below;
    ASSERT_TRUE(cli::parse_coordinate_range(":0x1p-149", below, error));
    EXPECT_TRUE(below.contains(-inf) && below.contains(0) && !below.contains(1e-44F));
    EXPECT_FALSE(r.contains(std::numeric_limits<float>::quiet_NaN()));
    const struct {
        const char *text;
        const char *error;
    } cases[] = {
        {"3:1", "'3:1': MIN is above MAX"},    {"1", "'1' is not MIN:MAX"},
        {"1:2:3", "'1:2:3' is not MIN:MAX"},   {"nan:1", "'nan' in 'nan:1' is not a number"},
        {"a:", "'a' in 'a:' is not a number"},
    };
    for (const auto &c : cases) {
        cli::coordinate_range bad;
        EXPECT_FALSE(cli::parse_coordinate_range(c.text, bad, error)) << c.text;
        EXPECT_EQ(error, c.error);
    }
}

TEST_F(exchange, cut_keeps_rows_and_columns_by_index_and_by_coordinate) {
    const binmat::grid g = binmat::read_file(dir / "binary1");
    const auto from = [&](std::size_t first) {
        std::vector<std::size_t> all;
        for (std::size_t j = first; j < g.columns(); ++j) {
            all.push_back(j);
        }
        return all;
    };
    const struct {
        const char *args;
        std::vector<std::size_t> rows;
        std::vector<std::size_t> columns;
    } cases[] = {
        {"--rows 2:5 --columns ::-10", {2, 3, 4}, {20, 10, 0}},
        {"--rows -1", {30}, from(0)},
        {"--rows ::-15 --columns 3", {30, 15, 0}, {3}},
        {"--x 2.5: --y :-1.5", {28, 29, 30}, {0, 1, 2}},
        {"--rows ::2 --x -0.5:0.5 --columns 5:", {14, 16}, from(5)},
    };
    for (const auto &c : cases) {
        for (const std::string &source : {std::string("binary1"), std::string("- < binary1")}) {
            const Outcome out = run("cut " + source + " -o part " + c.args);
            ASSERT_EQ(out.status, 0) << c.args << ": " << out.err;
            const binmat::grid part = binmat::read_file(dir / "part");
            const std::vector<std::size_t> &columns = c.columns;
            ASSERT_EQ(part.rows(), c.rows.size()) << c.args << " from " << source;
            ASSERT_EQ(part.columns(), columns.size()) << c.args;
            for (std::size_t i = 0; i < c.rows.size(); ++i) {
                EXPECT_EQ(part.row_coordinates[i], g.row_coordinates[c.rows[i]]) << c.args;
                for (std::size_t j = 0; j < columns.size(); ++j) {
                    EXPECT_EQ(part(i, j), g(c.rows[i], columns[j])) << c.args;
                }
            }
            for (std::size_t j = 0; j < columns.size(); ++j) {
                EXPECT_EQ(part.column_coordinates[j], g.column_coordinates[columns[j]]);
            }
        }
    }
    // A big-endian file is cut in its own order.
    ASSERT_EQ(run("dump binary2 -o binary2.txt").status, 0);
    ASSERT_EQ(run("pack binary2.txt -o big2 --byte-order big").status, 0);
    ASSERT_EQ(run("cut big2 -o part2 --byte-order auto --rows 1:3").status, 0);
    EXPECT_EQ(binmat::read_file(dir / "part2", {binmat::byte_order::big}).rows(), 2U);
}

TEST_F(exchange, a_cut_that_keeps_nothing_writes_nothing_and_says_what_there_was) {
    const struct {
        const char *args;
        const char *message;
    } cases[] = {
        {"--rows 40:", "the cut keeps no row of 31; nothing is written"},
        {"--x 10:20", "the cut keeps no row of 31; the titles run from -3 to 3.0000007;"},
        {"--columns 2:2", "the cut keeps no column of 21; nothing is written"},
        {"--y 5:", "the cut keeps no column of 21; the titles run from -2 to 2.0000002;"},
    };
    for (const auto &c : cases) {
        for (const char *output : {"-o empty", "-o - > empty", "-o empty.nc", "-o empty.npy"}) {
            const Outcome out = run(std::string("cut binary1 ") + output + " " + c.args);
            EXPECT_EQ(out.status, 1) << c.args;
            EXPECT_NE(out.err.find(c.message), std::string::npos) << out.err;
            for (const char *name : {"empty", "empty.nc", "empty.npy"}) {
                EXPECT_TRUE(!exists(name) || fs::file_size(dir / name) == 0) << c.args;
                fs::remove(dir / name);
            }
        }
    }
    EXPECT_NE(shell("cat binary1 | '" BINMAT_EXE "' cut - -o empty --x 10:")
                  .err.find("the titles run from -3 to 3.0000007"),
              std::string::npos);
}

TEST_F(exchange, cut_salvage_and_pack_write_the_format_their_output_names) {
    // Each gives what convert gives of the binary matrix file it would otherwise write.
    ASSERT_EQ(run("dump binary3 -o b3.txt").status, 0);
    const std::vector<unsigned char> whole = bytes::of_file((dir / "binary1").string());
    std::ofstream(dir / "broken1", std::ios::binary)
        .write(reinterpret_cast<const char *>(whole.data()), 1000);
    const struct {
        const char *made; // OUT stands for the output's name
        const char *plain;
    } cases[] = {
        {"cut binary1 -o OUT --rows 3:9:2 --y -1:1", "cut binary1 -o plain --rows 3:9:2 --y -1:1"},
        {"salvage broken1 -o OUT", "salvage broken1 -o plain"},
        {"pack b3.txt -o OUT", "pack b3.txt -o plain"},
    };
    for (const auto &c : cases) {
        std::string plain = c.plain;
        ASSERT_EQ(run(plain).status, 0) << plain;
        for (const std::string ext : {".nc", ".csv", ".npy"}) {
            std::string made = c.made;
            made.replace(made.find("OUT"), 3, "made" + ext);
            const Outcome out = run(made);
            ASSERT_EQ(out.status, 0) << made << ": " << out.err;
            ASSERT_EQ(run("convert plain expected" + ext).status, 0);
            if (ext == ".npy") {
                EXPECT_EQ(contents(dir / ("made" + ext)), contents(dir / ("expected" + ext)))
                    << made;
                EXPECT_NE(out.err.find("the titles are not kept"), std::string::npos) << made;
                continue;
            }
            ASSERT_EQ(run("convert made" + ext + " back --to binmat").status, 0) << made;
            EXPECT_EQ(contents(dir / "back"), contents(dir / "plain")) << made;
        }
    }
    const Outcome header = shell("ncdump -h made.nc");
    EXPECT_NE(header.out.find(":history = \"packed from b3.txt by binmat pack\""),
              std::string::npos)
        << header.out;
}

TEST_F(exchange, usage_errors_end_with_status_2_and_write_nothing) {
    for (const char *name : {"copy", "out.csv", "out.npy", "out.nc", "part"}) {
        fs::remove(dir / name);
    }
    for (const char *args : {
             "convert binary1 copy",                    // both sides binary matrix files
             "convert binary1 out.csv --variable z",    // not reading NetCDF
             "convert binary1 out.npy --units K",       // not writing NetCDF
             "convert binary1 out.nc --fill nan",       // not reading CSV
             "convert binary1 out.nc --x x.npy",        // no .npy side
             "convert in.csv out.nc --byte-order auto", // nothing binary to judge
             "convert binary1 out.nc --to jpeg",        // no such format
             "convert binary1 binary1.csv --fill zero", // only nan fills
             "cut binary1 -o part --rows ::0",
             "cut binary1 -o part --rows 1:x",
             "cut binary1 -o part --x 3:1",
             "cut binary1 -o part --y nan:",
             "cut binary1 -o binary1",
         }) {
        const Outcome out = run(args);
        EXPECT_EQ(out.status, 2) << args << ": " << out.err;
        EXPECT_FALSE(exists("copy") || exists("out.csv") || exists("out.npy") || exists("out.nc") ||
                     exists("part"))
            << args;
    }
}

#ifndef BINMAT_UNDER_ASAN
// A grid larger than the address space the command is allowed beyond its libraries is cut, and
// becomes CSV as it is read: neither holds more than a row.
TEST_F(exchange, cut_and_csv_go_a_row_at_a_time_within_bounded_memory) {
    const std::vector<float> columns(4096, 1.0F);
    std::vector<float> row(columns.size());
    {
        std::FILE *out = std::fopen((dir / "large").c_str(), "wb");
        ASSERT_NE(out, nullptr);
        binmat::row_writer w(out, columns);
        for (int i = 0; i < 16384; ++i) { // 256 MiB
            row[0] = static_cast<float>(i);
            w.put(static_cast<float>(i), row);
        }
        w.finish();
        std::fclose(out);
    }
    const std::string limit =
        "ulimit -v 200000; "; // 195 MiB, of which the libraries take 60 to 100
    const Outcome cut = shell(limit + "'" BINMAT_EXE "' cut large -o kept --rows 1::4000");
    ASSERT_EQ(cut.status, 0) << cut.err;
    const binmat::grid kept = binmat::read_file(dir / "kept");
    EXPECT_EQ(kept.row_coordinates, (std::vector<float>{1, 4001, 8001, 12001, 16001}));
    const Outcome csv =
        shell("(" + limit + "'" BINMAT_EXE "' convert large - --to csv) | head -n 3");
    EXPECT_EQ(csv.out, "x,y,z\n0,1,0\n0,1,0\n");
    fs::remove(dir / "large");
}
#endif

} // namespace
