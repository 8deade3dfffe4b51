// The binmat command as a user runs it, on the generated files and on malformed ones.
#include "support/bytes.h"
#include "support/process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

using process::Outcome;

std::string contents(const fs::path &p) {
    const Bytes b = bytes::of_file(p.string());
    return {b.begin(), b.end()};
}

void write_file(const fs::path &p, const Bytes &data) {
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char *>(data.data()),
               static_cast<std::streamsize>(data.size()));
}

class binmat_tool : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir = process::fresh_directory();
        ASSERT_FALSE(dir.empty());
        ASSERT_EQ(process::shell(dir, "'" BF_TEST_EXE "'").status, 0);
    }
    static void TearDownTestSuite() { fs::remove_all(dir); }

    // Runs `binmat ARGS` in the scratch directory, with standard input from `input` if given.
    static Outcome run(const std::string &args, const std::string &input = "/dev/null") {
        return shell("'" BINMAT_EXE "' < " + input + " " + args);
    }

    // Runs a shell command line in the scratch directory, capturing all it prints.
    static Outcome shell(const std::string &line) { return process::shell(dir, line); }

    static fs::path dir;
};

fs::path binmat_tool::dir;

TEST_F(binmat_tool, dump_of_binary1_is_the_golden_text) {
    const Outcome o = run("dump binary1");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.out, contents(fs::path(TEST_DATA_DIR) / "binary1.txt"));
    EXPECT_EQ(o.out.substr(0, 34), "21 -2 -1.8 -1.5999999 -1.3999999 -");
}

TEST_F(binmat_tool, dump_then_pack_gives_back_identical_bytes) {
    std::vector<std::pair<std::string, Bytes>> files = {
        {"binary1", bytes::of_file((dir / "binary1").string())},
        {"binary2", bytes::of_file((dir / "binary2").string())},
        {"binary3", bytes::of_file((dir / "binary3").string())},
        {"count_2_9", bytes::of_floats({2.9F, 1, 2, 10, 11, 12})},
        {"odd_values",
         bytes::of_floats({3, -0.0F, 1e-45F, 3.4028235e38F, 1, INFINITY, -INFINITY,
                           std::numeric_limits<float>::quiet_NaN(), 2, -1e-38F, 0.1F, 7})},
    };
    Bytes stray = bytes::of_floats({1, 5, 7, 9});
    stray.insert(stray.end(), {0xEE, 0x01, 0x80});
    files.emplace_back("stray_bytes", stray);
    Bytes payload = bytes::of_floats({1, 5, 7, 0});
    payload[12] = 0x01;
    payload[13] = 0x00;
    payload[14] = 0xC0;
    payload[15] = 0xFF; // a negative NaN with a payload
    files.emplace_back("nan_payload", payload);

    for (const auto &[name, data] : files) {
        write_file(dir / name, data);
        for (const char *format : {"", "--csv "}) {
            const std::string text = name + ".txt";
            const std::string back = name + ".back";
            ASSERT_EQ(
                run(std::string("dump ").append(format).append(name).append(" -o ").append(text))
                    .status,
                0)
                << name;
            const Outcome packed =
                run(std::string("pack ").append(text).append(" -o ").append(back));
            EXPECT_EQ(packed.status, 0) << name << packed.err;
            EXPECT_EQ(bytes::of_file((dir / back).string()), data) << name << format;
        }
    }
    // Through pipes, standard input to standard output.
    const Outcome piped = run("dump - | '" BINMAT_EXE "' pack - -o -", "binary3");
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(Bytes(piped.out.begin(), piped.out.end()), files[2].second);
}

