// Many independent items that each cost a few system calls (a thousand repositories' folders read at a
// run's start or end), spread over a few threads that claim a few items at a time, the caller's among
// them: a thread that starts late on a busy machine leaves its share to the others rather than the
// whole waiting for it.
#pragma once

#include <cstddef>
#include <functional>

namespace vellumar {

// Calls `each(index)` once for every index below `count`, on the caller's thread and on up to three
// others, and returns once every call has returned. Fewer than `sharedFrom` items stay on the caller's
// thread alone, where a thread's start would cost more than it saves. `each` must allow calls from
// several threads at once. The first exception a call throws is thrown here once the calls under way
// have returned; the items no thread had claimed by then are left.
void parallelEach(
    std::size_t count, const std::function<void(std::size_t)>& each, std::size_t sharedFrom = 64);

}
