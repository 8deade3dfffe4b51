// Reading a matrix back in tests: what fread_matrix gave, copied out and released.
#pragma once

#include <binmat/binary.h>

#include <cstdio>
#include <vector>

// What one call of fread_matrix gave, copied out and released with the bounds it reported.
struct Read {
    TBOOLEAN status = 0;
    int nr = -1;
    int nc = -1;
    std::vector<float> row_titles;
    std::vector<float> column_titles;
    std::vector<float> values; // row-major
};

// Reads one matrix from f; on a return of 0 it also checks that no output was touched.
Read read_one(FILE *f);
