/* Test helper: sets the library's process-wide storage-order flag (veltn_test_rowmajor(flag)) and
 * returns its value, standing in for other code in the process that changes it. The binding
 * itself only reads the flag. */
#include "mex.h"
#include "veltn.h"

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    (void)nlhs;
    if (nrhs == 1) velt_major(NULL, mxGetScalar(prhs[0]) != 0.0);
    plhs[0] = mxCreateDoubleScalar(veltn_rowmajor);
}
