// The libmatio path of the drivers (Level 5, compressed Level 5 and v7.3) on a whole file, in
// this process: the element walk, libmatio's directory and data passes, and the conversion.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_input_file.h"
#include "matfile_matio.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    datafile::Matrix m;
    std::string error;
    const int st = datafile::matio_read(fuzz::as_file(data, size), "data", m, &error);
    // A success gives a consistent matrix; a failure says why on one line.
    if (st == 0 && m.data.size() != m.rows * m.cols) __builtin_trap();
    if (st != 0 && (error.empty() || error.find('\n') != std::string::npos)) __builtin_trap();
    return 0;
}
