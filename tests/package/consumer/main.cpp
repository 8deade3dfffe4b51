// A program that uses the installed library the way any consumer would.
#include <binmat/alloc.h>
#include <binmat/binary.h>

#include <cstdio>
#include <cstdlib>

void int_error(const char *error_text, int /*dummy*/) {
    std::fprintf(stderr, "Fatal error..\n%s\n...now exiting to system ...\n", error_text);
    std::exit(1);
}

void FreeHelp() {}

int main() {
    float **m = matrix(0, 1, 0, 2);
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 3; ++j) {
            m[i][j] = static_cast<float>(10 * i + j);
        }
    }
    FILE *f = std::tmpfile();
    const TBOOLEAN written = fwrite_matrix(f, m, 0, 1, 0, 2, nullptr, nullptr);
    free_matrix(m, 0, 1, 0, 2);
    std::rewind(f);
    float **back = nullptr;
    float *rt = nullptr;
    float *ct = nullptr;
    int nr = 0;
    int nc = 0;
    const TBOOLEAN read = fread_matrix(f, &back, &nr, &nc, &rt, &ct);
    std::fclose(f);
    if (written != 1 || read != 1 || nr != 2 || nc != 3 || back[1][2] != 12.0F) {
        std::puts("consumer: round trip failed");
        return 1;
    }
    free_matrix(back, 0, nr - 1, 0, nc - 1);
    free_vector(rt, 0, nr - 1);
    free_vector(ct, 0, nc - 1);
    std::puts("consumer: ok");
    return 0;
}
