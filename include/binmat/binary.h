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

// Resizes a ranged vector over old_nl..old_nh to old_nl..new_nh and returns the new handle; the
// old one must not be used again. Extending keeps every element, retracting those up to new_nh.
float *extend_vector(float *vec, int old_nl, int old_nh, int new_nh);
float *retract_vector(float *v, int old_nl, int old_nh, int new_nh);

// Resizes a ranged matrix over nrl..nrh x ncl..nch to nrl..srh x ncl..sch and returns the new
// handle; the old one must not be used again. Values inside both shapes are kept; new rows and
// columns are uninitialised.
float **extend_matrix(float **a, int nrl, int nrh, int ncl, int nch, int srh, int sch);
float **retract_matrix(float **a, int nrl, int nrh, int ncl, int nch, int srh, int sch);

// Returns a ranged matrix over nrl..nrh x ncl..nch whose rows point into a, a row-major block of
// (nrh - nrl + 1) * (nch - ncl + 1) floats that stays the caller's. No float is copied.
float **convert_matrix(float *a, int nrl, int nrh, int ncl, int nch);

// Releases what convert_matrix made, leaving the float block to its owner.
void free_convert_matrix(float **b, int nrl, int nrh, int ncl, int nch);

// Writes rows nrl..nrh and columns ncl..nch of m, with their titles, as one binary matrix file at
// the stream's current position. A null title vector stands for the indices themselves. Returns 1
// when every byte was handed to the stream, 0 when a write fell short (with a notice when it was
// the very first) and, writing nothing, for an empty range or a column count that a float cannot
// hold exactly. Borrows everything; neither flushes nor closes the stream.
TBOOLEAN fwrite_matrix(FILE *fout, const float *const *m, int nrl, int nrh, int ncl, int nch,
                       const float *row_title, const float *column_title);

// Reads one binary matrix file from the stream's current position. Returns 1 and hands the caller
// a matrix over 0..nr-1 x 0..nc-1 with its row titles (0..nr-1) and column titles (0..nc-1), to be
// released with those bounds; the stream is left after the last complete row. Returns 0, changing
// no output and keeping nothing, for a stream that holds no whole, sensible file: a column count
// that is not a positive whole number below 2^29 after truncation, titles cut short, no complete
// row, a row cut short, a read error, or more rows than ranged storage can address.
TBOOLEAN fread_matrix(FILE *fin, float ***ret_matrix, int *nr, int *nc, float **row_title,
                      float **column_title);

// Tells whether the stream holds binary data by sampling its first 512 bytes: 1 when more than a
// tenth of them, or any zero byte, is not text; 0 for text, an empty stream, or an unseekable
// stream (after a notice on standard error). Text bytes are 0x20..0x7E and backspace, tab, line
// feed, form feed, carriage return and escape. The stream's position is restored whenever one could
// be read.
TBOOLEAN is_binary_file(FILE *fp);