TEST_F(binmat_tool, pack_names_the_line_of_each_error_and_leaves_no_file) {
    struct Case {
        const char *name;
        const char *text;
        const char *error;
    };
    const Case cases[] = {
        {"ragged", "2 0 1\n0 5 6\n1 7\n",
         "line 3: expected a row coordinate and 2 values, found 2 numbers"},
        {"word", "# grid\n2 0 1\n\n0 5 six\n", "line 4: 'six' is not a number"},
        {"count", "3 0 1\n0 5 6\n",
         "line 1: the column count says 3 columns but the line has 2 column coordinates"},
        {"zero", "0\n", "line 1: column count 0 is not a positive whole number"},
        {"empty", "# nothing\n\n", "line 3: the text ends without a column count"},
        {"no rows", "2 0 1\n", "line 2: the text ends without a row"},
    };
    for (const Case &c : cases) {
        std::ofstream(dir / "bad.txt") << c.text;
        const Outcome o = run("pack bad.txt -o bad.bin");
        EXPECT_EQ(o.status, 1) << c.name;
        EXPECT_EQ(o.err, std::string("binmat: bad.txt: ") + c.error + "\n") << c.name;
        EXPECT_FALSE(fs::exists(dir / "bad.bin")) << c.name;
    }
    std::ofstream(dir / "commas.txt") << "2, 0, 1   # titles\n0, 5, 6\n";
    EXPECT_EQ(run("pack commas.txt -o commas.bin").status, 0);
    EXPECT_EQ(bytes::as_floats(bytes::of_file((dir / "commas.bin").string())),
              (std::vector<float>{2, 0, 1, 0, 5, 6}));
}

TEST_F(binmat_tool, check_gives_a_verdict_and_status_per_file) {
    struct Case {
        const char *name;
        Bytes data;
        const char *verdict;
    };
    Bytes stray = bytes::of_floats({1, 5, 7, 9});
    stray.push_back(0);
    const Case cases[] = {
        {"short", {0x00, 0x00}, "invalid: too short to hold a column count"},
        {"negative", bytes::of_floats({-5, 1}),
         "invalid: column count -5 is not a positive whole number"},
        {"titles", bytes::of_floats({3, 1, 2}), "invalid: column titles cut short (2 of 3)"},
        {"norow", bytes::of_floats({2, 1, 2}), "invalid: no complete row"},
        {"cutrow", bytes::of_floats({2, 1, 2, 0, 5, 6, 1, 7}),
         "invalid: a row cut short at byte offset 24"},
        {"stray", stray,
         "ok (1 x 1)\nstray: warning: 1 stray byte after the last row; readers ignore them"},
        {"fine", bytes::of_floats({2, 1, 2, 0, 5, 6}), "ok (1 x 2)"},
    };
    for (const Case &c : cases) {
        write_file(dir / c.name, c.data);
        const Outcome o = run(std::string("check ") + c.name);
        EXPECT_EQ(o.out, std::string(c.name) + ": " + c.verdict + "\n");
        EXPECT_EQ(o.status, std::string(c.verdict).starts_with("ok") ? 0 : 1) << c.name;
    }
    const Outcome all = run("check binary1 binary2 binary3");
    EXPECT_EQ(all.status, 0);
    EXPECT_EQ(all.out, "binary1: ok (31 x 21)\nbinary2: ok (31 x 31)\nbinary3: ok (31 x 31)\n");
    EXPECT_EQ(run("check binary1 norow").status, 1);
}

TEST_F(binmat_tool, check_warns_about_suspicious_but_readable_files) {
    write_file(dir / "odd", bytes::of_floats({3.5F, 0, 2, 1, 0, NAN, 6, 7}));
    const Outcome o = run("check odd");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "odd: ok (1 x 3)\n"
                     "odd: warning: 1 NaN and 0 infinite values\n"
                     "odd: warning: column coordinates are not monotonic\n"
                     "odd: warning: column count 3.5 is not whole; it reads as 3\n");

    Bytes swapped = bytes::of_file((dir / "binary1").string());
    for (std::size_t i = 0; i + 4 <= swapped.size(); i += 4) {
        std::swap(swapped[i], swapped[i + 3]);
        std::swap(swapped[i + 1], swapped[i + 2]);
    }
    write_file(dir / "swapped", swapped);
    const Outcome s = run("check swapped");
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(s.out.find("swapped: warning: probably written in the other byte order"),
              std::string::npos)
        << s.out;
}

