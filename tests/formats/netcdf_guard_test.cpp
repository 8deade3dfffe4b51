// NetCDF files from strangers: the NetCDF libraries decode them in a helper process, so that a
// file that crashes, hangs or starves them costs binmat a refusal, never its own life; and what
// the helper answers is checked before it is believed.
#include "support/bytes.h"
#include "support/process.h"
#include "support/sanitizers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using process::Outcome;
using Bytes = std::vector<unsigned char>;

constexpr const char *failed_library = "the NetCDF library failed on this file (";

class netcdf_guard : public testing::Test {
  protected:
    void SetUp() override {
        dir = process::fresh_directory();
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override { fs::remove_all(dir); }

    // The command, with a CPU time limit that ends the helper's endless loops in a second or two.
    Outcome convert(const std::string &args) const {
        return process::shell(dir, "ulimit -t 3; '" BINMAT_EXE "' convert " + args);
    }
    // Makes NAME.nc of the given kind from CDL text with ncgen.
    void ncgen(const std::string &name, const std::string &kind, const std::string &cdl) const {
        std::ofstream(dir / (name + ".cdl")) << cdl;
        ASSERT_EQ(
            process::shell(dir, "ncgen -k " + kind + " -o " + name + ".nc " + name + ".cdl").status,
            0);
    }
    void put(const std::string &name, const Bytes &b) const {
        std::ofstream(dir / name, std::ios::binary)
            .write(reinterpret_cast<const char *>(b.data()),
                   static_cast<std::streamsize>(b.size()));
    }

    fs::path dir;
};

const char *const grid_cdl = R"(netcdf grid {
dimensions: t = UNLIMITED ; x = 3 ; y = 4 ;
variables:
  double x(x) ; x:units = "degrees_north" ;
  float y(y) ;
  short z(x, y) ; z:scale_factor = 0.5 ; z:_FillValue = -1s ;
  float r(t, y) ;
data:
  x = 1, 2, 3 ; y = 10, 20, 30, 40 ;
  z = 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, -1 ;
  r = 1, 2, 3, 4, 5, 6, 7, 8 ;
}
)";

constexpr const char *kinds[] = {"classic", "64-bit-offset", "cdf5", "nc4"};

TEST_F(netcdf_guard, files_that_crashed_the_netcdf_libraries_are_refused) {
    std::ifstream list(TEST_DATA_DIR "/netcdf/hostile/expected.txt");
    std::map<std::string, std::string> expected;
    for (std::string line; std::getline(list, line);) {
        if (!line.empty() && line[0] != '#') {
            expected[line.substr(0, line.find(':'))] = line.substr(line.find(':') + 2);
        }
    }
    ASSERT_EQ(expected.size(), 8U);
    for (const auto &[name, how] : expected) {
        const fs::path file = fs::path(TEST_DATA_DIR "/netcdf/hostile") / name;
        const Outcome o = convert("'" + file.string() + "' out --to binmat --variable z");
        EXPECT_EQ(o.status, 1) << name;
        const std::string reason = o.err.substr(o.err.find(": the") + 2);
        EXPECT_EQ(reason.rfind(failed_library, 0), 0U) << name << ": " << o.err;
        // A sanitizer reports a crash in the helper and exits instead of dying of the signal.
#ifndef BINMAT_UNDER_ASAN
        EXPECT_EQ(reason,
                  std::string(failed_library) + how + "): it is damaged or not a NetCDF file\n")
            << name;
#endif
        EXPECT_FALSE(fs::exists(dir / "out")) << name;
    }
}

TEST_F(netcdf_guard, a_classic_file_cut_short_is_refused_naming_both_sizes) {
    for (const std::string kind : {"classic", "64-bit-offset", "cdf5"}) {
        ncgen("grid", kind, grid_cdl);
        const Bytes whole = bytes::of_file((dir / "grid.nc").string());
        // Cut inside the last record, inside the header, and at the end of the fixed variables.
        for (const std::size_t keep : {whole.size() - 4, std::size_t{40}, whole.size() - 32}) {
            put("cut.nc", Bytes(whole.begin(), whole.begin() + static_cast<long>(keep)));
            const Outcome o = convert("cut.nc - --to csv --variable z");
            EXPECT_EQ(o.status, 1) << kind << " " << keep;
            EXPECT_EQ(o.out, "") << kind << " " << keep;
            const std::string has = std::to_string(keep);
            EXPECT_TRUE(o.err.find("a NetCDF classic file cut short") != std::string::npos &&
                        o.err.find(has) != std::string::npos)
                << kind << " " << keep << ": " << o.err;
        }
        // Whole, it converts; so it does from standard input.
        EXPECT_EQ(convert("grid.nc - --to csv --variable z").status, 0) << kind;
        EXPECT_EQ(convert("- - --from netcdf --to csv --variable r < grid.nc").status, 0) << kind;
    }
}

