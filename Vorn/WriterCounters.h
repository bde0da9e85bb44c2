#pragma once
#include <cstdint>

namespace Vorn {

struct WriterCounters {
    std::uint64_t inserts = 0;
    std::uint64_t removes = 0;
    std::uint64_t grows = 0;       // slot table grows
    std::uint64_t shrinks = 0;     // slot table shrinks
    std::uint64_t remaps = 0;      // slot mappings that moved
    std::uint64_t directWrites = 0;
    std::uint64_t directCommits = 0;
    std::uint64_t bucketGrows = 0;
    std::uint64_t bucketShrinks = 0;
    double longestBucketGrowSeconds = 0;
    double longestBucketShrinkSeconds = 0;
    double longestSlotShrinkSeconds = 0;
    double longestSliceSeconds = 0;  // longest reorganisation stretch between two yields
    double lastResizeTime = 0;       // Lumo::time() of the last grow or shrink
};

}  // namespace Vorn
