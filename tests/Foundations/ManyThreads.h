// Calls made from many threads at once, for the checks that shared state is not disturbed.
#pragma once

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace vellumar::test {

// Calls `check(thread)` `rounds` times on each of `threads` threads started together; answers how many
// calls returned false.
inline int failuresOnThreads(int threads, int rounds, const std::function<bool(int thread)>& check)
{
    std::atomic<int> failures = 0;
    {
        std::vector<std::jthread> running;
        for (int thread = 0; thread < threads; ++thread) {
            running.emplace_back([&, thread] {
                for (int round = 0; round < rounds; ++round)
                    failures += !check(thread);
            });
        }
    }
    return failures;
}

}
