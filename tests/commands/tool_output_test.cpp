// What the binmat command does to the files and streams it writes: it replaces what a user
// expects and nothing else, never leaves a half-written file or a temporary one behind, and
// refuses inputs that are no grid before they can cost it anything.
#include "support/bytes.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using process::Outcome;

class tool_output : public testing::Test {
  protected:
    void SetUp() override {
        dir = process::fresh_directory();
        ASSERT_FALSE(dir.empty());
        ASSERT_EQ(process::shell(dir, "'" BF_TEST_EXE "'").status, 0);
        std::ofstream(dir / "grid.txt") << "2 0 1\n0 5 6\n1 7 8\n";
        fs::create_directory(dir / "tmp");
    }
    void TearDown() override { fs::remove_all(dir); }

    // The command with its temporary directory inside the test's, so that what it leaves there
    // shows.
    Outcome run(const std::string &args) const { return shell("'" BINMAT_EXE "' " + args); }
    Outcome shell(const std::string &line) const {
        return process::shell(dir, "export TMPDIR=tmp; " + line);
    }
    Bytes contents(const std::string &name) const { return bytes::of_file((dir / name).string()); }

    // Every name in the directory and in its temporary directory but those the test made.
    std::vector<std::string> left_behind(const std::vector<std::string> &expected = {}) const {
        std::vector<std::string> found;
        for (const fs::path &d : {dir, dir / "tmp"}) {
            for (const auto &e : fs::directory_iterator(d)) {
                const std::string name = e.path().filename().string();
                if (name.find("binmat-") != std::string::npos ||
                    std::find(expected.begin(), expected.end(), name) != expected.end()) {
                    found.push_back(name);
                }
            }
        }
        return found;
    }

    fs::path dir;
};

