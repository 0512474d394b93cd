// Data-file layer of the driver programs: the data directory, config.txt, Level 4 MAT-files and
// the loader of the four input files.
#pragma once

#include <iosfwd>
#include <string>

#include "core/matrix.h"

namespace datafile {

using Matrix = MatrixTemplate<double>;

// The data directory: NN_DATA_DIR if set, else TMP, else TEMP, else "/tmp". A variable set to
// the empty string counts as set. Read from the environment on every call.
std::string data_dir();

// data_dir() + "/" + file.
std::string data_path(std::string const& file);

// The description held by a config.txt stream: the first line is skipped, every later line is
// appended followed by one space (the read that meets the end of the file appends one more).
std::string read_description(std::istream& in);

// read_description of data_dir()/config.txt; "" when the file cannot be opened, in which case
// *opened (when given) is set to false.
std::string read_config(bool* opened = nullptr);

// Reads the first matrix of a Level 4 MAT-file into out (row-major). Little-endian full real
// matrices of doubles, singles and the integer types are read (converted to double); anything
// else is refused with one line on standard error. Returns 0, or -1 with out unchanged.
// Sizes announced by the header are checked against the file size before anything is allocated.
int read(std::string const& path, Matrix& out);

// Writes m under name as a little-endian Level 4 matrix of doubles (type 0) to path, or to
// data_path(name + ".mat") when path is empty; an existing file is replaced. Returns 0, or -1
// after "cannot write output file PATH: REASON" on standard error.
int write(Matrix const& m, std::string const& name, std::string const& path = std::string());

// Reads data_path(fx) into X, ... data_path(fd) into D, always all four. Any failure: the
// reader's messages, then "Failed to load data", and -1.
int load(Matrix& X, Matrix& Y, Matrix& P, Matrix& D, std::string const& fx = "data.mat",
         std::string const& fy = "specs.mat", std::string const& fp = "v0.mat", std::string const& fd = "d_v0.mat");

}  // namespace datafile
