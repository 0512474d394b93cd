// The fuzz input as a file: the readers take a path, so each input is written to one in-memory
// file that is opened again through /proc/self/fd.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace fuzz {

// Replaces the content of the in-memory file with the n bytes at data; returns its path.
inline std::string as_file(const uint8_t* data, std::size_t size) {
    static const int fd = ::memfd_create("veltn-fuzz-input", 0);
    if (fd < 0) std::abort();
    if (::ftruncate(fd, 0) != 0) std::abort();
    std::size_t done = 0;
    while (done < size) {
        const ssize_t w = ::pwrite(fd, data + done, size - done, off_t(done));
        if (w <= 0) std::abort();
        done += std::size_t(w);
    }
    return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace fuzz
