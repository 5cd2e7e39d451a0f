// Runs of calls measured for the growth of the process's private memory. A
// call that loses one heap block grows every slice of a long run; Wine's heap
// now and then grows by a large step once (up to 2.5 MB was seen in the 32-bit
// guest, over a run whose other slices did not grow), which the median slice
// passes over.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>

#include "process_memory.h"

namespace test_support {

constexpr int kSlices = 5;
constexpr std::int64_t kSliceGrowthLimit = 32 * 1024;

// The growth of private memory over the life of the holder.
class MemoryGrowth {
  public:
    MemoryGrowth() : m_before(PrivateMemory()) {}
    std::int64_t bytes() const { return PrivateMemory() - m_before; }

  private:
    std::int64_t m_before;
};

// How many calls of a run answered as expected, and each slice's growth.
struct SlicedRun {
    int answered = 0;
    std::int64_t slices[kSlices] = {};

    std::int64_t median() const {
        std::int64_t sorted[kSlices];
        std::copy(std::begin(slices), std::end(slices), sorted);
        std::sort(std::begin(sorted), std::end(sorted));
        return sorted[kSlices / 2];
    }
};

// Runs `call` with the indices 0 to calls - 1, counting the calls that
// answered as expected, and measures the growth of each of kSlices slices.
template <class Call>
SlicedRun RunInSlices(int calls, Call call) {
    SlicedRun run;
    int index = 0;
    for (std::int64_t& slice : run.slices) {
        MemoryGrowth growth;
        for (int i = 0; i < calls / kSlices; ++i, ++index) {
            run.answered += call(index) ? 1 : 0;
        }
        slice = growth.bytes();
    }
    return run;
}

// Checks a run of `calls` calls, and prints its slices' growth.
inline void ExpectFlat(const SlicedRun& run, int calls, const char* what) {
    EXPECT_EQ(run.answered, calls) << what;
    EXPECT_LT(run.median(), kSliceGrowthLimit) << calls << " " << what;
    std::printf("%d %s: private memory grew by", calls, what);
    for (const std::int64_t slice : run.slices) {
        std::printf(" %lld", static_cast<long long>(slice));
    }
    std::printf(" bytes in %d slices\n", kSlices);
}

}  // namespace test_support
