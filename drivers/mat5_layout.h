// The element layout of a Level 5 MAT-file, read without libmatio: the directory of top-level
// variables (name, class, extents, where the element lies, how many values it stores), so that
// libmatio is only ever handed the one numeric variable the drivers read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace datafile {

struct Mat5Var {
    std::string name;
    uint32_t cls = 0;  // the array class: the numbers of libmatio's matio_classes
    bool complex = false, logical = false;
    std::vector<uint64_t> dims;
    uint64_t offset = 0, bytes = 0;  // the element in the file, its 8-byte tag included
    bool compressed = false;
    uint64_t stored = 0;    // values in the real part, as its tag says (numeric classes only)
    uint64_t real_end = 0;  // where the real part's data end in the matrix element's content
};

// Reads the top-level elements of the Level 5 file at path: every matrix element, plain or
// compressed (of which only the header is inflated). Elements of other types are skipped.
// Returns false, with *error set to one line, when the elements cannot be walked to the end of
// the file or a header does not parse.
bool mat5_directory(std::string const& path, std::vector<Mat5Var>* vars, std::string* error);

// Whether the matrix element of v really holds its real part: the data end within the element
// (for a compressed one, within what its stream inflates to, which is inflated in full here).
bool mat5_holds_real_part(std::string const& path, Mat5Var const& v);

}  // namespace datafile
