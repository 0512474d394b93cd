// Row batches and the parallel regions that process them.
#pragma once

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <exception>
#include <vector>

#include "core/messages.h"
#include "core/thread_state.h"

namespace veltn {

// Rows cut into batches of `size` rows (the last one shorter when size does not divide the
// row count), handed to threads in static blocks of `chunk` batches.
struct BatchPlan {
    uint32_t rows;
    uint32_t size;
    uint32_t count;
    uint32_t chunk;

    BatchPlan(uint32_t nrows, uint32_t batch, uint32_t nthreads)
        : rows(nrows), size(batch), count(nrows / batch + (nrows % batch != 0 ? 1u : 0u)) {
        chunk = static_cast<uint32_t>(std::ceil(static_cast<double>(count) / static_cast<double>(nthreads)));
    }
    uint32_t first_row(uint32_t b) const { return b * size; }
    uint32_t rows_of(uint32_t b) const {
        return (b + 1 == count && rows % size != 0) ? rows % size : size;
    }
    // Batches of slot `tid` of `nteam`: blocks tid, tid + nteam, ... of `chunk` batches.
    template <class F>
    void for_thread(unsigned tid, unsigned nteam, F&& f) const {
        for (uint64_t start = uint64_t(tid) * chunk; start < count; start += uint64_t(nteam) * chunk) {
            const uint64_t end = std::min<uint64_t>(start + chunk, count);
            for (uint64_t b = start; b < end; ++b)
                if (rows_of(uint32_t(b)) != 0) f(uint32_t(b));
        }
    }
};

// The most threads one region asks for: the runtime ends the process when it cannot start a
// thread, so a request for tens of thousands is cut down before it reaches it.
constexpr uint64_t kMaxTeam = 1024;

// Threads actually requested for `work` items: never more than there are items (the extra
// threads would only idle) and never more than the runtime allows.
inline unsigned team_size(uint32_t nthreads, uint64_t work) {
    uint64_t n = std::min<uint64_t>({nthreads, std::max<uint64_t>(work, 1), kMaxTeam});
    n = std::min<uint64_t>(n, static_cast<uint64_t>(std::max(omp_get_thread_limit(), 1)));
    return static_cast<unsigned>(std::max<uint64_t>(n, 1));
}

// Multiply-adds a slot must have for a parallel region to pay for itself: waking a pool thread,
// its workspace and the final sum in slot order cost tens of microseconds on a quiet machine
// (and far more on a loaded one, where the region waits for a descheduled thread).
constexpr double kMinSlotWork = 4e6;

// Slots for `rows` rows in batches of `batch` rows at `row_work` multiply-adds per row: at most
// nthreads, at most one per batch, and none with less than kMinSlotWork. It depends only on the
// call's sizes, never on the team the runtime grants, so results stay the same bits.
inline unsigned region_slots(uint32_t nthreads, uint32_t rows, uint32_t batch, double row_work) {
    const uint64_t batches = rows / batch + (rows % batch != 0 ? 1u : 0u);
    const double by_work = std::floor(row_work * rows / kMinSlotWork);
    const uint64_t most = by_work < 1.0 ? 1u : by_work > 1e9 ? uint64_t(1e9) : uint64_t(by_work);
    return team_size(static_cast<uint32_t>(std::min<uint64_t>(nthreads, most)), batches);
}

// Runs body(slot, nslots) once for every slot 0 .. nslots-1, on a team of up to nslots threads.
// Work is divided by slot, not by the thread that runs it: a caller's OpenMP region may give the
// library fewer threads than asked (nested regions run on one), and a thread that gets several
// slots runs them one after the other, so what each slot computes, and hence every result, is
// the same whatever team the runtime grants. No body may use a barrier: a slot does not know
// which team it runs in. An exception in a slot ends that slot; the one of the lowest slot is
// rethrown in the caller, so which failure a call reports does not depend on the team either
// (slots take the batches in row order: it is the one of the first failing batch). The call's
// floating-point events, direction counts and message lines reach and leave the worker threads
// through WorkerScope and HoldLines.
template <class Body>
void parallel_region(unsigned nslots, Body&& body) {
    if (nslots <= 1) {
        body(0u, 1u);
        return;
    }
    std::vector<std::exception_ptr> errors(nslots);
    const veltn::CallState caller = veltn::call_state();
    veltn::HeldLines held;
#pragma omp parallel num_threads(nslots)
    {
        const unsigned tid = static_cast<unsigned>(omp_get_thread_num());
        veltn::WorkerScope scope(tid != 0, caller);
        veltn::HoldLines hold(tid != 0 ? &held : nullptr);
        const unsigned nteam = static_cast<unsigned>(omp_get_num_threads());
        for (unsigned slot = tid; slot < nslots; slot += nteam) {
            try {
                body(slot, nslots);
            } catch (...) {
                errors[slot] = std::current_exception();
            }
        }
    }
    held.flush();
    for (std::exception_ptr const& error : errors)
        if (error) std::rethrow_exception(error);
}

}  // namespace veltn
