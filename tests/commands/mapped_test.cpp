// A regular file is read through a map and a pipe as a stream, and a user must not be able to tell
// which: the same report, the same verdict, the same text and the same picture, for good files
// in either byte order and for every kind of damage.
#include "support/bytes.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using process::Outcome;

class mapped : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir = process::fresh_directory();
        ASSERT_FALSE(dir.empty());
        ASSERT_EQ(shell("'" BF_TEST_EXE "'").status, 0);
        ASSERT_EQ(shell("'" BINMAT_EXE "' dump binary3 -o b3.txt && '" BINMAT_EXE
                        "' pack b3.txt -o big3 --byte-order big --no-sync")
                      .status,
                  0);
        const std::vector<unsigned char> b1 = bytes::of_file((dir / "binary1").string());
        // Cut anywhere that means something: no count, inside the titles, at and inside rows.
        for (const std::ptrdiff_t length : {0, 3, 4, 50, 88, 89, 2000, 2815}) {
            save("cut" + std::to_string(length), {b1.begin(), b1.begin() + length});
        }
        std::vector<unsigned char> stray = b1;
        stray.insert(stray.end(), {0xEE, 0x01, 0x02});
        save("stray", stray);
        save("zeros", std::vector<unsigned char>(4096, 0));
        std::ofstream(dir / "text") << "x,y,z\n1,2,3\n";
        // Values that are not numbers, and a row whose coordinate is not one.
        const float nan = std::numeric_limits<float>::quiet_NaN();
        const float inf = std::numeric_limits<float>::infinity();
        save("nan", bytes::of_floats({2, 0, 1, 0, nan, inf, 1, -inf, 5}));
        save("nanrow", bytes::of_floats({1, 2, nan, inf}));
        // Sixty-four pages, so that cutting it to half leaves pages of the map with no file.
        std::vector<float> large = {127}; // 127 columns, 512 rows
        for (int k = 1; k < 513 * 128; ++k) {
            large.push_back(static_cast<float>(k % 127));
        }
        save("large", bytes::of_floats(large));
    }
    static void TearDownTestSuite() { fs::remove_all(dir); }

    static void save(const std::string &name, const std::vector<unsigned char> &b) {
        std::ofstream(dir / name, std::ios::binary)
            .write(reinterpret_cast<const char *>(b.data()),
                   static_cast<std::streamsize>(b.size()));
    }
    static Outcome shell(const std::string &line) { return process::shell(dir, line); }

    // `binmat ARGS` on the file by name, then on the file through a pipe, with the name the
    // pipe's report uses ("-") put back to the file's.
    static std::pair<Outcome, Outcome> both_ways(const std::string &file, const std::string &args) {
        Outcome named = shell("'" BINMAT_EXE "' " + args + " " + file);
        Outcome piped = shell("cat " + file + " | '" BINMAT_EXE "' " + args + " -");
        for (std::string *text : {&piped.out, &piped.err}) {
            for (std::size_t at = 0; (at = text->find("-:", at)) != std::string::npos;) {
                text->replace(at, 2, file + ":");
                at += file.size() + 1;
            }
            for (std::size_t at = 0;
                 (at = text->find("\"file\":\"-\"", at)) != std::string::npos;) {
                text->replace(at, 10, "\"file\":\"" + file + "\"");
                at += file.size();
            }
        }
        return {named, piped};
    }

    static fs::path dir;
};

fs::path mapped::dir;

const std::vector<std::string> &catalogue() {
    static const std::vector<std::string> files = {
        "binary1", "binary2", "binary3", "big3",  "cut0",  "cut3", "cut4", "cut50", "cut88",
        "cut89",   "cut2000", "cut2815", "stray", "zeros", "text", "nan",  "nanrow"};
    return files;
}

// What a report says before the hints that only a file's length allows: a stream whose first four
// bytes are no column count is not read further, so it cannot be measured.
std::string verdict(const std::string &report) {
    std::string first = report.substr(0, report.find('\n'));
    return first.substr(0, first.find("; it looks like"));
}

TEST_F(mapped, reports_and_verdicts_are_those_of_the_stream) {
    for (const std::string &file : catalogue()) {
        for (const char *args : {"info", "info --json", "info --byte-order auto", "check",
                                 "check --json", "check --byte-order big", "dump --csv"}) {
            const auto [named, piped] = both_ways(file, args);
            SCOPED_TRACE(file + ": " + args);
            EXPECT_EQ(named.status, piped.status);
            if (named.out.find("column count") != std::string::npos ||
                named.err.find("column count") != std::string::npos) {
                EXPECT_EQ(verdict(named.out), verdict(piped.out));
                EXPECT_EQ(verdict(named.err), verdict(piped.err));
                continue;
            }
            EXPECT_EQ(named.out, piped.out);
            EXPECT_EQ(named.err, piped.err);
        }
    }
}

TEST_F(mapped, pictures_are_those_of_the_stream) {
    for (const std::string file : {"binary1", "binary3", "big3", "nan", "stray"}) {
        for (const char *format : {"png", "svg"}) {
            SCOPED_TRACE(file + "." + format);
            const std::string args =
                std::string(" --title T --no-sync --byte-order auto --contours 3 --format ") +
                format + " -o ";
            std::string named = "'" BINMAT_EXE "' render ";
            named.append(file).append(args).append("named");
            std::string piped = "cat ";
            piped.append(file).append(" | '" BINMAT_EXE "' render -").append(args).append("piped");
            ASSERT_EQ(shell(named).status, 0);
            ASSERT_EQ(shell(piped).status, 0);
            EXPECT_EQ(bytes::of_file((dir / "named").string()),
                      bytes::of_file((dir / "piped").string()));
        }
    }
}

TEST_F(mapped, a_file_cut_while_mapped_is_refused_and_leaves_nothing) {
    const std::string shrinking = "cp large shrinking && LD_PRELOAD='" SHIM_LIBRARY
                                  "' BINMAT_SHIM_SHRINK_MAPPED=1 '" BINMAT_EXE "' ";
    for (const char *args : {"info shrinking", "check shrinking", "dump shrinking -o out.txt",
                             "render shrinking -o out.png",
                             "cut shrinking -o out --rows 1:", "convert shrinking out.nc"}) {
        SCOPED_TRACE(args);
        const Outcome o = shell(shrinking + args);
        EXPECT_EQ(o.status, 1) << o.out;
        EXPECT_EQ(o.err, "binmat: an input file shrank while it was being read\n");
        for (const char *output : {"out.txt", "out.png", "out", "out.nc"}) {
            EXPECT_FALSE(fs::exists(dir / output)) << output;
        }
        // The same file read as a stream is refused as what it now is: cut short.
        const Outcome piped = shell("cat shrinking | '" BINMAT_EXE "' check -");
        EXPECT_EQ(piped.status, 1);
        EXPECT_NE(piped.out.find("invalid"), std::string::npos) << piped.out;
    }
    for (const auto &entry : fs::directory_iterator(dir)) {
        EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
    }
}

} // namespace
