// What the binmat command does to the files and streams it writes: it replaces what a user
// expects and nothing else, and never leaves a half-written file or a temporary one behind.
#include "support/bytes.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>

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
    }
    void TearDown() override { fs::remove_all(dir); }

    Outcome run(const std::string &args) const {
        return process::shell(dir, "'" BINMAT_EXE "' " + args);
    }
    Outcome shell(const std::string &line) const { return process::shell(dir, line); }
    Bytes contents(const std::string &name) const { return bytes::of_file((dir / name).string()); }

    // Every file in the directory whose name marks it as a temporary one.
    std::vector<std::string> temporaries() const {
        std::vector<std::string> found;
        for (const auto &e : fs::directory_iterator(dir)) {
            const std::string name = e.path().filename().string();
            if (name.find(".binmat-") != std::string::npos) {
                found.push_back(name);
            }
        }
        return found;
    }

    fs::path dir;
};

TEST_F(tool_output, replaces_the_file_a_link_ends_at_keeping_its_mode) {
    ASSERT_EQ(run("pack grid.txt -o real.bin").status, 0);
    const Bytes packed = contents("real.bin");
    std::ofstream(dir / "real.bin") << "old";
    ASSERT_EQ(chmod((dir / "real.bin").c_str(), 0600), 0);
    fs::create_symlink("real.bin", dir / "link.bin");
    const Outcome o = run("pack grid.txt -o link.bin");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(fs::is_symlink(dir / "link.bin"));
    EXPECT_EQ(contents("real.bin"), packed);
    struct stat st {};
    ASSERT_EQ(stat((dir / "real.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600U);
    EXPECT_TRUE(temporaries().empty());
}

TEST_F(tool_output, writes_linked_files_and_fifos_in_place) {
    std::ofstream(dir / "one.bin") << "old";
    fs::create_hard_link(dir / "one.bin", dir / "two.bin");
    ASSERT_EQ(run("pack grid.txt -o one.bin").status, 0);
    EXPECT_EQ(contents("two.bin"), contents("one.bin")) << "the other link sees the new file";
    EXPECT_EQ(fs::hard_link_count(dir / "one.bin"), 2U);

    const Outcome fifo = shell("mkfifo out.fifo && { cat out.fifo > got.txt & } && '" BINMAT_EXE
                               "' dump binary1 -o out.fifo; status=$?; wait; exit $status");
    EXPECT_EQ(fifo.status, 0) << fifo.err;
    EXPECT_TRUE(fs::is_fifo(dir / "out.fifo"));
    EXPECT_EQ(contents("got.txt"), bytes::of_file(TEST_DATA_DIR "/binary1.txt"));
    EXPECT_EQ(run("dump binary1 -o /dev/null").status, 0);
}

TEST_F(tool_output, refuses_an_output_that_is_one_of_the_inputs) {
    const Bytes before = contents("binary1");
    fs::create_symlink("binary1", dir / "alias");
    for (const char *args : {"render binary1 -o binary1", "dump binary1 -o alias",
                             "salvage binary1 -o binary1", "pack grid.txt -o grid.txt"}) {
        const Outcome o = run(args);
        EXPECT_EQ(o.status, 2) << args;
        EXPECT_NE(o.err.find("is also an input"), std::string::npos) << o.err;
    }
    EXPECT_EQ(contents("binary1"), before);
    EXPECT_EQ(contents("grid.txt").size(), 18U);
    EXPECT_TRUE(temporaries().empty());
}

TEST_F(tool_output, a_failed_write_leaves_neither_the_output_nor_a_temporary_file) {
    // A file-size limit fails the write part-way, as a full disk does.
    const Outcome o = shell("ulimit -f 4 && '" BINMAT_EXE "' dump binary3 -o out.txt");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "binmat: out.txt: write error: File too large\n");
    EXPECT_FALSE(fs::exists(dir / "out.txt"));
    EXPECT_TRUE(temporaries().empty());
}

TEST_F(tool_output, a_signal_during_a_write_removes_the_temporary_file) {
    struct Case {
        const char *signal;
        int status;
    };
    for (const Case c : {Case{"TERM", 143}, Case{"INT", 130}, Case{"HUP", 129}}) {
        // binmat holds its temporary file while it waits for the rest of its input.
        const Outcome o = shell(std::string("rm -f in.fifo && mkfifo in.fifo && "
                                            "{ env --default-signal=INT '" BINMAT_EXE
                                            "' dump - -o out.txt < in.fifo & } && pid=$! && "
                                            "exec 3> in.fifo && printf '\\000\\000' >&3 && "
                                            "for i in $(seq 200); do "
                                            "  ls -a | grep -q binmat- && break; sleep 0.05; "
                                            "done && kill -") +
                                c.signal + " $pid; wait $pid; echo $?");
        EXPECT_EQ(o.out, std::to_string(c.status) + "\n") << c.signal << o.err;
        EXPECT_TRUE(temporaries().empty()) << c.signal;
        EXPECT_FALSE(fs::exists(dir / "out.txt")) << c.signal;
    }
}

TEST_F(tool_output, a_failed_write_to_standard_output_is_an_error) {
    for (const char *args : {"info binary1", "check binary1", "detect binary1", "--help",
                             "help info", "dump binary1", "info --json binary1"}) {
        const Outcome o = run(std::string(args) + " > /dev/full");
        EXPECT_EQ(o.status, 1) << args;
        EXPECT_EQ(o.err, "binmat: write error: No space left on device\n") << args;
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
