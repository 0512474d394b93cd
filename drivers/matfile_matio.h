// Level 5 (plain or compressed) and v7.3 MAT-files through libmatio.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "matrix.h"

namespace datafile {

// Reads one variable of the MAT-file at path into out (row-major doubles): the variable called
// `name`, or else the only numeric one. Double, single, integer and logical classes are
// converted to double; complex values, sparse matrices, cells, structs, char arrays, function
// handles, objects and arrays of more than two dimensions are refused. The element count is
// checked against the file before the data are read. Whatever libmatio logs is collected and
// never printed. before_data, when given, is called with the element count once the variable
// has passed every check, just before its data are read. Returns 0, or -1 with *error set to
// one line (no newline; with the first thing libmatio logged, if anything) and out unchanged.
// Not reentrant: libmatio's log function is process-wide.
int matio_read(std::string const& path, std::string const& name, Matrix& out, std::string* error,
               std::function<void(uint64_t)> const& before_data = {});

// matio_read run in a child process, its standard streams on /dev/null, with a time limit and
// (outside AddressSanitizer builds) an address-space limit of 256 MiB beyond what it starts
// with, raised to fit the matrix once it has passed the checks. A file that makes libmatio or
// HDF5 crash, abort, print, hang or allocate without end costs only the child. The matrix
// comes back through a pipe. Same contract as matio_read.
int matio_read_isolated(std::string const& path, std::string const& name, Matrix& out, std::string* error);

}  // namespace datafile