TEST_F(tool_output, writes_each_kind_of_target_as_it_must_be_written) {
    ASSERT_EQ(run("pack grid.txt -o packed").status, 0);
    const Bytes packed = contents("packed");

    // A link is followed and the file it ends at replaced, keeping its mode.
    std::ofstream(dir / "real") << "old";
    ASSERT_EQ(chmod((dir / "real").c_str(), 0600), 0);
    fs::create_symlink("real", dir / "link");
    EXPECT_EQ(run("pack grid.txt -o link").status, 0);
    EXPECT_TRUE(fs::is_symlink(dir / "link"));
    EXPECT_EQ(contents("real"), packed);
    EXPECT_EQ(fs::status(dir / "real").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);

    // A file with another name is written in place: both names see it.
    std::ofstream(dir / "one") << "old";
    fs::create_hard_link(dir / "one", dir / "two");
    EXPECT_EQ(run("pack grid.txt -o one").status, 0);
    EXPECT_EQ(contents("two"), packed);
    EXPECT_EQ(fs::hard_link_count(dir / "one"), 2U);

    // A FIFO stays one.
    const Outcome fifo = shell("mkfifo out.fifo && { cat out.fifo > got.txt & } && '" BINMAT_EXE
                               "' dump binary1 -o out.fifo; status=$?; wait; exit $status");
    EXPECT_EQ(fifo.status, 0) << fifo.err;
    EXPECT_TRUE(fs::is_fifo(dir / "out.fifo"));
    EXPECT_EQ(contents("got.txt"), bytes::of_file(TEST_DATA_DIR "/binary1.txt"));

    // A device node of our own stays one.
    if (mknod((dir / "null").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) {
        EXPECT_EQ(run("dump binary1 -o null").status, 0);
        EXPECT_TRUE(fs::is_character_file(dir / "null"));
    }

    // Standard output by any name is written through the descriptor it already is: into a pipe,
    // and appended to a file opened for appending.
    const Outcome piped = shell("'" BINMAT_EXE "' dump binary1 -o /dev/stdout | cat > piped.txt");
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(contents("piped.txt"), bytes::of_file(TEST_DATA_DIR "/binary1.txt"));
    std::ofstream(dir / "log") << "before\n";
    EXPECT_EQ(shell("'" BINMAT_EXE "' dump binary1 -o /dev/stdout >> log").status, 0);
    EXPECT_EQ(shell("'" BINMAT_EXE "' dump binary1 -o /proc/self/fd/3 3>> log").status, 0);
    EXPECT_EQ(contents("log").size(), 7 + 2 * contents("piped.txt").size());
    EXPECT_TRUE(left_behind().empty());
}

TEST_F(tool_output, refuses_an_output_that_is_an_input_under_any_name) {
    const Bytes before = contents("binary1");
    fs::create_symlink("binary1", dir / "alias");
    fs::create_hard_link(dir / "binary1", dir / "twin");
    for (const char *line :
         {"render binary1 -o binary1", "dump binary1 -o alias", "salvage binary1 -o binary1",
          "pack grid.txt -o grid.txt", "cut - -o twin < binary1", "cut - -o binary1 < twin",
          "dump binary1 >> twin", "convert binary1 a.npy --x binary1"}) {
        const Outcome o = shell(std::string("'" BINMAT_EXE "' ") + line);
        EXPECT_EQ(o.status, 2) << line;
        EXPECT_NE(o.err.find("is also an input"), std::string::npos) << line << ": " << o.err;
    }
    // Two outputs of one command that end at one file.
    const Outcome twice = run("convert binary1 a.npy --x ./a.npy");
    EXPECT_EQ(twice.status, 2);
    EXPECT_NE(twice.err.find("is also the output a.npy"), std::string::npos) << twice.err;
    EXPECT_EQ(contents("binary1"), before);
    EXPECT_EQ(contents("grid.txt").size(), 18U);
    EXPECT_FALSE(fs::exists(dir / "a.npy"));
    EXPECT_TRUE(left_behind().empty());
}

TEST_F(tool_output, a_target_that_cannot_be_written_is_refused_with_its_reason) {
    fs::create_directory(dir / "sub");
    fs::create_symlink("loop", dir / "loop");
    struct Case {
        const char *output;
        const char *reason;
    };
    std::vector<Case> cases = {{"sub", "Is a directory"},
                               {"missing/x", "No such file or directory"},
                               {"loop", "Too many levels of symbolic links"}};
    for (const Case &c : cases) {
        const Outcome o = run(std::string("dump binary1 -o ") + c.output);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.err, std::string("binmat: ") + c.output + ": " + c.reason + "\n");
    }
    // A locked directory and a read-only file, as a user without the power to override them.
    fs::create_directory(dir / "locked");
    std::ofstream(dir / "read_only") << "old";
    fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec |
                                        fs::perms::group_read | fs::perms::group_exec |
                                        fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(dir / "read_only",
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::permissions(dir, fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
    const std::string as_user = geteuid() == 0 ? "setpriv --reuid=nobody --regid=nogroup "
                                                 "--clear-groups "
                                               : "";
    for (const char *output : {"locked/x", "read_only"}) {
        const Outcome o = shell(as_user + "'" BINMAT_EXE "' pack grid.txt -o " + output);
        EXPECT_EQ(o.status, 1) << output;
        EXPECT_EQ(o.err, std::string("binmat: ") + output + ": Permission denied\n");
    }
    EXPECT_EQ(contents("read_only"), Bytes({'o', 'l', 'd'}));
    fs::permissions(dir / "locked", fs::perms::owner_all);
    EXPECT_TRUE(left_behind().empty());
}

// The stand-in for system calls, preloaded: it records them, or refuses unnamed files.
constexpr const char *shim = "LD_PRELOAD='" SHIM_LIBRARY "' "
                             "ASAN_OPTIONS=${ASAN_OPTIONS:-}:verify_asan_link_order=0 "
                             "BINMAT_SHIM_LOG=calls.log ";

// The order of the calls that make a replaced file durable, as the stand-in records it.
TEST_F(tool_output, syncs_the_data_before_the_name_and_the_directory_after) {
    const auto calls = [&](const std::string &environment, const std::string &args) {
        fs::remove(dir / "calls.log");
        const Outcome o = shell(shim + environment + " '" BINMAT_EXE "' " + args);
        EXPECT_EQ(o.status, 0) << args << ": " << o.err;
        const Bytes log = contents("calls.log");
        return std::string(log.begin(), log.end());
    };
    EXPECT_EQ(calls("", "pack grid.txt -o packed"), "fdatasync\nlinkat\nrename\nfsync\n");
    EXPECT_EQ(calls("", "pack grid.txt -o packed --no-sync"), "linkat\nrename\n");
    EXPECT_EQ(calls("", "convert binary1 b.nc"), "fdatasync\nrename\nfsync\n");
    // Where unnamed files cannot be made, the hidden name is synced the same way.
    EXPECT_EQ(calls("BINMAT_SHIM_NO_TMPFILE=1", "pack grid.txt -o packed"),
              "fdatasync\nrename\nfsync\n");
}

TEST_F(tool_output, signals_and_closed_pipes_leave_nothing_behind) {
    // A conversion to three files waits for the rest of its input from a FIFO when it is stopped;
    // with and without unnamed temporaries. Every signal at its default first: a caller that
    // ignores one (nohup ignores SIGHUP) hands that on, and binmat leaves it ignored.
    struct Case {
        const char *signal;
        int status;
    };
    for (const std::string &named :
         {std::string(), std::string(shim) + "BINMAT_SHIM_NO_TMPFILE=1"}) {
        for (const Case c :
             {Case{"TERM", 143}, Case{"INT", 130}, Case{"HUP", 129}, Case{"BUS", 1}}) {
            const Outcome o = shell(
                "rm -f in.fifo && mkfifo in.fifo && { " + named +
                " env --default-signal '" BINMAT_EXE
                "' convert in.fifo a.npy --from binmat --x ax.npy --y ay.npy < /dev/null & } && "
                "pid=$! && exec 3> in.fifo && printf '\\000\\000' >&3 && "
                "for i in $(seq 200); do "
                "  [ $(ls -l /proc/$pid/fd 2>/dev/null | grep -cE 'deleted|[.]binmat-') -ge 3 ] "
                "    && break; "
                "  sleep 0.02; "
                "done && kill -" +
                c.signal + " $pid; wait $pid; echo $?");
            EXPECT_EQ(o.out, std::to_string(c.status) + "\n") << named << c.signal << o.err;
            EXPECT_TRUE(left_behind({"a.npy", "ax.npy", "ay.npy"}).empty()) << named << c.signal;
        }
    }
    // A reader that closes the pipe early: no scratch file stays in the temporary directory.
    std::vector<float> floats = {200};
    for (int i = 1; i < 201 * 200; ++i) {
        floats.push_back(static_cast<float>(i % 997) / 7);
    }
    std::ofstream(dir / "big", std::ios::binary)
        << std::string(reinterpret_cast<const char *>(floats.data()), 4 * floats.size());
    ASSERT_EQ(run("convert big big.csv --no-sync").status, 0);
    for (const char *line :
         {"convert big - --to netcdf | head -c 10 > /dev/null", "dump big | head -c 10 > /dev/null",
          "convert big.csv - --to netcdf | head -c 10 > /dev/null"}) {
        const Outcome o = shell(std::string("'" BINMAT_EXE "' ") + line);
        EXPECT_EQ(o.status, 0) << line << o.err;
        EXPECT_TRUE(left_behind().empty()) << line;
    }
}

TEST_F(tool_output, a_failed_write_is_an_error_with_its_reason_and_leaves_nothing) {
    // A file-size limit fails the write part-way, as a full disk does.
    for (const char *args : {"dump binary3 -o out.txt", "convert binary3 out.nc",
                             "convert binary3 - --to netcdf > out.nc"}) {
        const Outcome o = shell(std::string("ulimit -f 4 && '" BINMAT_EXE "' ") + args);
        EXPECT_EQ(o.status, 1) << args;
        EXPECT_NE(o.err.find("write error: File too large\n"), std::string::npos) << o.err;
        EXPECT_TRUE(left_behind({"out.txt"}).empty()) << args;
        fs::remove(dir / "out.nc");
    }
    for (const char *args : {"info binary1", "check binary1", "detect binary1", "--help",
                             "help info", "dump binary1", "info --json binary1"}) {
        const Outcome o = run(std::string(args) + " > /dev/full");
        EXPECT_EQ(o.status, 1) << args;
        EXPECT_EQ(o.err, "binmat: write error: No space left on device\n") << args;
    }
    const Outcome named = run("dump binary1 -o /dev/stdout > /dev/full");
    EXPECT_EQ(named.err, "binmat: /dev/stdout: write error: No space left on device\n");
}

TEST_F(tool_output, inputs_that_are_no_grid_are_refused_before_they_cost_anything) {
    // /dev/zero never ends: each reader must stop at its first bytes.
    for (const char *args :
         {"info /dev/zero", "check /dev/zero", "dump /dev/zero", "render /dev/zero -o z.png",
          "salvage /dev/zero -o z", "cut /dev/zero -o z", "info --byte-order auto /dev/zero",
          "convert /dev/zero z.csv", "convert /dev/zero z --from csv",
          "convert /dev/zero z --from netcdf", "convert /dev/zero z --from npy",
          "pack /dev/zero -o z"}) {
        const Outcome o = shell(std::string("timeout 20 '" BINMAT_EXE "' ") + args);
        EXPECT_EQ(o.status, 1) << args << ": " << o.err;
        EXPECT_TRUE(left_behind({"z", "z.png", "z.csv"}).empty()) << args;
    }
    // A field of a megabyte, full of escape sequences, comes back short and harmless.
    {
        std::ofstream csv(dir / "hostile.csv");
        csv << "x,y,z\n1,2,";
        for (int i = 0; i < 100000; ++i) {
            csv << "\x1b[2J\x1b]0;";
        }
        csv << "\n";
        std::ofstream text(dir / "hostile.txt");
        text << "1 0\n0 " << std::string(1000000, 'A') << "\x07\n";
    }
    for (const char *args : {"convert hostile.csv z", "pack hostile.txt -o z"}) {
        const Outcome o = run(args);
        EXPECT_EQ(o.status, 1) << args;
        EXPECT_LT(o.err.size(), 200U) << args;
        EXPECT_EQ(o.err.find('\x1b'), std::string::npos) << args;
        EXPECT_EQ(o.err.find('\x07'), std::string::npos) << args;
        EXPECT_NE(o.err.find("...' is not a number"), std::string::npos) << o.err;
    }
}

TEST_F(tool_output, a_dump_larger_than_its_buffer_packs_back_to_the_same_file) {
    // 300 x 300 values of up to 13 characters: far more than one 64 KiB block of text.
    std::ofstream text(dir / "big.txt");
    text << "300";
    for (int j = 0; j < 300; ++j) {
        text << ' ' << j;
    }
    text << '\n';
    for (int i = 0; i < 300; ++i) {
        text << i;
        for (int j = 0; j < 300; ++j) {
            text << ' ' << 1.0 / (i * 300 + j + 3);
        }
        text << '\n';
    }
    text.close();
    ASSERT_EQ(run("pack big.txt -o big.bin").status, 0);
    const Outcome o = shell("'" BINMAT_EXE "' dump big.bin | '" BINMAT_EXE "' pack - -o back.bin");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(contents("back.bin"), contents("big.bin"));
}

} // namespace
