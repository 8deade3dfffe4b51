// Output files that never damage what they write to. Every face of binmat writes its files through
// this one routine: the library's write_file and row_writer, the binmat command and the Python
// package.
//
// - A regular file, or one that does not exist yet, is replaced atomically: the data go to an
//   unnamed file in the target's directory, which takes a hidden name only once complete and is
//   renamed over the target at once. Before it takes the name its data are synced, and after the
//   rename its directory, so that the file survives a power cut whole (unless sync is off). The
//   new file keeps the old one's mode, owner and group (where the process may set them), ACLs and
//   other extended attributes. A SIGKILL between the hidden name and the rename can leave the
//   hidden name (".NAME.binmat-XXXXXX") behind; at any other moment nothing is left.
// - A FIFO, a character or block device, and a regular file with other hard links are written in
//   place and never replaced. A hard-linked file receives its data only once they are complete,
//   so that a failure while they are made leaves it as it was.
// - /dev/stdout, /dev/stderr, /dev/fd/N and /proc/self/fd/N are written through the descriptor
//   this process already holds, never reopened, so that an output opened for appending appends.
// - Symbolic links are followed to the file they end at.
#pragma once

#include <cstdio>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace binmat {

struct output_options {
    // Sync the data before the file takes its name, and the directory after: false only for
    // scratch files, whose loss after a crash costs nothing.
    bool sync = true;
    // Files that are read while this one is written ("/dev/stdin" for standard input): an output
    // that is one of them, under any name, is refused before anything is written.
    std::vector<std::filesystem::path> inputs;
};

// What an output's path comes to once symbolic links are followed.
enum class output_kind {
    replaced,   // a regular file with one name, or none yet
    in_place,   // a FIFO, a device, or a regular file with other hard links
    descriptor, // a descriptor this process holds open (standard output, /proc/self/fd/N)
};

// An output that cannot be opened, written or put in place: `path()` is the path as it was given,
// `doing()` says which ("cannot write", ...), and code() is the system's reason.
class output_error : public std::filesystem::filesystem_error {
  public:
    output_error(const char *doing, const std::filesystem::path &path, std::error_code reason);
    const char *doing() const noexcept { return doing_; }

  private:
    const char *doing_;
};

// An output that is one of the files being read, or another output, under whatever name: writing
// it would destroy what is read.
class same_file_error : public std::invalid_argument {
  public:
    same_file_error(const std::filesystem::path &output, const std::filesystem::path &other);
    const std::filesystem::path &output() const noexcept { return output_; }
    const std::filesystem::path &other() const noexcept { return other_; }

  private:
    std::filesystem::path output_;
    std::filesystem::path other_;
};

// One output file, open until it is committed or destroyed. Destroyed uncommitted, it leaves the
// target as it was and nothing beside it.
class output_file {
  public:
    // Opens the output `path` names, checking all that can be checked before a byte is written:
    // throws output_error for a directory, a missing or unwritable directory, an unwritable file
    // or a loop of links, and same_file_error for one of options.inputs.
    explicit output_file(const std::filesystem::path &path, const output_options &options = {});
    // An output through a descriptor the caller keeps open (standard output), called `name` in
    // errors; the descriptor is neither closed nor reopened.
    output_file(int descriptor, const std::string &name, const output_options &options = {});
    ~output_file();
    output_file(const output_file &) = delete;
    output_file &operator=(const output_file &) = delete;

    output_kind kind() const noexcept { return kind_; }
    // The path as it was given, for messages.
    const std::filesystem::path &path() const noexcept { return path_; }

    // Where the data go, as a descriptor or as a buffered stream over it; both belong to the
    // output. A stream's buffered bytes are written out when the output is committed.
    int descriptor() const noexcept { return staging_ >= 0 ? staging_ : fd_; }
    std::FILE *stream();
    // Whether descriptor() is a new regular file of the output's own, written from its start, in
    // which data may be placed by offset.
    bool positioned() const noexcept { return staging_ >= 0 || kind_ == output_kind::replaced; }

    // For a library that opens files only by name: a hidden name, not yet taken, beside the
    // target (or in the temporary directory) under which the library creates the file the data
    // go to; then library_opened() takes that file over as the output's. Ask before anything is
    // written. A replaced file keeps the name until it is renamed, so that a SIGKILL while the
    // library writes leaves it behind (any other end removes it); other outputs lose it at once.
    // (A file handed over for the library to truncate would be written out by ext4 when closed.)
    std::filesystem::path name_for_library();
    void library_opened();

    // Whether the two outputs end at one file.
    bool same_file(const output_file &other) const noexcept;

    // Writes out what is buffered and puts the file in place; throws output_error.
    void commit();

  private:
    friend void commit_all(std::span<output_file *const> outputs);
    void complete();
    void publish();
    void take_descriptor(int descriptor, const output_options &options);
    void stage();
    void discard() noexcept;

    std::filesystem::path path_;
    output_kind kind_ = output_kind::replaced;
    bool sync_ = true;
    int fd_ = -1;        // the file written, its temporary, or the descriptor written through
    bool own_fd_ = true; // false for a caller's descriptor
    int staging_ = -1;   // complete data, put into fd_ at commit
    std::filesystem::path staging_parent_;
    int staging_directory_ = -1;
    std::string library_name_; // a hidden name a library creates the data's file under
    std::filesystem::path library_parent_;
    int library_directory_ = -1;
    int library_pending_ = -1;
    // What a replaced file was, for the file a library makes to keep: its path, mode and owner.
    std::filesystem::path kept_from_;
    unsigned kept_mode_ = 0;
    unsigned kept_owner_ = 0;
    unsigned kept_group_ = 0;
    std::filesystem::path parent_; // the replaced file's directory
    int directory_ = -1;           // open
    std::string name_;             // the replaced file's name in it
    bool unnamed_ = false;
    std::string temporary_; // the hidden name the data take before the rename
    int pending_ = -1;      // its place among the names a signal handler removes
    std::FILE *stream_ = nullptr;
    bool committed_ = false;
    // What the output ends at, to compare with others: a file's device and inode, or, for a file
    // not made yet, its directory's and its name.
    unsigned long long device_ = 0;
    unsigned long long inode_ = 0;
    bool absent_ = false;
};

// Completes every output, then puts them in place: none takes its name before all are complete.
void commit_all(std::span<output_file *const> outputs);

// Removes the hidden names that the uncommitted outputs of this process hold. For a program's own
// signal handler: async-signal-safe. The library installs no handler of its own.
void remove_pending_outputs() noexcept;

} // namespace binmat
