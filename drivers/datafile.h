// Data-file layer of the driver programs: the data directory, config.txt, MAT-files and the
// loader of the four input files.
#pragma once

#include <iosfwd>
#include <string>

#include "matrix.h"

namespace datafile {

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

// Reads the matrix of a MAT-file into out (row-major), the format told by the file's first
// bytes: Level 4 by read_level4; Level 5 (plain or compressed) and v7.3 through libmatio in a
// child process (matio_read_isolated), taking the variable named after the file's stem or else
// the only numeric one. Octave's own text and binary formats and bare HDF5 files are refused
// with the command that saves a readable file. Failures write one line (some Level 4 cases two)
// on standard error. Returns 0, or -1 with out unchanged.
int read(std::string const& path, Matrix& out);

// Reads the first matrix of a Level 4 MAT-file. Little-endian full real matrices of doubles,
// singles and the integer types are read (converted to double); anything else is refused with
// one line on standard error. Sizes announced by the header are checked against the file size
// before anything is allocated. Returns 0, or -1 with out unchanged.
int read_level4(std::string const& path, Matrix& out);

// Writes m under name as a little-endian Level 4 matrix of doubles (type 0) to path, or to
// data_path(name + ".mat") when path is empty. The bytes go to a new file in the same directory,
// which is flushed to disk, closed and then renamed over path, so that path always holds either
// its earlier content or the complete new matrix. Returns 0, or -1 after "cannot write output
// file PATH: REASON" on standard error (the earlier file, if any, is left as it was).
int write(Matrix const& m, std::string const& name, std::string const& path = std::string());

// Reads data_path(fx) into X, ... data_path(fd) into D, always all four. Any failure: the
// reader's messages, then "Failed to load data", and -1.
int load(Matrix& X, Matrix& Y, Matrix& P, Matrix& D, std::string const& fx = "data.mat",
         std::string const& fy = "specs.mat", std::string const& fp = "v0.mat", std::string const& fd = "d_v0.mat");

}  // namespace datafile
