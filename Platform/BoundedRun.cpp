#include "Platform/BoundedRun.h"

#include <memory>
#include <semaphore>
#include <thread>

namespace vellumar::platform {

bool runBounded(std::function<void()> work, std::chrono::milliseconds limit)
{
    // Shared with the thread, which may signal it long after this call has given up waiting.
    auto done = std::make_shared<std::binary_semaphore>(0);
    std::thread([done, work = std::move(work)] {
        try {
            work();
        } catch (...) {
        }
        done->release();
    }).detach();
    return done->try_acquire_for(limit);
}

}
