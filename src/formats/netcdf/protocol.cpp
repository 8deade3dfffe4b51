#include "protocol.h"

#include <cstring>

namespace binmat::netcdf_protocol {

namespace {

constexpr unsigned char magic[4] = {'B', 'M', 'N', 'C'};

void put_number(std::vector<unsigned char> &out, std::uint64_t n, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<unsigned char>(n >> (8 * i)));
    }
}

void put_text(std::vector<unsigned char> &out, const std::string &s) {
    const std::size_t n = std::min<std::size_t>(s.size(), text_limit);
    put_number(out, n, 4);
    out.insert(out.end(), s.begin(), s.begin() + static_cast<long>(n));
}

// Reads the payload's fields in order; every length is checked before it is used.
class reader {
  public:
    explicit reader(std::span<const unsigned char> bytes) : bytes_(bytes) {}

    bool number(std::uint64_t &n, int bytes) {
        if (bytes_.size() - at_ < static_cast<std::size_t>(bytes)) {
            return false;
        }
        n = 0;
        for (int i = bytes - 1; i >= 0; --i) {
            n = n << 8 | bytes_[at_ + static_cast<std::size_t>(i)];
        }
        at_ += static_cast<std::size_t>(bytes);
        return true;
    }
    bool text(std::string &s) {
        std::uint64_t n = 0;
        if (!number(n, 4) || n > text_limit || bytes_.size() - at_ < n) {
            return false;
        }
        s.assign(reinterpret_cast<const char *>(bytes_.data() + at_), static_cast<std::size_t>(n));
        at_ += static_cast<std::size_t>(n);
        return true;
    }
    bool flag(bool &b) {
        std::uint64_t n = 0;
        if (!number(n, 1) || n > 1) {
            return false;
        }
        b = n == 1;
        return true;
    }
    bool finished() const { return at_ == bytes_.size(); }

  private:
    std::span<const unsigned char> bytes_;
    std::size_t at_ = 0;
};

void read_listed(reader &r, listed &v, bool &ok) {
    ok = r.text(v.name) && r.text(v.shape) && r.text(v.type) && r.number(v.grid, 1) &&
         v.grid <= 2 && r.text(v.index);
}

} // namespace

std::vector<unsigned char> encode(const frame &f) {
    std::vector<unsigned char> payload;
    switch (f.what) {
    case kind::description:
        put_text(payload, f.variable);
        put_number(payload, f.rows, 8);
        put_number(payload, f.columns, 8);
        put_number(payload, f.stored_whole ? 1 : 0, 1);
        put_number(payload, f.offset, 8);
        break;
    case kind::done: {
        const std::size_t n = std::min<std::size_t>(f.warnings.size(), warnings_limit);
        put_number(payload, n, 4);
        for (std::size_t i = 0; i < n; ++i) {
            put_text(payload, f.warnings[i]);
        }
        break;
    }
    case kind::refusal:
        put_text(payload, f.reason);
        break;
    case kind::listing: {
        put_text(payload, f.file_kind);
        put_number(payload, f.variable_count, 8);
        const std::size_t n = std::min<std::size_t>(f.variables.size(), listed_limit);
        put_number(payload, n, 4);
        for (std::size_t i = 0; i < n; ++i) {
            put_text(payload, f.variables[i].name);
            put_text(payload, f.variables[i].shape);
            put_text(payload, f.variables[i].type);
            put_number(payload, f.variables[i].grid, 1);
            put_text(payload, f.variables[i].index);
        }
        break;
    }
    }
    std::vector<unsigned char> out(magic, magic + sizeof magic);
    out.push_back(static_cast<unsigned char>(f.what));
    put_number(out, payload.size(), 4);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<unsigned char> encode(const request &r) {
    std::vector<unsigned char> out;
    out.push_back(r.stream ? 1 : 0);
    put_text(out, r.path);
    put_text(out, r.variable);
    out.push_back(r.list ? 1 : 0);
    const std::size_t n = std::min<std::size_t>(r.index.size(), index_limit);
    put_number(out, n, 4);
    for (std::size_t i = 0; i < n; ++i) {
        put_text(out, r.index[i].first);
        put_number(out, r.index[i].second, 8);
    }
    return out;
}

bool decode(std::span<const unsigned char> bytes, request &r) {
    reader in(bytes);
    std::uint64_t n = 0;
    if (!in.flag(r.stream) || !in.text(r.path) || !in.text(r.variable) || !in.flag(r.list) ||
        !in.number(n, 4) || n > index_limit) {
        return false;
    }
    r.index.clear();
    for (std::uint64_t i = 0; i < n; ++i) {
        auto &[name, at] = r.index.emplace_back();
        if (!in.text(name) || !in.number(at, 8)) {
            return false;
        }
    }
    return in.finished();
}

bool payload_length(std::span<const unsigned char> header, std::uint32_t &length) {
    if (header.size() != header_bytes || std::memcmp(header.data(), magic, sizeof magic) != 0 ||
        header[4] < static_cast<unsigned char>(kind::description) ||
        header[4] > static_cast<unsigned char>(kind::listing)) {
        return false;
    }
    length = static_cast<std::uint32_t>(header[5]) | static_cast<std::uint32_t>(header[6]) << 8 |
             static_cast<std::uint32_t>(header[7]) << 16 |
             static_cast<std::uint32_t>(header[8]) << 24;
    return length <= payload_limit;
}

bool decode(std::span<const unsigned char> bytes, frame &f, std::string &error) {
    std::uint32_t length = 0;
    if (bytes.size() < header_bytes || !payload_length(bytes.first(header_bytes), length)) {
        error = "a frame that does not begin as one";
        return false;
    }
    if (bytes.size() - header_bytes != length) {
        error = "a frame whose length disagrees with its header";
        return false;
    }
    f = frame{};
    f.what = static_cast<kind>(bytes[4]);
    reader r(bytes.subspan(header_bytes));
    bool ok = true;
    switch (f.what) {
    case kind::description:
        ok = r.text(f.variable) && r.number(f.rows, 8) && r.number(f.columns, 8) &&
             r.flag(f.stored_whole) && r.number(f.offset, 8);
        break;
    case kind::done: {
        std::uint64_t n = 0;
        ok = r.number(n, 4) && n <= warnings_limit;
        for (std::uint64_t i = 0; ok && i < n; ++i) {
            ok = r.text(f.warnings.emplace_back());
        }
        break;
    }
    case kind::refusal:
        ok = r.text(f.reason);
        break;
    case kind::listing: {
        std::uint64_t n = 0;
        ok = r.text(f.file_kind) && r.number(f.variable_count, 8) && r.number(n, 4) &&
             n <= listed_limit;
        for (std::uint64_t i = 0; ok && i < n; ++i) {
            read_listed(r, f.variables.emplace_back(), ok);
        }
        break;
    }
    }
    if (!ok || !r.finished()) {
        error = "a malformed frame";
        return false;
    }
    return true;
}

} // namespace binmat::netcdf_protocol
