// Whether a running child gets on, as the kernel tells it in "/proc/<pid>/stat": what tells a program
// blocked for good (on a FIFO nobody writes, a lock) from one that is only slow on a busy machine.
#pragma once

#include <cstdint>
#include <optional>
#include <sys/types.h>

namespace vellumar::ProcessProgress {

struct Sample {
    // Runnable, or waiting on the disk: a program the machine has yet to get to.
    bool running = false;
    // Its CPU time and that of the children it waited for, in the kernel's clock ticks.
    std::uint64_t cpuTicks = 0;
};

// `pid`'s state now, a child of this process not yet reaped; absent where it cannot be read.
std::optional<Sample> of(pid_t pid);

// Whether the program made progress from `earlier` to `now`: it ran, or is waiting to. Where either
// could not be read, it did not.
bool madeProgress(const std::optional<Sample>& earlier, const std::optional<Sample>& now);

}
