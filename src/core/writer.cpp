// The writer: one binary matrix file from ranged storage.
#include <binmat/binary.h>
#include <binmat/layout.h>

#include "internal.h"

#include <cstdio>
#include <cstring>

using binmat::detail::element_count;
using binmat::detail::Staging;

namespace {

[[maybe_unused]] constexpr const char RCSid[] = "$Id: writer.cpp binmat $";

// Gathers small writes into large ones.
class Stager {
  public:
    Stager(FILE *out, unsigned long long total_bytes) : out_(out) {
        if (total_bytes > Staging::small_size) {
            staging_.enlarge(0);
        }
    }
    bool put(const void *data, std::size_t bytes) {
        if (bytes > staging_.size() - used_ && !flush()) {
            return false;
        }
        if (bytes >= staging_.size()) {
            return std::fwrite(data, 1, bytes, out_) == bytes;
        }
        std::memcpy(staging_.data() + used_, data, bytes);
        used_ += bytes;
        return true;
    }
    bool flush() {
        const std::size_t n = used_;
        used_ = 0;
        return n == 0 || std::fwrite(staging_.data(), 1, n, out_) == n;
    }

  private:
    FILE *out_;
    Staging staging_;
    std::size_t used_ = 0;
};

// Stands in for a missing title vector: each index as a float.
float *index_titles(int nl, int nh) {
    float *titles = vector(nl, nh);
    for (long long i = nl; i <= nh; ++i) {
        titles[i] = static_cast<float>(i);
    }
    return titles;
}

} // namespace

TBOOLEAN fwrite_matrix(FILE *fout, const float *const *m, int nrl, int nrh, int ncl, int nch,
                       const float *row_title, const float *column_title) {
    const long long col_length = element_count(ncl, nch);
    const float length = static_cast<float>(col_length);
    // A count the float cannot hold exactly would be read back as another count, and one of 2^29
    // or more would not be read back at all.
    if (element_count(nrl, nrh) < 1 || col_length < 1 ||
        !binmat::storable_column_count(static_cast<std::uint64_t>(col_length))) {
        return 0;
    }
    const std::size_t status = std::fwrite(&length, sizeof length, 1, fout);
    if (status != 1) {
        std::fprintf(stderr, "fwrite 1 returned %d\n", static_cast<int>(status));
        return 0;
    }
    const std::size_t row_bytes = static_cast<std::size_t>(col_length) * sizeof(float);
    const auto rows_and_head = static_cast<unsigned long long>(element_count(nrl, nrh)) + 1;
    Stager out(fout, rows_and_head * (row_bytes + sizeof(float)));

    float *own_columns = column_title == nullptr ? index_titles(ncl, nch) : nullptr;
    const float *columns = column_title == nullptr ? own_columns : column_title;
    bool ok = out.put(&columns[ncl], row_bytes);
    if (own_columns != nullptr) {
        free_vector(own_columns, ncl, nch);
    }
    if (!ok) {
        return 0;
    }

    float *own_rows = row_title == nullptr ? index_titles(nrl, nrh) : nullptr;
    const float *rows = row_title == nullptr ? own_rows : row_title;
    for (long long j = nrl; ok && j <= nrh; ++j) {
        ok = out.put(&rows[j], sizeof(float)) && out.put(&m[j][ncl], row_bytes);
    }
    ok = ok && out.flush();
    if (own_rows != nullptr) {
        free_vector(own_rows, nrl, nrh);
    }
    return ok ? 1 : 0;
}
