// The element layout of a Level 5 MAT-file, read without libmatio: how many values a variable
// stores, so that a header that announces more than the file holds is caught before the read.
#pragma once

#include <cstdint>
#include <string>

namespace datafile {

// Finds the first top-level variable called name in the Level 5 file at path (plain or
// compressed element) and sets *stored to the number of values of its real part, as the size
// of that data element gives it. Returns false, with *error set to one line, when the file's
// elements cannot be walked up to that variable or its header does not parse.
bool mat5_stored_values(std::string const& path, std::string const& name, uint64_t* stored, std::string* error);

}  // namespace datafile
