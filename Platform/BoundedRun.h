// Running work that may never return without letting it hold up the caller past a deadline.
#pragma once

#include <chrono>
#include <functional>

namespace vellumar::platform {

// Runs `work` on a detached thread of its own and waits for it at most `limit`; answers whether it
// returned in time. A `work` that runs on keeps running after this returns, so whatever it touches
// must outlive it: the caller then ends the process without tearing that down. An exception
// thrown by `work` is swallowed and counts as returning.
bool runBounded(std::function<void()> work, std::chrono::milliseconds limit);

}
