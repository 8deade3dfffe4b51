// What the command and the NetCDF helper say to each other: whatever one side can send, the other
// reads back unchanged, up to every limit, and nothing else.
#include "protocol.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

namespace protocol = binmat::netcdf_protocol;

// A text of n bytes that uses every byte value, NUL included.
std::string text(std::size_t n, std::size_t seed) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>(static_cast<unsigned char>((seed + i) % 256));
    }
    return s;
}

protocol::frame full_listing(std::size_t variables, std::size_t length) {
    protocol::frame f;
    f.what = protocol::kind::listing;
    f.file_kind = text(length, 1);
    f.variable_count = std::numeric_limits<std::uint64_t>::max();
    for (std::size_t i = 0; i < variables; ++i) {
        f.variables.push_back({text(length, i), text(length, i + 1), text(length, i + 2), i % 3,
                               text(length, i + 3)});
    }
    return f;
}

void expect_same_listing(const protocol::frame &a, const protocol::frame &b) {
    EXPECT_EQ(a.file_kind, b.file_kind);
    EXPECT_EQ(a.variable_count, b.variable_count);
    ASSERT_EQ(a.variables.size(), b.variables.size());
    for (std::size_t i = 0; i < a.variables.size(); ++i) {
        EXPECT_EQ(a.variables[i].name, b.variables[i].name);
        EXPECT_EQ(a.variables[i].shape, b.variables[i].shape);
        EXPECT_EQ(a.variables[i].type, b.variables[i].type);
        EXPECT_EQ(a.variables[i].grid, b.variables[i].grid);
        EXPECT_EQ(a.variables[i].index, b.variables[i].index);
    }
}

protocol::frame decoded(const std::vector<unsigned char> &bytes) {
    protocol::frame f;
    std::string error;
    EXPECT_TRUE(protocol::decode(bytes, f, error)) << error;
    return f;
}

TEST(netcdf_protocol, the_largest_frames_the_helper_can_send_are_read_back_whole) {
    // A listing of long group paths and shapes of many dimensions fills every text.
    const protocol::frame listing = full_listing(protocol::listed_limit, protocol::text_limit);
    expect_same_listing(decoded(protocol::encode(listing)), listing);

    protocol::frame done;
    done.what = protocol::kind::done;
    for (std::uint32_t i = 0; i < protocol::warnings_limit; ++i) {
        done.warnings.push_back(text(protocol::text_limit, i));
    }
    EXPECT_EQ(decoded(protocol::encode(done)).warnings, done.warnings);

    protocol::frame description;
    description.what = protocol::kind::description;
    description.variable = text(protocol::text_limit, 7);
    description.rows = description.columns = description.offset =
        std::numeric_limits<std::uint64_t>::max();
    description.stored_whole = true;
    const protocol::frame d = decoded(protocol::encode(description));
    EXPECT_EQ(d.variable, description.variable);
    EXPECT_EQ(d.rows, description.rows);
    EXPECT_EQ(d.offset, description.offset);
    EXPECT_TRUE(d.stored_whole);
}

TEST(netcdf_protocol, what_goes_beyond_a_limit_is_cut_to_it_on_the_way_out) {
    const protocol::frame listing = decoded(
        protocol::encode(full_listing(protocol::listed_limit + 3, protocol::text_limit + 10)));
    ASSERT_EQ(listing.variables.size(), protocol::listed_limit);
    EXPECT_EQ(listing.file_kind, text(protocol::text_limit, 1));
    EXPECT_EQ(listing.variables.back().index.size(), protocol::text_limit);
    // The count still says how many there were in all.
    EXPECT_EQ(listing.variable_count, std::numeric_limits<std::uint64_t>::max());

    protocol::request r;
    r.path = text(protocol::text_limit + 1, 0);
    r.list = true;
    for (std::uint32_t i = 0; i < protocol::index_limit + 1; ++i) {
        r.index.emplace_back(text(protocol::text_limit, i), i);
    }
    const std::vector<unsigned char> bytes = protocol::encode(r);
    EXPECT_LE(bytes.size(), protocol::request_limit);
    protocol::request back;
    ASSERT_TRUE(protocol::decode(bytes, back));
    EXPECT_EQ(back.path, text(protocol::text_limit, 0));
    EXPECT_TRUE(back.list);
    ASSERT_EQ(back.index.size(), protocol::index_limit);
    EXPECT_EQ(back.index.back(), r.index[protocol::index_limit - 1]);
}

TEST(netcdf_protocol, a_frame_or_request_cut_short_or_run_on_is_refused_with_a_reason) {
    const std::vector<unsigned char> listing = protocol::encode(full_listing(3, 5));
    for (std::size_t n = 0; n < listing.size(); ++n) {
        protocol::frame f;
        std::string error;
        EXPECT_FALSE(protocol::decode({listing.data(), n}, f, error)) << n;
        EXPECT_FALSE(error.empty());
    }
    std::vector<unsigned char> longer = listing;
    longer.push_back(0);
    protocol::frame f;
    std::string error;
    EXPECT_FALSE(protocol::decode(longer, f, error));

    protocol::request r;
    r.variable = "/group/t2m";
    r.index = {{"time", 3}, {"level", 0}};
    std::vector<unsigned char> request = protocol::encode(r);
    for (std::size_t n = 0; n < request.size(); ++n) {
        protocol::request back;
        EXPECT_FALSE(protocol::decode({request.data(), n}, back)) << n;
    }
    request.push_back(0);
    protocol::request back;
    EXPECT_FALSE(protocol::decode(request, back));
}

} // namespace
