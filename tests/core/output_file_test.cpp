// The one routine that writes files: what it does to each kind of target, what it refuses, and
// what it leaves behind when it fails (nothing).
#include <binmat/binmat.h>
#include <binmat/output.h>

#include "support/bytes.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

struct scratch {
    fs::path dir = process::fresh_directory();
    ~scratch() { fs::remove_all(dir); }
    fs::path operator/(const char *name) const { return dir / name; }

    std::vector<std::string> names() const {
        std::vector<std::string> found;
        for (const auto &e : fs::directory_iterator(dir)) {
            found.push_back(e.path().filename().string());
        }
        std::sort(found.begin(), found.end());
        return found;
    }
};

// NOLINTNEXTLINE(cert-err58-cpp): a few floats, made before any test runs
const binmat::grid grid{{1, 2}, {10, 20, 30}, {1, 2, 3, 4, 5, 6}};

Bytes bytes_of(const binmat::grid &g) {
    FILE *f = std::tmpfile();
    binmat::write(f, g);
    std::rewind(f);
    Bytes b = bytes::of_stream(f);
    std::fclose(f);
    return b;
}

void put(const fs::path &p, const std::string &text) { std::ofstream(p) << text; }

ino_t inode_of(const fs::path &p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::string attribute(const fs::path &p, const char *name) {
    char value[256];
    const ssize_t n = ::getxattr(p.c_str(), name, value, sizeof value);
    return n < 0 ? std::string() : std::string(value, static_cast<std::size_t>(n));
}

// Everything that arrives at the read end of a pipe, read on a thread of its own.
struct drained_pipe {
    int fds[2] = {-1, -1};
    Bytes got;
    std::thread reader;

    drained_pipe() {
        if (::pipe(fds) != 0) {
            throw std::runtime_error("pipe");
        }
        reader = std::thread([this] {
            unsigned char block[4096];
            ssize_t n = 0;
            while ((n = ::read(fds[0], block, sizeof block)) > 0) {
                got.insert(got.end(), block, block + n);
            }
        });
    }
    Bytes close_and_take() {
        ::close(fds[1]);
        reader.join();
        ::close(fds[0]);
        return got;
    }
};

TEST(output_file, replaces_a_regular_file_keeping_its_mode_and_attributes_and_its_links) {
    scratch s;
    put(s / "data", "old");
    ASSERT_EQ(::chmod((s / "data").c_str(), 0640), 0);
    const bool attributes = ::setxattr((s / "data").c_str(), "user.note", "kept", 4, 0) == 0;
    // An ACL where the file system keeps them: the group's permissions must not widen to the mask.
    const bool acl =
        std::system(("setfacl -m u:nobody:rw " + (s / "data").string() + " 2>/dev/null").c_str()) ==
        0;
    const std::string acl_before = attribute(s / "data", "system.posix_acl_access");
    fs::create_symlink("data", s / "link");
    const ino_t before = inode_of(s / "data");

    binmat::write_file(s / "link", grid);

    EXPECT_EQ(bytes::of_file((s / "data").string()), bytes_of(grid));
    EXPECT_TRUE(fs::is_symlink(s / "link"));
    EXPECT_NE(inode_of(s / "data"), before) << "replaced, not rewritten";
    struct stat st {};
    ASSERT_EQ(::stat((s / "data").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, acl ? 0660U : 0640U);
    if (attributes) {
        EXPECT_EQ(attribute(s / "data", "user.note"), "kept");
    }
    if (acl) {
        EXPECT_EQ(attribute(s / "data", "system.posix_acl_access"), acl_before);
    }
    EXPECT_EQ(s.names(), (std::vector<std::string>{"data", "link"}));

    // A row writer to a path, finished and not.
    {
        binmat::row_writer rows(s / "rows", grid.column_coordinates);
        rows.put(7, grid.row(0));
    }
    EXPECT_FALSE(fs::exists(s / "rows")) << "unfinished, it leaves nothing";
    binmat::row_writer rows(s / "rows", grid.column_coordinates, {binmat::byte_order::big, false});
    rows.put(1, grid.row(0));
    rows.put(2, grid.row(1));
    rows.finish();
    EXPECT_EQ(binmat::read_file(s / "rows", {binmat::byte_order::big}).values, grid.values);
}

TEST(output_file, writes_in_place_what_cannot_be_replaced) {
    scratch s;
    const Bytes expected = bytes_of(grid);

    // A file with another name: both names see the new data, still one file.
    put(s / "one", "old");
    fs::create_hard_link(s / "one", s / "two");
    binmat::write_file(s / "one", grid);
    EXPECT_EQ(bytes::of_file((s / "two").string()), expected);
    EXPECT_EQ(fs::hard_link_count(s / "one"), 2U);

    // A FIFO stays a FIFO and gets the data.
    ASSERT_EQ(::mkfifo((s / "fifo").c_str(), 0600), 0);
    Bytes through_fifo;
    std::thread reader([&] { through_fifo = bytes::of_file((s / "fifo").string()); });
    binmat::write_file(s / "fifo", grid);
    reader.join();
    EXPECT_EQ(through_fifo, expected);
    EXPECT_TRUE(fs::is_fifo(s / "fifo"));

    // A descriptor of this process, named by /proc/self/fd: written through, not reopened.
    drained_pipe pipe;
    binmat::write_file("/proc/self/fd/" + std::to_string(pipe.fds[1]), grid);
    EXPECT_EQ(::fcntl(pipe.fds[1], F_GETFD), 0) << "the caller's descriptor stays open";
    EXPECT_EQ(pipe.close_and_take(), expected);

    // A device node of our own (a null device), where this process may make one.
    if (::mknod((s / "null").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) {
        binmat::write_file(s / "null", grid);
        EXPECT_TRUE(fs::is_character_file(s / "null"));
    }
    std::vector<std::string> names = {"fifo", "null", "one", "two"};
    if (!fs::exists(s / "null")) {
        names.erase(names.begin() + 1);
    }
    EXPECT_EQ(s.names(), names) << "nothing beside them";
}

TEST(output_file, a_hard_linked_file_changes_only_once_its_data_are_complete) {
    scratch s;
    put(s / "one", "old");
    fs::create_hard_link(s / "one", s / "two");
    {
        binmat::output_file out(s / "one");
        std::fputs("half of some", out.stream());
    } // abandoned
    EXPECT_EQ(bytes::of_file((s / "two").string()), Bytes({'o', 'l', 'd'}));

    // Under a file-size limit the new data cannot fit: refused before the first byte changes.
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1000, 1000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        int code = 0;
        try {
            binmat::write_file(
                s / "one",
                binmat::grid{{1}, std::vector<float>(400, 1.0F), std::vector<float>(400, 2.0F)});
            code = 3;
        } catch (const binmat::output_error &e) {
            code = e.code().value() == EFBIG && e.path1() == s / "one" ? 0 : 2;
        }
        ::_exit(code);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(bytes::of_file((s / "one").string()), Bytes({'o', 'l', 'd'}));
    EXPECT_EQ(s.names(), (std::vector<std::string>{"one", "two"}));
}

TEST(output_file, refuses_with_the_path_and_the_reason_and_changes_nothing) {
    scratch s;
    fs::create_directory(s / "sub");
    fs::create_symlink("loop", s / "loop");
    fs::create_symlink("nowhere/x", s / "dangling");
    put(s / "data", "old");
    struct refusal {
        fs::path path;
        int error;
    };
    std::vector<refusal> refusals = {{s / "sub", EISDIR},
                                     {s / "missing" / "x", ENOENT},
                                     {s / "loop", ELOOP},
                                     {s / "dangling", ENOENT},
                                     {s / "data" / "x", ENOTDIR}};
    // Permissions bind only a process without the power to override them.
    if (::geteuid() != 0) {
        fs::create_directory(s / "locked");
        fs::permissions(s / "locked", fs::perms::owner_read | fs::perms::owner_exec);
        put(s / "read_only", "old");
        fs::permissions(s / "read_only", fs::perms::owner_read);
        refusals.push_back({s / "locked" / "x", EACCES});
        refusals.push_back({s / "read_only", EACCES});
    }
    const std::vector<std::string> before = s.names();
    for (const refusal &r : refusals) {
        try {
            binmat::write_file(r.path, grid);
            ADD_FAILURE() << r.path << " was written";
        } catch (const binmat::output_error &e) {
            EXPECT_EQ(e.path1(), r.path);
            EXPECT_EQ(e.code().value(), r.error) << r.path << ": " << e.what();
        }
    }
    EXPECT_EQ(s.names(), before);
    EXPECT_EQ(bytes::of_file((s / "data").string()), Bytes({'o', 'l', 'd'}));
    fs::permissions(s.dir, fs::perms::owner_all, fs::perm_options::add);
    if (fs::exists(s / "locked")) {
        fs::permissions(s / "locked", fs::perms::owner_all);
    }
}

TEST(output_file, refuses_an_output_that_is_an_input_or_another_output_under_any_name) {
    scratch s;
    put(s / "data", "old");
    fs::create_symlink("data", s / "alias");
    fs::create_hard_link(s / "data", s / "twin");
    const int open_for_writing = ::open((s / "data").c_str(), O_WRONLY);
    binmat::output_options reading;
    reading.inputs = {s / "data"};
    for (const fs::path &name : {s / "data", s.dir / "." / "data", s / "alias", s / "twin",
                                 fs::path("/proc/self/fd/" + std::to_string(open_for_writing))}) {
        EXPECT_THROW(binmat::output_file(name, reading), binmat::same_file_error) << name;
    }
    ::close(open_for_writing);
    EXPECT_EQ(bytes::of_file((s / "data").string()), Bytes({'o', 'l', 'd'}));

    // Two outputs end at one file, whether it exists or not.
    const binmat::output_file a(s / "new");
    const binmat::output_file b(s.dir / "." / "new");
    const binmat::output_file c(s / "other");
    const binmat::output_file d(s / "alias");
    const binmat::output_file e(s / "twin");
    EXPECT_TRUE(a.same_file(b));
    EXPECT_FALSE(a.same_file(c));
    EXPECT_TRUE(d.same_file(e));
}

TEST(output_file, outputs_take_their_names_only_once_all_are_complete) {
    scratch s;
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        // The second output outgrows a file-size limit when its buffer is written out, after
        // the first is complete: neither may then appear.
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{2000, 2000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        int code = 3;
        try {
            binmat::output_file first(s / "first");
            binmat::output_file second(s / "second");
            std::fputs("small", first.stream());
            const std::string big(3000, 'x');
            std::fputs(big.c_str(), second.stream());
            binmat::output_file *both[] = {&first, &second};
            binmat::commit_all(both);
        } catch (const binmat::output_error &e) {
            code = e.code().value() == EFBIG && e.path1() == s / "second" ? 0 : 2;
        }
        ::_exit(code);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(s.names().empty());
}

TEST(output_file, a_library_that_writes_by_name_writes_the_output) {
    scratch s;
    const auto through_name = [](binmat::output_file &out) {
        const fs::path name = out.name_for_library();
        std::ofstream(name) << "by name";
        out.library_opened();
        out.commit();
    };
    binmat::output_file file(s / "target");
    through_name(file);
    EXPECT_EQ(bytes::of_file((s / "target").string()), Bytes({'b', 'y', ' ', 'n', 'a', 'm', 'e'}));
    EXPECT_EQ(s.names(), (std::vector<std::string>{"target"}));

    // Through a scratch file that is copied into a stream once complete.
    drained_pipe pipe;
    binmat::output_file stream(pipe.fds[1], "pipe");
    through_name(stream);
    EXPECT_EQ(pipe.close_and_take(), Bytes({'b', 'y', ' ', 'n', 'a', 'm', 'e'}));
}

} // namespace