TEST_F(binmat_tool, info_json_parses_back_to_the_file_facts) {
    const Outcome o = run("info --json binary3 binary1");
    ASSERT_EQ(o.status, 0) << o.err;
    std::istringstream lines(o.out);
    std::string line;
    std::getline(lines, line);
    const nlohmann::json b3 = nlohmann::json::parse(line);
    EXPECT_EQ(b3["file"], "binary3");
    EXPECT_EQ(b3["size"], 4096);
    EXPECT_EQ(b3["rows"], 31);
    EXPECT_EQ(b3["columns"], 31);
    EXPECT_EQ(b3["byte_order"], "little");
    EXPECT_FALSE(b3["column_axis"]["uniform"]);
    EXPECT_NEAR(b3["column_axis"]["min_step"], 0.2, 1e-6);
    EXPECT_NEAR(b3["column_axis"]["max_step"], 0.4, 1e-6);
    EXPECT_EQ(b3["column_axis"]["last"].get<double>(), 6.0000014);
    EXPECT_EQ(b3["values"]["max"], 1);
    EXPECT_EQ(b3["values"]["nan"], 0);
    EXPECT_EQ(b3["stray_bytes"], 0);
    EXPECT_FALSE(b3["other_byte_order"]);

    std::getline(lines, line);
    const nlohmann::json b1 = nlohmann::json::parse(line);
    EXPECT_TRUE(b1["row_axis"]["uniform"]);
    EXPECT_EQ(b1["row_axis"]["first"], -3);
    EXPECT_NEAR(b1["row_axis"]["step"], 0.2, 1e-6);
    EXPECT_NEAR(b1["values"]["min"], 0.07142854, 1e-8);
}

TEST_F(binmat_tool, detect_tells_binary_from_text) {
    std::ofstream(dir / "notes.txt") << "2 0 1\n0 5 6\n";
    const Outcome o = run("detect binary1 notes.txt");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "binary1: binary\nnotes.txt: text\n");
    const Outcome piped = run("detect -", "binary1");
    EXPECT_EQ(piped.out, "-: binary\n") << "a redirected file can be repositioned";
    const Outcome pipe = shell("cat binary1 | '" BINMAT_EXE
                               "' detect - && cat notes.txt | '" BINMAT_EXE "' detect -");
    EXPECT_EQ(pipe.out, "-: binary\n-: text\n") << "a pipe is judged by what it holds";
    EXPECT_EQ(pipe.err, "");
}

TEST_F(binmat_tool, bad_data_and_usage_have_their_own_statuses) {
    write_file(dir / "norow", bytes::of_floats({2, 1, 2}));
    write_file(dir / "titles", bytes::of_floats({3, 1, 2}));
    const Outcome missing = run("info nosuchfile");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "binmat: nosuchfile: No such file or directory\n");
    const Outcome bad = run("dump norow -o norow.txt");
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "binmat: norow: no complete row\n");
    EXPECT_FALSE(fs::exists(dir / "norow.txt"));
    const Outcome render = run("render titles -o titles.png");
    EXPECT_EQ(render.status, 1);
    EXPECT_FALSE(fs::exists(dir / "titles.png"));

    for (const char *args : {"", "frobnicate x", "info", "dump a b", "pack x", "render binary1",
                             "info --bogus binary1", "render binary1 -o x.png --width 0"}) {
        EXPECT_EQ(run(args).status, 2) << args;
    }
    EXPECT_EQ(run("--version").out, "binmat " BINMAT_VERSION "\n");
    for (const char *sub : {"info", "dump", "pack", "check", "detect", "render"}) {
        const Outcome help = run(std::string(sub) + " --help");
        EXPECT_EQ(help.status, 0) << sub;
        EXPECT_NE(help.out.find(std::string("usage: binmat ") + sub), std::string::npos) << sub;
    }
    EXPECT_EQ(run("--help").status, 0);
}

// numpy's float32 linspace: computed in double, the last point set to the end, then rounded.
std::vector<float> linspace(double start, double stop, int n) {
    std::vector<float> v;
    v.reserve(static_cast<std::size_t>(n));
    const double step = (stop - start) / (n - 1);
    for (int i = 0; i < n; ++i) {
        v.push_back(static_cast<float>(i == n - 1 ? stop : start + i * step));
    }
    return v;
}

// A file with these coordinates and values all zero.
Bytes grid_file(const std::vector<float> &rows, const std::vector<float> &columns) {
    std::vector<float> f{static_cast<float>(columns.size())};
    f.insert(f.end(), columns.begin(), columns.end());
    for (float r : rows) {
        f.push_back(r);
        f.insert(f.end(), columns.size(), 0.0F);
    }
    return bytes::of_floats(f);
}

Bytes byte_swapped(Bytes b) {
    for (std::size_t i = 0; i + 4 <= b.size(); i += 4) {
        std::swap(b[i], b[i + 3]);
        std::swap(b[i + 1], b[i + 2]);
    }
    return b;
}

