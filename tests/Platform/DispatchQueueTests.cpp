// The serial queue of the terminals and its sources: level-triggered readiness, cancellation, a
// child's end, and a queue released from its own work.
#include "Platform/DispatchQueue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vellumar::platform;
using namespace std::chrono_literals;

namespace {

using Kind = DispatchSource::Kind;

// Runs `work` on the queue and waits for it to have run.
void onQueue(DispatchQueue& queue, const std::function<void()>& work)
{
    std::promise<void> done;
    queue.async([&] {
        work();
        done.set_value();
    });
    ASSERT_EQ(done.get_future().wait_for(30s), std::future_status::ready);
}

TEST(DispatchSource, ReadableFiresWhileDataWaitsAndNotWhileSuspended)
{
    DispatchQueue queue("test.dispatch");
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    std::unique_ptr<DispatchSource> source;
    std::promise<std::string> drained;
    std::string seen;
    onQueue(queue, [&] {
        // Each firing takes one byte: level-triggered, it fires again for the rest.
        source = std::make_unique<DispatchSource>(queue, Kind::readable, pipeEnds[0], [&] {
            char byte;
            if (read(pipeEnds[0], &byte, 1) == 1)
                seen += byte;
            if (seen == "abc")
                drained.set_value(seen);
        });
    });
    ASSERT_EQ(write(pipeEnds[1], "abc", 3), 3);
    onQueue(queue, [&] { EXPECT_EQ(seen, ""); }); // suspended at creation: nothing was read
    onQueue(queue, [&] { source->resume(); });
    auto result = drained.get_future();
    ASSERT_EQ(result.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(result.get(), "abc");
    onQueue(queue, [&] { source.reset(); });
    close(pipeEnds[0]);
    close(pipeEnds[1]);
}

TEST(DispatchSource, CancelHandlerRunsOnceAndTheHandlerNeverAfter)
{
    DispatchQueue queue("test.dispatch");
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    ASSERT_EQ(write(pipeEnds[1], "x", 1), 1); // readable for good: a live handler would fire forever
    std::promise<void> cancelled;
    int firings = 0;
    int cancels = 0;
    std::unique_ptr<DispatchSource> source;
    onQueue(queue, [&] {
        source = std::make_unique<DispatchSource>(
            queue, Kind::readable, pipeEnds[0], [&] { ++firings; },
            [&] {
                ++cancels;
                cancelled.set_value();
            });
        source->resume();
    });
    onQueue(queue, [&] {
        source->cancel();
        source->cancel();
    });
    ASSERT_EQ(cancelled.get_future().wait_for(30s), std::future_status::ready);
    const int firedBeforeCancel = firings;
    onQueue(queue, [] {});
    onQueue(queue, [&] {
        EXPECT_EQ(firings, firedBeforeCancel);
        EXPECT_EQ(cancels, 1);
        source.reset();
    });
    close(pipeEnds[0]);
    close(pipeEnds[1]);
}

TEST(DispatchSource, ProcessExitFiresForAChildThatEndedBeforeItWasWatched)
{
    DispatchQueue queue("test.dispatch");
    pid_t child = -1;
    char* argv[] = { const_cast<char*>("true"), nullptr };
    ASSERT_EQ(posix_spawn(&child, "/bin/true", nullptr, nullptr, argv, nullptr), 0);
    siginfo_t info {};
    // Waits for the end without reaping, so the pid stays the child's.
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
    std::promise<void> fired;
    std::unique_ptr<DispatchSource> source;
    onQueue(queue, [&] {
        source = std::make_unique<DispatchSource>(queue, Kind::processExit, child, [&] {
            source->cancel();
            fired.set_value();
        });
        source->resume();
    });
    EXPECT_EQ(fired.get_future().wait_for(30s), std::future_status::ready);
    onQueue(queue, [&] { source.reset(); });
    EXPECT_EQ(waitpid(child, nullptr, 0), child);
}

TEST(DispatchQueue, ReleasedFromItsOwnWorkItEndsAfterThatWorkAndDropsTheRest)
{
    auto queue = std::make_unique<DispatchQueue>("test.dispatch");
    auto dropped = std::make_shared<int>(0);
    std::promise<void> released;
    queue->after(1h, [dropped] {});
    queue->async([&] {
        queue->async([dropped] { ++*dropped; });
        queue.reset();
        released.set_value();
    });
    ASSERT_EQ(released.get_future().wait_for(30s), std::future_status::ready);
    // The thread lets go of what never ran as it ends; this waits only as long as that takes.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (dropped.use_count() > 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_EQ(dropped.use_count(), 1);
    EXPECT_EQ(*dropped, 0);
}

}