TEST_F(netcdf_guard, mutated_files_of_every_kind_end_in_a_grid_or_a_refusal) {
    std::mt19937 mutations(20261210);
    for (const std::string kind : kinds) {
        ncgen(kind, kind, grid_cdl);
        const Bytes whole = bytes::of_file((dir / (kind + ".nc")).string());
        for (int round = 0; round < 40; ++round) {
            Bytes b = whole;
            const auto at = [&] {
                return std::uniform_int_distribution<std::size_t>(0, b.size() - 1)(mutations);
            };
            switch (round % 4) {
            case 0: // bits flipped
                for (int k = 0; k < 4; ++k) {
                    b[at()] ^= static_cast<unsigned char>(1U << (mutations() % 8));
                }
                break;
            case 1: { // a count or offset made huge
                const std::size_t i = at();
                for (std::size_t k = i; k < std::min(b.size(), i + 4); ++k) {
                    b[k] = 0x7F;
                }
                break;
            }
            case 2: // cut short
                b.resize(at());
                break;
            default: // a block copied from elsewhere in the file
                for (std::size_t i = at(), j = at(), k = 0;
                     k < 16 && i + k < b.size() && j + k < b.size(); ++k) {
                    b[i + k] = b[j + k];
                }
            }
            put("m.nc", b);
            const Outcome o = convert("m.nc out --to binmat --variable z");
            ASSERT_TRUE(o.status == 0 || o.status == 1) << kind << " " << round << ": " << o.err;
            if (o.status == 1) {
                EXPECT_EQ(o.err.rfind("binmat: m.nc: ", 0), 0U) << o.err;
                EXPECT_FALSE(fs::exists(dir / "out"));
            }
            fs::remove(dir / "out");
        }
    }
}

TEST_F(netcdf_guard, a_grid_too_large_for_memory_is_refused_before_it_is_decoded) {
    // A few kilobytes that declare 10^11 compressed cells.
    ncgen("huge", "nc4", R"(netcdf huge {
dimensions: x = 1000000 ; y = 100000 ;
variables: float z(x, y) ; z:_Storage = "chunked" ; z:_ChunkSizes = 1000, 1000 ;
  z:_DeflateLevel = 1 ;
}
)");
    const Outcome o = convert("huge.nc out --to binmat");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "binmat: huge.nc: not enough memory for a grid of 1000000 x 100000 "
                     "(400000000000 bytes)\n");
}

// A stand-in for the helper that answers with the given frame, to see that binmat does not
// believe what does not fit.
std::string frame(unsigned char kind, const Bytes &payload) {
    std::string f = "BMNC";
    f += static_cast<char>(kind);
    for (int i = 0; i < 4; ++i) {
        f += static_cast<char>(payload.size() >> (8 * i));
    }
    f.append(payload.begin(), payload.end());
    return f;
}

Bytes description(std::uint64_t rows, std::uint64_t columns, bool stored, std::uint64_t offset) {
    Bytes p = {1, 0, 0, 0, 'z'};
    for (const std::uint64_t n : {rows, columns}) {
        for (int i = 0; i < 8; ++i) {
            p.push_back(static_cast<unsigned char>(n >> (8 * i)));
        }
    }
    p.push_back(stored ? 1 : 0);
    for (int i = 0; i < 8; ++i) {
        p.push_back(static_cast<unsigned char>(offset >> (8 * i)));
    }
    return p;
}

TEST_F(netcdf_guard, what_the_helper_says_is_checked_before_it_is_believed) {
    fs::create_directory(dir / "parts");
    std::ofstream(dir / "small.nc") << std::string(100, 'x');
    struct Case {
        std::string answer;
        std::string message;
    };
    const Case cases[] = {
        {frame(1, description(2, 2, true, 96)), "values stored beyond the file"},
        {frame(1, description(1U << 31, 2, false, 0)), "a description that no grid of"},
        {frame(1, description(2, 0, false, 0)), "a description that no grid of"},
        {frame(2, {0, 0, 0, 0}), "a description that no grid of"},
        {"BMNC\x01\xff\xff\xff\xff", "a malformed frame"},
        {frame(4, {0, 0, 0, 0}), "a malformed frame"},
        {frame(3, {5, 0, 0, 0, 'n', 'o', '\x1b', '[', '2'}), "no\\x1b[2"},
        {"", "the NetCDF library failed on this file (exit status 0)"},
    };
    // It serves as the helper does: a worker forked for each request, whose start and end it
    // tells; the worker sends the answer and ends.
    std::ofstream(dir / "parts" / "binmat-read-netcdf") << R"(#!/usr/bin/python3
import array, os, socket, struct, sys
answer = open(os.path.join(os.path.dirname(sys.argv[0]), "..", "answer"), "rb").read()
server = socket.socket(fileno=3)
while True:
    request, extra, _, _ = server.recvmsg(9000, socket.CMSG_LEN(16))
    if not request:
        break
    fds = array.array("i")
    fds.frombytes(extra[0][2])
    pid = os.fork()
    if pid == 0:
        os.write(fds[2], answer)
        os._exit(0)
    for fd in fds:
        os.close(fd)
    server.send(struct.pack("<i4xq", 1, pid))
    server.send(struct.pack("<i4xq", 2, os.waitpid(pid, 0)[1]))
)";
    fs::permissions(dir / "parts" / "binmat-read-netcdf", fs::perms::owner_all);
    for (const Case &c : cases) {
        std::ofstream(dir / "answer", std::ios::binary) << c.answer;
        const Outcome o = process::shell(dir, "BINMAT_LIBEXEC_DIR=parts '" BINMAT_EXE
                                              "' convert small.nc out --to binmat");
        EXPECT_EQ(o.status, 1) << c.message;
        EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
        EXPECT_FALSE(fs::exists(dir / "out"));
    }
}

} // namespace