TEST_F(binmat_tool, info_judges_axes_as_a_user_reads_them) {
    write_file(dir / "tall", grid_file(linspace(-3, 7, 5001), {0}));
    write_file(dir / "near1000", grid_file({0, 1}, linspace(1000, 1001, 1001)));
    write_file(dir / "one", grid_file({5}, {6}));
    write_file(dir / "repeated", grid_file({0, 1, 1, 2}, {0, 1}));
    write_file(dir / "nan_rows", grid_file({0, NAN, 2}, {0, 1}));
    const Outcome o = run("info tall near1000 one repeated nan_rows");
    EXPECT_EQ(o.status, 0) << o.err;
    for (const char *expected :
         {"tall: 5001 rows x 1 column,", "  rows:        -3 to 7, uniform, step 0.002\n",
          "  columns:     1000 to 1001, uniform, step 0.001\n", "one: 1 row x 1 column, 16 bytes",
          "  rows:        0 to 2, repeated coordinates\n",
          "  rows:        0 to 2, 1 NaN coordinate\n"}) {
        EXPECT_NE(o.out.find(expected), std::string::npos) << expected << "\n" << o.out;
    }
    const Outcome c = run("check repeated nan_rows");
    EXPECT_EQ(c.out, "repeated: ok (4 x 2)\nrepeated: warning: row coordinates are repeated\n"
                     "nan_rows: ok (3 x 2)\nnan_rows: warning: row coordinates include 1 NaN\n");
}

TEST_F(binmat_tool, refused_files_say_what_they_most_likely_are) {
    std::vector<double> doubles{2, 0, 1, 0, 5, 6};
    Bytes as_doubles(doubles.size() * 8);
    std::memcpy(as_doubles.data(), doubles.data(), as_doubles.size());
    Bytes int_count = bytes::of_floats({0, 0, 1, 0, 5, 6, 1, 7, 8});
    const std::int32_t two = 2;
    std::memcpy(int_count.data(), &two, 4);
    const std::string npy = std::string("\x93NUMPY\x01\x00v\x00", 10) +
                            "{'descr': '<f4', 'fortran_order': False, 'shape': (2, 2), }\n";
    write_file(dir / "doubles", as_doubles);
    write_file(dir / "int_count", int_count);
    write_file(dir / "array.npy", Bytes(npy.begin(), npy.end()));
    write_file(dir / "big1", byte_swapped(bytes::of_file((dir / "binary1").string())));
    write_file(dir / "huge", bytes::of_floats({1e9F, 1, 2}));
    std::ofstream(dir / "notes") << "these are words, not floats\n";
    const struct {
        const char *file;
        const char *says;
    } cases[] = {
        {"doubles", "it looks like a grid of 8-byte doubles"},
        {"int_count", "it looks like its column count is stored as a 32-bit integer"},
        {"array.npy", "it looks like a .npy array"},
        {"big1", "it looks like this format written big-endian: try --byte-order big"},
        {"notes", "it looks like text"},
        {"huge", "column count 1e+09 exceeds the limit of 536870911 columns"},
    };
    for (const auto &c : cases) {
        const Outcome o = run(std::string("check ") + c.file);
        EXPECT_EQ(o.status, 1) << c.file;
        EXPECT_NE(o.out.find(c.says), std::string::npos) << c.file << ": " << o.out;
        const Outcome info = run(std::string("info ") + c.file);
        EXPECT_NE(info.err.find(c.says), std::string::npos) << c.file << ": " << info.err;
    }
}

TEST_F(binmat_tool, every_reader_and_pack_take_either_byte_order) {
    const Bytes little = bytes::of_file((dir / "binary1").string());
    ASSERT_EQ(run("dump binary1 -o b1.txt").status, 0);
    ASSERT_EQ(run("pack --byte-order big b1.txt -o b1.big").status, 0);
    EXPECT_EQ(bytes::of_file((dir / "b1.big").string()), byte_swapped(little));
    EXPECT_EQ(run("dump --byte-order=big b1.big").out, contents(dir / "b1.txt"));
    EXPECT_EQ(run("check --byte-order big b1.big").out, "b1.big: ok (31 x 21)\n");
    const Outcome judged = run("info --byte-order auto b1.big binary1");
    EXPECT_NE(judged.out.find("  byte order:  big (judged by the file)\n"), std::string::npos);
    EXPECT_NE(judged.out.find("  byte order:  little (judged by the file)\n"), std::string::npos);
    EXPECT_EQ(run("render --byte-order auto b1.big -o b1.png").status, 0);
    EXPECT_EQ(run("salvage --byte-order big b1.big -o b1.copy").status, 0);
    EXPECT_EQ(bytes::of_file((dir / "b1.copy").string()), byte_swapped(little));
    EXPECT_EQ(run("pack --byte-order auto b1.txt -o x").status, 2) << "auto is for reading";
}

