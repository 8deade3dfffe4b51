// What the NetCDF helper and the command say to each other. The helper is a server, started once
// per process: it loads netCDF-C and HDF5 and readies them, and for each file the command asks
// about it forks a worker, a fresh copy of itself that decodes that file alone under resource
// limits. The worker answers in frames on a pipe: first a description of the variable it will
// read, then, once the command has made room for the values, a word that they are in place (or,
// at any point, a refusal); the server says when the worker started and how it ended. The
// command trusts none of it: every frame is checked against the limits below and against the
// file before it is used.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace binmat::netcdf_protocol {

inline constexpr std::uint32_t text_limit = 4096;   // bytes in one text
inline constexpr std::uint32_t warnings_limit = 16; // warnings in one frame
inline constexpr std::uint32_t listed_limit = 64;   // variables in a listing
inline constexpr std::uint32_t index_limit = 32;    // dimensions fixed by index in a request
inline constexpr std::size_t header_bytes = 9;      // "BMNC", the kind, the payload's length
// The largest payload the helper can send: a listing of as many variables as it holds, every
// text at its limit.
inline constexpr std::uint32_t payload_limit =
    (4 + text_limit) + 8 + 4 + listed_limit * (4 * (4 + text_limit) + 1);

enum class kind : std::uint8_t { description = 1, done = 2, refusal = 3, listing = 4 };

// A variable as a listing shows it.
struct listed {
    std::string name;  // with its group's path, for a variable outside the root group
    std::string shape; // "time=1, lat=181, lon=360"
    std::string type;
    // 1: a grid as it is or with its dimensions of one value dropped; 2: one with `index`
    // (the --index options that pick its first slice); 0: none.
    std::uint64_t grid = 0;
    std::string index;
};

struct frame {
    kind what = kind::refusal;
    // description: the variable and its shape, and where its values lie in the file when they
    // can be used as stored (little-endian floats, row-major, contiguous).
    std::string variable;
    std::uint64_t rows = 0;
    std::uint64_t columns = 0;
    bool stored_whole = false;
    std::uint64_t offset = 0;
    // done: the warnings about values rounded on the way to single precision.
    std::vector<std::string> warnings;
    // refusal: why the file or the variable is refused.
    std::string reason;
    // listing: the file's kind ("NetCDF-4", ...), its variables and how many there are in all.
    std::string file_kind;
    std::vector<listed> variables;
    std::uint64_t variable_count = 0;
};

// A file to decode, sent to the server with four descriptors: the input, the socket the go-ahead
// comes on, the pipe the frames go to, and the shared memory.
struct request {
    bool stream = false; // read the input to its end; else it is the file at `path`
    std::string path;
    std::string variable;                                     // empty: the only 2-D one
    std::vector<std::pair<std::string, std::uint64_t>> index; // dimensions fixed at an index
    bool list = false; // list the variables instead of reading one
};
inline constexpr std::size_t request_limit = (2 + index_limit) * (text_limit + 12) + 16;

std::vector<unsigned char> encode(const request &r);
bool decode(std::span<const unsigned char> bytes, request &r);

// What the server says of a worker: that it started (its process id, or -errno), then how it
// ended (its wait status).
struct news {
    enum : std::int32_t { started = 1, ended = 2 } what = started;
    std::int64_t value = 0;
};

// The frame as bytes: header, then the payload of its kind.
std::vector<unsigned char> encode(const frame &f);

// The payload's length from a frame's header, or false for a header that is not one.
bool payload_length(std::span<const unsigned char> header, std::uint32_t &length);

// Decodes a whole frame, header and payload; false with the reason for anything else than
// exactly one well-formed frame.
bool decode(std::span<const unsigned char> bytes, frame &f, std::string &error);

} // namespace binmat::netcdf_protocol
