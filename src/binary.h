// Ranged single-precision storage and the binary matrix file format.
//
// A ranged vector over nl..nh is a float handle v whose elements are v[nl]..v[nh]; a ranged matrix
// over nrl..nrh x ncl..nch is a handle m whose rows m[nrl]..m[nrh] are ranged vectors over
// ncl..nch, each its own heap block. Whoever creates one owns it and releases it with the bounds it
// was created (or last resized) with. Running out of memory ends the process through int_error.
#pragma once

#include <cstdio>

typedef int TBOOLEAN;

// Returns a new ranged vector over nl..nh, uninitialised.
float *vector(int nl, int nh);

// Releases a ranged vector made by vector() or resized since.
void free_vector(float *vec, int nl, int nh);

// Returns a new ranged matrix over nrl..nrh x ncl..nch, uninitialised.
float **matrix(int nrl, int nrh, int ncl, int nch);

// Releases a ranged matrix: every row nrl..nrh, then the row-pointer block.
void free_matrix(float **m, int nrl, int nrh, int ncl, int nch);

// Writes rows nrl..nrh and columns ncl..nch of m, with their titles, as one binary matrix file at
// the stream's current position. A null title vector stands for the indices themselves. Returns 1
// when every byte was handed to the stream, 0 when a write fell short (with a notice when it was
// the very first) and, writing nothing, for an empty range or a column count that a float cannot
// hold exactly. Borrows everything; neither flushes nor closes the stream.
TBOOLEAN fwrite_matrix(FILE *fout, const float *const *m, int nrl, int nrh, int ncl, int nch,
                       const float *row_title, const float *column_title);
