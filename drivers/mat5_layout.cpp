// Walks the top-level data elements of a Level 5 MAT-file: a 128-byte header, then elements of
// an 8-byte tag (type, byte count) and their bytes; a compressed element (type 15) holds one
// zlib stream that inflates to a matrix element. A matrix element (type 14) holds, in order,
// array flags, dimensions, the name and, for numeric classes, the real part.
#include "mat5_layout.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>

namespace datafile {

namespace {

constexpr uint32_t kMiMatrix = 14, kMiCompressed = 15;
// A variable's header (flags, dimensions, name, the real part's tag) is read from at most this
// many bytes of its element; anything longer is not a header a writer makes.
constexpr std::size_t kHeaderLimit = 1 << 16;
// More variables than this make the file suspect.
constexpr std::size_t kMaxVariables = 100000;
constexpr uint32_t kClassDouble = 6, kClassUint64 = 15;

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

// One sub-element of a matrix element: its type and its data's place in the buffer. Small
// elements pack type and byte count into the tag's first word and their data into its second.
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
        *pos += 8;
        return s->bytes <= 4;
    }
    s->type = word;
    s->bytes = load32(&buf[*pos + 4], swap);
    s->data = *pos + 8;
    if (s->bytes > buf.size() - s->data) {
        // Only the real part may run past the header bytes read; its tag is all that is used.
        *pos = buf.size();
        return true;
    }
    *pos = std::min(buf.size(), s->data + (std::size_t(s->bytes) + 7) / 8 * 8);
    return true;
}

bool in_buffer(std::vector<unsigned char> const& buf, Sub const& s) {
    return s.data <= buf.size() && s.bytes <= buf.size() - s.data;
}

// The header of a matrix element's content (without its tag) into v.
bool parse_matrix(std::vector<unsigned char> const& buf, bool swap, Mat5Var* v) {
    std::size_t pos = 0;
    Sub flags, dims, name;
    if (!next_sub(buf, &pos, swap, &flags) || !in_buffer(buf, flags) || flags.bytes < 8) return false;
    if (!next_sub(buf, &pos, swap, &dims) || !in_buffer(buf, dims) || dims.bytes % 4 != 0) return false;
    if (!next_sub(buf, &pos, swap, &name) || !in_buffer(buf, name)) return false;
    const uint32_t f = load32(&buf[flags.data], swap);
    v->cls = f & 0xff;
    v->complex = (f & 0x800) != 0;
    v->logical = (f & 0x200) != 0;
    v->dims.clear();
    for (std::size_t k = 0; k < dims.bytes / 4; ++k) v->dims.push_back(load32(&buf[dims.data + 4 * k], swap));
    v->name.assign(reinterpret_cast<const char*>(&buf[name.data]), name.bytes);
    v->name.resize(std::strlen(v->name.c_str()));  // a name ends at its first zero byte
    v->stored = 0;
    if (v->cls >= kClassDouble && v->cls <= kClassUint64) {
        Sub real;
        if (!next_sub(buf, &pos, swap, &real)) return false;
        const unsigned size = type_bytes(real.type);
        if (size == 0 || real.bytes % size != 0) return false;
        v->stored = real.bytes / size;
        v->real_end = uint64_t(real.data) + real.bytes;
    }
    return true;
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

bool mat5_directory(std::string const& path, std::vector<Mat5Var>* vars, std::string* error) {
    vars->clear();
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
    while (off < size) {
        unsigned char tag[8];
        in.seekg(std::streamoff(off));
        if (size - off < 8 || !in.read(reinterpret_cast<char*>(tag), 8)) {
            *error = "the file ends inside a data element's tag at byte " + std::to_string(off);
            return false;
        }
        const uint32_t type = load32(tag, swap), bytes = load32(tag + 4, swap);
        if (bytes > size - off - 8) {
            *error = "the data element at byte " + std::to_string(off) + " announces " + std::to_string(bytes) +
                     " bytes, more than the file holds";
            return false;
        }
        if (type == kMiMatrix || type == kMiCompressed) {
            if (vars->size() == kMaxVariables) {
                *error = "the file holds more than " + std::to_string(kMaxVariables) + " variables";
                return false;
            }
            // A compressed element is read whole (its size was checked against the file above)
            // and inflated only as far as the header limit.
            const std::size_t take = type == kMiMatrix ? std::min<std::size_t>(bytes, kHeaderLimit) : bytes;
            raw.resize(take);
            if (take && !in.read(reinterpret_cast<char*>(raw.data()), std::streamsize(take))) {
                *error = "the file cannot be read at byte " + std::to_string(off);
                return false;
            }
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
            Mat5Var v;
            if (!parse_matrix(content, swap, &v)) {
                *error = "the variable header at byte " + std::to_string(off) + " is damaged";
                return false;
            }
            v.offset = off;
            v.bytes = 8 + uint64_t(bytes);
            v.compressed = type == kMiCompressed;
            vars->push_back(std::move(v));
        }
        off += 8 + uint64_t(bytes);
        // Plain elements are padded to 8 bytes; compressed ones are not.
        if (type != kMiCompressed) off = std::min(size, (off + 7) / 8 * 8);
    }
    return true;
}

bool mat5_holds_real_part(std::string const& path, Mat5Var const& v) {
    if (!v.compressed) return v.real_end <= v.bytes - 8;
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> raw(std::size_t(v.bytes - 8));
    in.seekg(std::streamoff(v.offset + 8));
    if (!in.read(reinterpret_cast<char*>(raw.data()), std::streamsize(raw.size()))) return false;
    // Inflate to the end, counting the bytes, through a small window.
    z_stream z;
    std::memset(&z, 0, sizeof z);
    if (inflateInit(&z) != Z_OK) return false;
    unsigned char window[1 << 15];
    z.next_in = raw.data();
    z.avail_in = uInt(raw.size());
    uint64_t total = 0;
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = window;
        z.avail_out = sizeof window;
        rc = inflate(&z, Z_NO_FLUSH);
        total += sizeof window - z.avail_out;
        if (rc == Z_BUF_ERROR || (rc == Z_OK && z.avail_in == 0 && z.avail_out != 0)) break;
    }
    inflateEnd(&z);
    // The stream must end cleanly and hold the matrix element's tag and the whole real part.
    return rc == Z_STREAM_END && total >= 8 && v.real_end <= total - 8;
}

}  // namespace datafile
