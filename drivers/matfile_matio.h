// Level 5 (plain or compressed) and v7.3 MAT-files through libmatio.
#pragma once

#include <string>

#include "matrix.h"

namespace datafile {

// Reads one variable of the MAT-file at path into out (row-major doubles): the variable called
// `name`, or else the only numeric one. Double, single, integer and logical classes are
// converted to double; complex values, sparse matrices, cells, structs, char arrays, function
// handles, objects and arrays of more than two dimensions are refused. The element count is
// checked against the file size before the data are read. Whatever libmatio logs is collected
// and never printed. Returns 0, or -1 with *error set to one line (no newline; the first thing
// libmatio logged, when that says more) and out unchanged.
int matio_read(std::string const& path, std::string const& name, Matrix& out, std::string* error);

// matio_read run in a child process, its standard streams on /dev/null and a time limit, so
// that a file that makes libmatio or HDF5 crash, abort, print or hang costs only the child.
// The matrix comes back through a pipe. Same contract as matio_read.
int matio_read_isolated(std::string const& path, std::string const& name, Matrix& out, std::string* error);

}  // namespace datafile
