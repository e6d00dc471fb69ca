// Many independent items that each cost a few system calls (a thousand repositories' folders read at a
// run's start or end), spread over a few threads that claim a few items at a time, the caller's among
// them: a thread that starts late on a busy machine leaves its share to the others rather than the
// whole waiting for it.
#pragma once

#include <cstddef>
#include <functional>

namespace vellumar {

struct ParallelShares {
    // Fewer items than this stay on the caller's thread alone, where a thread's start would cost more
    // than it saves.
    std::size_t sharedFrom = 64;
    // Items a thread claims at once: a few where each costs about the same, one where some cost
    // thousands of times what others do, so that no thread is left with the largest few.
    std::size_t claimedAtOnce = 16;
};

// Calls `each(index)` once for every index below `count`, on the caller's thread and on up to three
// others, and returns once every call has returned. `each` must allow calls from several threads at
// once. The first exception a call throws is thrown here once the calls under way have returned; the
// items no thread had claimed by then are left.
void parallelEach(
    std::size_t count, const std::function<void(std::size_t)>& each, const ParallelShares& shares = {});

}
