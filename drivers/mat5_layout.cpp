// Walks the top-level data elements of a Level 5 MAT-file: a 128-byte header, then elements of
// an 8-byte tag (type, byte count) and their bytes; a compressed element (type 15) holds one
// zlib stream that inflates to a matrix element. A matrix element (type 14) holds, in order,
// array flags, dimensions, the name and the real part.
#include "mat5_layout.h"

#include <zlib.h>

#include <cstring>
#include <fstream>
#include <vector>

namespace datafile {

namespace {

constexpr uint32_t kMiMatrix = 14, kMiCompressed = 15;
// A variable's header (flags, dimensions, name, the real part's tag) is read from at most this
// many bytes of its element; anything longer is not a header a writer makes.
constexpr std::size_t kHeaderLimit = 1 << 16;

uint32_t load32(const unsigned char* p, bool swap) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return swap ? __builtin_bswap32(v) : v;
}

// Bytes per value of a numeric data type, 0 for the others.
unsigned type_bytes(uint32_t type) {
    switch (type) {
        case 1: case 2: return 1;            // int8, uint8
        case 3: case 4: return 2;            // int16, uint16
        case 5: case 6: case 7: return 4;    // int32, uint32, single
        case 9: case 12: case 13: return 8;  // double, int64, uint64
        default: return 0;
    }
}

// One sub-element of a matrix element in buf at *pos: its type, its data and where the next
// one starts. Small elements pack type and count into the tag's first word and their data
// into its second.
struct Sub {
    uint32_t type = 0, bytes = 0;
    std::size_t data = 0;
};

bool next_sub(std::vector<unsigned char> const& buf, std::size_t* pos, bool swap, Sub* s) {
    if (buf.size() < 8 || *pos > buf.size() - 8) return false;
    const uint32_t word = load32(&buf[*pos], swap);
    if (word >> 16) {
        s->type = word & 0xffff;
        s->bytes = word >> 16;
        s->data = *pos + 4;
        if (s->bytes > 4) return false;
        *pos += 8;
        return true;
    }
    s->type = word;
    s->bytes = load32(&buf[*pos + 4], swap);
    s->data = *pos + 8;
    const uint64_t padded = (uint64_t(s->bytes) + 7) / 8 * 8;
    *pos = std::size_t(std::min<uint64_t>(uint64_t(s->data) + padded, uint64_t(buf.size()) + 8));
    return true;
}

enum class Parse { kOther, kFound, kBad };

// Parses the matrix element's content in buf (its header part at least): whether it is the
// variable called name, and if so the byte count and value size of its real part.
Parse parse_matrix(std::vector<unsigned char> const& buf, bool swap, std::string const& name, uint64_t* stored) {
    std::size_t pos = 0;
    Sub flags, dims, nm, real;
    if (!next_sub(buf, &pos, swap, &flags) || !next_sub(buf, &pos, swap, &dims) || !next_sub(buf, &pos, swap, &nm))
        return Parse::kBad;
    if (nm.data > buf.size() || nm.bytes > buf.size() - nm.data) return Parse::kBad;
    const std::string found(reinterpret_cast<const char*>(&buf[nm.data]), nm.bytes);
    if (found.c_str() != name) return Parse::kOther;
    if (!next_sub(buf, &pos, swap, &real)) return Parse::kBad;
    const unsigned size = type_bytes(real.type);
    if (size == 0 || real.bytes % size != 0) return Parse::kBad;
    *stored = real.bytes / size;
    return Parse::kFound;
}

// Up to limit bytes of the stream in, inflated; false when the stream is damaged before that.
bool inflate_prefix(std::vector<unsigned char> const& in, std::size_t limit, std::vector<unsigned char>* out) {
    z_stream z;
    std::memset(&z, 0, sizeof z);
    if (inflateInit(&z) != Z_OK) return false;
    out->assign(limit, 0);
    z.next_in = const_cast<unsigned char*>(in.data());
    z.avail_in = uInt(in.size());
    z.next_out = out->data();
    z.avail_out = uInt(limit);
    int rc = Z_OK;
    while (z.avail_out > 0 && rc == Z_OK) rc = inflate(&z, Z_NO_FLUSH);
    const bool ok = rc == Z_OK || rc == Z_STREAM_END || rc == Z_BUF_ERROR;
    out->resize(limit - z.avail_out);
    inflateEnd(&z);
    return ok;
}

}  // namespace

bool mat5_stored_values(std::string const& path, std::string const& name, uint64_t* stored, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    unsigned char header[128];
    if (!in.read(reinterpret_cast<char*>(header), sizeof header)) {
        *error = "the file is shorter than a Level 5 header";
        return false;
    }
    const bool swap = header[126] == 'M';
    in.seekg(0, std::ios::end);
    const uint64_t size = uint64_t(in.tellg());

    uint64_t off = 128;
    std::vector<unsigned char> raw, content;
    while (off + 8 <= size) {
        unsigned char tag[8];
        in.seekg(std::streamoff(off));
        if (!in.read(reinterpret_cast<char*>(tag), 8)) break;
        const uint32_t type = load32(tag, swap), bytes = load32(tag + 4, swap);
        if (bytes > size - off - 8) {
            *error = "a data element at byte " + std::to_string(off) + " announces " + std::to_string(bytes) +
                     " bytes, more than the file holds";
            return false;
        }
        if (type == kMiMatrix || type == kMiCompressed) {
            const std::size_t take = type == kMiMatrix ? std::min<std::size_t>(bytes, kHeaderLimit) : bytes;
            // A compressed element is read whole (it is inflated only up to the header limit);
            // its size was checked against the file above.
            raw.resize(take);
            if (take && !in.read(reinterpret_cast<char*>(raw.data()), std::streamsize(take))) break;
            if (type == kMiCompressed) {
                // Inflated: the matrix element's own tag, then its content.
                if (!inflate_prefix(raw, kHeaderLimit + 8, &content) || content.size() < 8 ||
                    load32(content.data(), swap) != kMiMatrix) {
                    *error = "the compressed data element at byte " + std::to_string(off) + " is damaged";
                    return false;
                }
                content.erase(content.begin(), content.begin() + 8);
            } else {
                content.swap(raw);
            }
            const Parse p = parse_matrix(content, swap, name, stored);
            if (p == Parse::kFound) return true;
            if (p == Parse::kBad) {
                *error = "the variable header at byte " + std::to_string(off) + " is damaged";
                return false;
            }
        }
        off += 8 + uint64_t(bytes);
        // Plain elements are padded to 8 bytes; compressed ones are not.
        if (type != kMiCompressed) off = (off + 7) / 8 * 8;
    }
    *error = "variable '" + name + "' was not found by walking the file's elements";
    return false;
}

}  // namespace datafile
