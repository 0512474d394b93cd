// libFuzzer target for the network description: initVELTNet on arbitrary bytes, then
// releaseVELTNet, so that a crash, a hang, a leak or an oversized allocation in the parser or in
// the construction of the handle shows. Built with clang, -fsanitize=fuzzer,address,undefined,
// with the library's sources (it calls set_description_memory_limit, which the public header
// does not offer). Run it with new inputs going to a scratch directory, the seeds read-only:
//   fuzz_description -max_total_time=60 -rss_limit_mb=2048 -malloc_limit_mb=512 -max_len=512 \
//       NEW_DIR fuzz/corpus/description
#include <climits>
#include <cstddef>
#include <cstdint>

#include "model/description.h"
#include "veltn.h"

using namespace veltn;

namespace {

void quiet(void* /*user*/, int /*stream*/, const char* /*line*/) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    velt_set_message_handler(&quiet, nullptr);
    // Handles up to 1 MB (some 40000 parameters): every kind of accepted network is still
    // built, the refusal at the limit is reached often, and an execution stays fast. With the
    // machine's physical memory as the limit, a large accepted network would exceed -rss_limit_mb.
    set_description_memory_limit(uint64_t(1) << 20);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(INT_MAX)) return 0;
    void* h = initVELTNet(reinterpret_cast<const char*>(data), static_cast<int>(size));
    // An accepted description has at least two layers of positive width, so some parameters.
    if (h && velt_numel(h) == 0) __builtin_trap();
    releaseVELTNet(h);
    return 0;
}