TEST_F(binmat_tool, json_gives_a_record_for_every_file) {
    write_file(dir / "norow", bytes::of_floats({2, 1, 2}));
    write_file(dir / "bad\xff", bytes::of_floats({1, 5, 7, 9}));
    for (const char *sub : {"info", "check", "detect"}) {
        const Outcome o = run(std::string(sub) + " --json binary1 norow missing 'bad\xff'");
        std::istringstream lines(o.out);
        std::vector<nlohmann::json> records;
        for (std::string line; std::getline(lines, line);) {
            records.push_back(nlohmann::json::parse(line)); // throws on anything but JSON
        }
        ASSERT_EQ(records.size(), 4U) << sub << o.out;
        EXPECT_EQ(records[0]["ok"], true) << sub;
        EXPECT_EQ(records[2]["ok"], false) << sub;
        EXPECT_EQ(records[3]["file_hex"], "626164ff") << sub;
        if (std::string(sub) != "detect") {
            EXPECT_EQ(records[1]["problem"], "no_complete_row") << sub;
            EXPECT_EQ(records[1]["offset"], 12) << sub;
        }
    }
}

TEST_F(binmat_tool, salvage_keeps_the_complete_rows_of_a_cut_file) {
    Bytes cut = bytes::of_file((dir / "binary1").string());
    cut.resize(cut.size() - 30); // the last row loses 30 of its 88 bytes
    write_file(dir / "cut", cut);
    const Outcome o = run("salvage cut -o kept");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "binmat: cut: kept 30 rows of 21 columns, dropped 58 bytes\n");
    cut.resize(cut.size() - 58);
    EXPECT_EQ(bytes::of_file((dir / "kept").string()), cut);

    write_file(dir / "titles", bytes::of_floats({3, 1, 2}));
    const Outcome none = run("salvage titles -o nothing");
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "binmat: titles: nothing can be kept: column titles cut short (2 of 3)\n");
    EXPECT_FALSE(fs::exists(dir / "nothing"));
}

TEST_F(binmat_tool, help_and_options_read_the_same_everywhere) {
    EXPECT_EQ(run("help dump").out, run("dump --help").out);
    EXPECT_EQ(run("help").out, run("--help").out);
    EXPECT_EQ(run("help nosuch").status, 2);
    const Outcome o = run("render binary1 --output=small.png --width=200 --height=150");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(run("dump binary1 --output small.txt").status, 0);
    EXPECT_EQ(contents(dir / "small.txt"), contents(fs::path(TEST_DATA_DIR) / "binary1.txt"));
}

TEST_F(binmat_tool, detect_takes_utf8_text_for_text) {
    std::ofstream(dir / "umlauts.txt") << "Grüße aus Köln: Ärger über Öl, Übermaß an Äpfeln. "
                                          "Ελληνικά κείμενα και ρωσικий текст тоже.\n";
    EXPECT_EQ(run("detect umlauts.txt").out, "umlauts.txt: text\n");
    const Outcome piped = shell("cat umlauts.txt | '" BINMAT_EXE "' detect -");
    EXPECT_EQ(piped.out, "-: text\n");
}

TEST_F(binmat_tool, failed_commands_leave_no_output_and_no_temporary_file) {
    write_file(dir / "norow", bytes::of_floats({2, 1, 2}));
    std::ofstream(dir / "bad.txt") << "2 0 1\n0 5 six\n";
    const char *outputs[] = {"out1", "out2", "out3.png", "out4"};
    for (const char *args : {"dump norow -o out1", "pack bad.txt -o out2",
                             "render norow -o out3.png", "salvage norow -o out4"}) {
        EXPECT_EQ(run(args).status, 1) << args;
    }
    for (const char *name : outputs) {
        EXPECT_FALSE(fs::exists(dir / name)) << name;
    }
    for (const auto &entry : fs::directory_iterator(dir)) {
        EXPECT_EQ(entry.path().filename().string().find(".binmat-"), std::string::npos)
            << entry.path();
    }
}

} // namespace
