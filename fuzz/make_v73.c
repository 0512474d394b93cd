/* Writes the v7.3 seeds of the libmatio fuzz target through libmatio: make_v73 DIR. */
#include <matio.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

static int save(const char* dir, const char* file, const char* name, enum matio_classes cls,
                enum matio_types type, int rank, size_t* dims, void* data, int flags) {
    char path[4096];
    snprintf(path, sizeof path, "%s/%s", dir, file);
    mat_t* mat = Mat_CreateVer(path, NULL, MAT_FT_MAT73);
    if (!mat) return 1;
    matvar_t* v = Mat_VarCreate(name, cls, type, rank, dims, data, flags);
    int rc = !v || Mat_VarWrite(mat, v, MAT_COMPRESSION_NONE) != 0;
    Mat_VarFree(v);
    Mat_Close(mat);
    return rc;
}

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    double d[6] = {0, 3, 1, 4, 2, 5}, im[6] = {1, 1, 1, 1, 1, 1};
    int16_t s[4] = {-32768, 1, 32767, 0};
    uint8_t b[4] = {1, 0, 0, 1};
    mat_complex_split_t z = {d, im};
    size_t d23[2] = {2, 3}, d22[2] = {2, 2}, d3[3] = {1, 2, 3};
    int rc = save(argv[1], "v73_double.mat", "data", MAT_C_DOUBLE, MAT_T_DOUBLE, 2, d23, d, 0);
    rc |= save(argv[1], "v73_int16.mat", "data", MAT_C_INT16, MAT_T_INT16, 2, d22, s, 0);
    rc |= save(argv[1], "v73_logical.mat", "data", MAT_C_UINT8, MAT_T_UINT8, 2, d22, b, MAT_F_LOGICAL);
    rc |= save(argv[1], "v73_complex.mat", "data", MAT_C_DOUBLE, MAT_T_DOUBLE, 2, d23, &z, MAT_F_COMPLEX);
    rc |= save(argv[1], "v73_3d.mat", "data", MAT_C_DOUBLE, MAT_T_DOUBLE, 3, d3, d, 0);
    rc |= save(argv[1], "v73_other_name.mat", "X", MAT_C_DOUBLE, MAT_T_DOUBLE, 2, d23, d, 0);
    return rc;
}
