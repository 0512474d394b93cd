// The drivers' Level 4 MAT-file reader on a whole file.
#include <cstddef>
#include <cstdint>

#include "datafile.h"
#include "fuzz_input_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    datafile::Matrix m;
    // A success gives a consistent matrix.
    const int st = datafile::read_level4(fuzz::as_file(data, size), m);
    if (st == 0 && m.data.size() != m.rows * m.cols) __builtin_trap();
    return 0;
}
