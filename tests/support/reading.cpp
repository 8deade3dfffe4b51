#include "reading.h"

#include <gtest/gtest.h>

Read read_one(FILE *f) {
    float **m = nullptr;
    float *rt = nullptr;
    float *ct = nullptr;
    Read r;
    r.status = fread_matrix(f, &m, &r.nr, &r.nc, &rt, &ct);
    if (r.status == 0) {
        EXPECT_EQ(m, nullptr);
        EXPECT_EQ(rt, nullptr);
        EXPECT_EQ(ct, nullptr);
        EXPECT_EQ(r.nr, -1);
        EXPECT_EQ(r.nc, -1);
        return r;
    }
    r.row_titles.assign(rt, rt + r.nr);
    r.column_titles.assign(ct, ct + r.nc);
    for (int i = 0; i < r.nr; ++i) {
        r.values.insert(r.values.end(), m[i], m[i] + r.nc);
    }
    free_matrix(m, 0, r.nr - 1, 0, r.nc - 1);
    free_vector(rt, 0, r.nr - 1);
    free_vector(ct, 0, r.nc - 1);
    return r;
}
