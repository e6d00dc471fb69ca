// Runs work(0) .. work(count - 1), each on a thread of its own, and returns when all have ended.
#pragma once

#include <functional>
#include <thread>
#include <vector>

namespace vellumar::test {

inline void concurrently(int count, const std::function<void(int)>& work)
{
    std::vector<std::jthread> threads;
    for (int index = 0; index < count; ++index)
        threads.emplace_back(work, index);
}

}
