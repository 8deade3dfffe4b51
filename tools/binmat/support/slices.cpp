#include "slices.h"

#include <binmat/formats/number_text.h>

#include <charconv>
#include <limits>
#include <string_view>
#include <vector>

namespace cli {

namespace {

std::vector<std::string_view> parts_of(std::string_view text) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t colon = text.find(':');
        parts.push_back(text.substr(0, colon));
        if (colon == std::string_view::npos) {
            return parts;
        }
        text.remove_prefix(colon + 1);
    }
}

bool integer(std::string_view text, std::optional<std::int64_t> &out) {
    if (text.empty()) {
        out.reset();
        return true;
    }
    std::int64_t v = 0;
    const char *first = text.data();
    if (text.front() == '+') {
        ++first;
    }
    const auto [end, ec] = std::from_chars(first, text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return false;
    }
    out = v;
    return true;
}

// Python's rule for a start or stop: counted from the end when negative, then held in bounds.
std::int64_t clamp_bound(std::optional<std::int64_t> v, std::int64_t length, bool backwards,
                         std::int64_t absent) {
    if (!v) {
        return absent;
    }
    std::int64_t i = *v;
    if (i < 0) {
        i = i < -length ? (backwards ? -1 : 0) : i + length;
    } else if (i >= length) {
        i = backwards ? length - 1 : length;
    }
    return i;
}

// Built by appending: GCC 12 at -O3 warns falsely about "'" + text.
std::string quoted(std::string_view text) {
    std::string q(1, '\'');
    q.append(text);
    q += '\'';
    return q;
}

} // namespace

bool parse_index_slice(const std::string &text, index_slice &s, std::string &error) {
    const std::vector<std::string_view> parts = parts_of(text);
    std::optional<std::int64_t> step;
    const bool ok = parts.size() <= 3 && integer(parts[0], s.start) &&
                    (parts.size() < 2 || integer(parts[1], s.stop)) &&
                    (parts.size() < 3 || integer(parts[2], step));
    if (!ok || (parts.size() == 1 && !s.start)) {
        error = quoted(text) + " is not START:STOP:STEP or an index";
        return false;
    }
    if (step == std::numeric_limits<std::int64_t>::min()) {
        step = std::numeric_limits<std::int64_t>::min() + 1; // the same slice, negatable
    }
    if (step == 0) {
        error = quoted(text) + ": the step cannot be 0";
        return false;
    }
    s.step = step.value_or(1);
    if (parts.size() == 1) {
        // A single index keeps that one: -1 is the last.
        const bool last = *s.start == -1 || *s.start == std::numeric_limits<std::int64_t>::max();
        s.stop = last ? std::nullopt : std::optional<std::int64_t>(*s.start + 1);
    }
    return true;
}

slice_span resolve(const index_slice &s, std::int64_t length) {
    const bool backwards = s.step < 0;
    const std::int64_t first = clamp_bound(s.start, length, backwards, backwards ? length - 1 : 0);
    const std::int64_t stop = clamp_bound(s.stop, length, backwards, backwards ? -1 : length);
    std::int64_t count = 0;
    if (!backwards && stop > first) {
        count = (stop - first - 1) / s.step + 1;
    } else if (backwards && first > stop) {
        count = (first - stop - 1) / -s.step + 1;
    }
    return {first, s.step, count};
}

bool parse_coordinate_range(const std::string &text, coordinate_range &r, std::string &error) {
    const std::vector<std::string_view> parts = parts_of(text);
    if (parts.size() != 2) {
        error = quoted(text) + " is not MIN:MAX";
        return false;
    }
    for (std::size_t k = 0; k < 2; ++k) {
        if (parts[k].empty()) {
            continue;
        }
        float &bound = k == 0 ? r.low : r.high;
        if (binmat::parse_float(parts[k], bound) != binmat::number::ok || bound != bound) {
            error = quoted(parts[k]) + " in " + quoted(text) + " is not a number";
            return false;
        }
    }
    if (r.low > r.high) {
        error = quoted(text) + ": MIN is above MAX";
        return false;
    }
    return true;
}

} // namespace cli
