// The test-file generator: samples three surfaces and writes binary1, binary2 and binary3.
#pragma once

// Sampling bounds of one plot: x along the rows, y along the columns.
struct range {
    float xmin;
    float xmax;
    float ymin;
    float ymax;
};

// The three plots' sampling ranges, indexed by plot number.
extern const range TheRange[3];

// Returns surface p (0, 1 or 2) at (x, y), rounded to single precision. An unknown p prints
// "Unknown function" on standard error and returns 0.
float function(int p, double x, double y);
