// Parallel regions: every slot runs once, the lowest failing slot's failure is the one
// reported, and the slot count follows the work.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "core/parallel.h"

using namespace veltn;

// Slots that fail report the lowest slot's failure, whatever team runs them.
TEST(ParallelRegion, RethrowsTheLowestFailingSlot) {
    for (unsigned nslots : {2u, 3u, 5u}) {
        for (int repeat = 0; repeat < 20; ++repeat) {
            std::vector<int> ran(nslots, 0);
            std::string what;
            try {
                parallel_region(nslots, [&](unsigned slot, unsigned) {
                    ++ran[slot];
                    if (slot >= 1) throw std::runtime_error("slot " + std::to_string(slot));
                });
            } catch (std::runtime_error const& e) {
                what = e.what();
            }
            EXPECT_EQ(what, "slot 1") << nslots;
            for (unsigned s = 0; s < nslots; ++s) EXPECT_EQ(ran[s], 1) << "slot " << s << " ran " << ran[s] << " times";
        }
    }
}

TEST(ParallelRegion, SlotsFollowTheWork) {
    struct Case {
        uint32_t threads, rows, batch;
        double row_work;
        unsigned slots;
    };
    const double big = 1e9;
    for (Case const& c : {
             Case{2, 100, 32, 100.0, 1},            // far below the work of one slot
             Case{2, 4096, 32, 5376.0, 2},          // 22 M multiply-adds: both threads
             Case{4, 4096, 32, 5376.0, 4},          // 5.5 M per slot for 4 slots
             Case{16, 4096, 32, 5376.0, 5},         // at most one slot per 4 M
             Case{2, 100, 32, 96.0 * 227 * 3, 1},   // the full Hessian of S: 6.5 M, one slot
             Case{4, 3, 1, big, 3},                 // never more slots than batches
             Case{4, 3, 2, big, 2},                 //   (3 rows in batches of 2)
             Case{1, 1u << 20, 32, big, 1},         // never more than the handle's threads
             Case{3, 0, 32, big, 1},                // no rows: one slot that does nothing
         })
        EXPECT_EQ(region_slots(c.threads, c.rows, c.batch, c.row_work), c.slots)
            << c.threads << " threads, " << c.rows << " rows, batch " << c.batch << ", work " << c.row_work;
}
