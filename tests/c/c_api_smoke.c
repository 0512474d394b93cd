/* The public header compiles as C99 and the shared library works from C. */
#include <stdio.h>
#include <string.h>

#include "veltn.h"

#define CHECK(cond)                                                      \
    do {                                                                 \
        if (!(cond)) {                                                   \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            return 1;                                                    \
        }                                                                \
    } while (0)

int main(void) {
    const char* d = "3 1 3 1 16 3 8 8 id sum";
    void* h = initVELTNet(d, (int)strlen(d));
    CHECK(h != NULL);
    CHECK(velt_numel(h) == 113);
    CHECK(velt_version_number() == VELTN_VERSION_NUMBER);
    CHECK(strcmp(velt_version_string(), VELTN_VERSION_STRING) == 0);

    /* An identity network with zero weights and output bias 0.5 predicts 0.5 everywhere. */
    double par[113] = {0};
    par[104] = 0.5;
    const double X[6] = {1, 2, 3, 4, 5, 6};
    const double Y[2] = {0.0, 1.0};
    double out[2] = {0, 0};
    CHECK(velt_compute(h, par, 113, X, 2, 3, 0, out) == VELTN_OK);
    CHECK(out[0] == 0.5 && out[1] == 0.5);
    double J = 0;
    CHECK(velt_obj(h, par, 113, X, Y, 2, 3, 1, &J) == VELTN_OK);
    CHECK(J == 0.0); /* mean of (0.5 - 0) and (0.5 - 1) */

    CHECK(velt_obj(NULL, par, 113, X, Y, 2, 3, 1, &J) == VELTN_EBADARG);
    CHECK(strstr(velt_last_error(), "null handle") != NULL);
    CHECK(velt_major(NULL, 0) == 0 && veltn_rowmajor == 0);
    releaseVELTNet(h);
    releaseVELTNet(NULL);
    printf("c_api_smoke: ok\n");
    return 0;
}
