// A program that uses binmat the way any consumer would: both interfaces read binary1, and it
// goes out to .npy and back through the formats.
#include <binmat/binary.h>
#include <binmat/binmat.h>
#include <binmat/formats/npy.h>

#include <cstdio>
#include <cstdlib>

// Only <binmat/...> names may reach a consumer's include path.
#if __has_include(<binary.h>) || __has_include(<layout.h>) || __has_include(<alloc.h>)
#error "a bare binmat header name is on the include path"
#endif

int main(int argc, char **argv) {
    if (argc != 2) {
        std::puts("usage: consumer BINARY1");
        return 2;
    }
    const binmat::grid g = binmat::read_file(argv[1]);

    FILE *f = std::fopen(argv[1], "rb");
    float **m = nullptr;
    float *rt = nullptr;
    float *ct = nullptr;
    int nr = 0;
    int nc = 0;
    const TBOOLEAN read = f != nullptr ? fread_matrix(f, &m, &nr, &nc, &rt, &ct) : 0;
    if (f != nullptr) {
        std::fclose(f);
    }
    if (read != 1 || g.rows() != 31 || g.columns() != 21 || nr != 31 || nc != 21 ||
        m[15][10] != g(15, 10) || g(15, 10) != 1.0F || ct[0] != -2.0F) {
        std::puts("consumer: binary1 did not read as it should");
        return 1;
    }
    char *bytes = nullptr;
    std::size_t size = 0;
    FILE *npy = open_memstream(&bytes, &size);
    const std::uint64_t shape[2] = {g.rows(), g.columns()};
    binmat::write_npy(npy, g.values, shape);
    std::fclose(npy);
    npy = fmemopen(bytes, size, "rb");
    const binmat::npy_array back = binmat::read_npy(npy, 2);
    std::fclose(npy);
    std::free(bytes);
    if (back.values != g.values) {
        std::puts("consumer: binary1 did not come back from .npy");
        return 1;
    }
    free_matrix(m, 0, nr - 1, 0, nc - 1);
    free_vector(rt, 0, nr - 1);
    free_vector(ct, 0, nc - 1);
    std::puts("consumer: ok");
    return 0;
}
