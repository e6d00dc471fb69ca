// A wall clock that stands still until the test moves it, for units that take a clock function.
#pragma once

#include <chrono>
#include <functional>

namespace vellumar::test {

struct ManualClock {
    std::chrono::system_clock::time_point now { std::chrono::sys_days {
        std::chrono::year { 2025 } / 3 / 1 } };

    // Reads `now` at each call; the clock must outlive the function.
    std::function<std::chrono::system_clock::time_point()> function()
    {
        return [this] { return now; };
    }
};

}
