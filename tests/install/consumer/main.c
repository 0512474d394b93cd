/* A program built against the installed package: find_package(veltn) and pkg-config. */
#include <stdio.h>
#include <string.h>

#include "veltn.h"

int main(void) {
    const char* d = "3 1 3 1 16 3 8 8 softplus sum";
    void* h = initVELTNet(d, (int)strlen(d));
    const unsigned long long n = h ? (unsigned long long)velt_numel(h) : 0;
    releaseVELTNet(h);
    printf("numel %llu\n", n);
    return n == 113 && velt_version_number() == VELTN_VERSION_NUMBER ? 0 : 1;
}
