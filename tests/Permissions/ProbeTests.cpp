#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Permissions/PathContainment.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "VellumarMacCore/Permissions/ProbePool.h"
#include "tests/support/HeldFolder.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace vellumar;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Threads of this process right now.
std::size_t threadCount()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

// A gate that probe bodies wait at until the test opens it, up to a cap so a broken test cannot
// hang. Shared through a shared_ptr because bodies may outlive the test's frame.
class Gate {
public:
    // Waits until opened or `cap` passed; true when opened.
    bool wait(std::chrono::milliseconds cap)
    {
        std::unique_lock lock(m_mutex);
        ++m_waiting;
        m_changed.notify_all();
        return m_opened.wait_for(lock, cap, [this] { return m_open; });
    }

    void open()
    {
        {
            std::lock_guard lock(m_mutex);
            m_open = true;
        }
        m_opened.notify_all();
    }

    // Polls on a condition, not on time: true once `count` bodies are waiting (false after a
    // generous deadline, which only a broken pool reaches).
    bool awaitWaiting(int count)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, 60s, [&] { return m_waiting >= count; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_opened;
    std::condition_variable m_changed;
    int m_waiting = 0;
    bool m_open = false;
};

// Polls a condition that other threads make true; false only after a generous deadline.
template <typename Condition> bool eventually(Condition condition)
{
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

struct ProbeFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

PermissionResolver resolverWith(std::shared_ptr<ProbePool> pool, double timeoutSeconds)
{
    PermissionResolver resolver(
        "/nonexistent-home", "/nonexistent-home/.local/share/Vellumar", timeoutSeconds);
    resolver.probePool = std::move(pool);
    return resolver;
}

}

TEST(ProbePool, RunsWorkUpToItsLimitAndRefusesTheRest)
{
    auto pool = std::make_shared<ProbePool>(3);
    auto gate = std::make_shared<Gate>();
    auto work = [gate] { gate->wait(60s); };
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(pool->submit(work));
    ASSERT_TRUE(gate->awaitWaiting(3));
    EXPECT_FALSE(pool->submit(work));
    gate->open();
    // The same three workers take new work once free, so more can be submitted again.
    int accepted = 0;
    EXPECT_TRUE(eventually([&] {
        accepted += pool->submit(work) ? 1 : 0;
        return accepted == 3;
    }));
}

TEST(ProbePool, SurvivesWorkThatThrowsAndKeepsServing)
{
    auto pool = std::make_shared<ProbePool>(1);
    auto ran = std::make_shared<Gate>();
    ASSERT_TRUE(pool->submit([] { throw std::runtime_error("body failed"); }));
    // The single worker must come back for the next work.
    ASSERT_TRUE(eventually([&] { return pool->submit([ran] { ran->wait(0ms); }); }));
    EXPECT_TRUE(ran->awaitWaiting(1));
}

TEST(ProbePool, CanBeDestroyedWhileAWorkerHangs)
{
    auto gate = std::make_shared<Gate>();
    auto done = std::make_shared<Gate>();
    {
        ProbePool pool(2);
        ASSERT_TRUE(pool.submit([gate, done] {
            gate->wait(60s);
            done->wait(0ms);
        }));
        ASSERT_TRUE(gate->awaitWaiting(1));
    }
    // The pool is gone; its worker finishes on the state it co-owns.
    gate->open();
    EXPECT_TRUE(done->awaitWaiting(1));
}

TEST(PermissionResolverProbe, ReturnsTheBodysValueOrRethrowsItsError)
{
    // A worker counts as busy until just after its body has answered, so each of these probes may need
    // a worker of its own.
    auto resolver = resolverWith(std::make_shared<ProbePool>(4), 60.0);
    EXPECT_EQ(resolver.probe([] { return 42; }), 42);
    EXPECT_EQ(resolver.probe([] { return std::optional<int>(); }),
        std::optional<std::optional<int>>(std::in_place));
    EXPECT_THROW(resolver.probe([]() -> int { throw ProbeFailure("listing failed"); }), ProbeFailure);
    EXPECT_THROW(resolver.probe([]() -> int { throw RelayHTTPError(400, "x", "y"); }), RelayHTTPError);
}

TEST(PermissionResolverProbe, GivesUpAtTheTimeOutWhileTheBodyStillRuns)
{
    auto resolver = resolverWith(std::make_shared<ProbePool>(2), 3.0);
    auto gate = std::make_shared<Gate>();
    auto finished = std::make_shared<std::atomic<bool>>(false);
    auto started = std::chrono::steady_clock::now();
    // The body would take 5 s unless the gate opens first.
    auto result = resolver.probe([gate, finished] {
        gate->wait(5s);
        finished->store(true);
        return 1;
    });
    auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_FALSE(result);
    EXPECT_GE(waited, 3s);
    // Still running: the caller did not wait for the body.
    EXPECT_FALSE(finished->load());
    gate->open();
    // The late result went into a box nobody reads; the next probe runs a new body.
    EXPECT_EQ(resolver.probe([] { return 2; }), 2);
}

TEST(PermissionResolverProbe, ReportsAFolderThatDoesNotOpenInTimeThenOpensOnceItAnswers)
{
    test::TemporaryFolder temporary;
    const fs::path folder = resolvingSymlinks(temporary.path()) / "Slow";
    fs::create_directory(folder);
    auto resolver = resolverWith(std::make_shared<ProbePool>(2), 3.0);
    test::HeldFolder held(folder);
    if (!held.isHolding())
        GTEST_SKIP() << "holding folder openings needs fanotify and CAP_SYS_ADMIN";

    auto started = std::chrono::steady_clock::now();
    try {
        resolver.checkReadable(folder, "~/Slow");
        ADD_FAILURE() << "a folder that does not open was let through";
    } catch (const RelayHTTPError& error) {
        EXPECT_EQ(error.status(), 403);
        EXPECT_EQ(error.code(), "folder_blocked");
        EXPECT_EQ(error.message(),
            "\"~/Slow\" did not open in time. If the Mac shows a privacy prompt for Vellumar for Mac, allow "
            "it, "
            "then try again.");
    }
    EXPECT_GE(std::chrono::steady_clock::now() - started, 3s);
    // The opening was still held when the caller gave up: it did not wait for the body.
    EXPECT_TRUE(held.allowWaitingOpening());

    held.release();
    EXPECT_EQ(resolver.checkReadable(folder, "~/Slow"), folder);
}

TEST(PermissionResolverProbe, AFullPoolAnswersAtOnceWithoutANewThread)
{
    auto pool = std::make_shared<ProbePool>(2);
    auto resolver = resolverWith(pool, 600.0);
    auto gate = std::make_shared<Gate>();
    std::vector<std::thread> callers;
    for (int i = 0; i < 2; ++i)
        callers.emplace_back([resolver, gate] { resolver.probe([gate] { return gate->wait(60s); }); });
    ASSERT_TRUE(gate->awaitWaiting(2));

    // The pool is full, so this answers without waiting anything like the 600 s time-out.
    auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(resolver.probe([] { return 3; }));
    fs::path folder = test::sourceDir();
    try {
        resolver.checkReadable(folder, "~/Work");
        ADD_FAILURE() << "a full pool let the folder through";
    } catch (const RelayHTTPError& error) {
        EXPECT_EQ(error.status(), 403);
        EXPECT_EQ(error.code(), "folder_blocked");
        EXPECT_EQ(error.message(),
            "\"~/Work\" did not open in time. If the Mac shows a privacy prompt for Vellumar for Mac, allow "
            "it, "
            "then try again.");
    }
    try {
        resolver.homeFolders({});
        ADD_FAILURE() << "a full pool listed home";
    } catch (const RelayHTTPError& error) {
        EXPECT_EQ(error.code(), "folder_blocked");
        EXPECT_EQ(error.message(),
            "\"~\" did not open in time. If the Mac shows a privacy prompt for Vellumar for Mac, allow it, "
            "then "
            "try again.");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 300s);
    gate->open();
    for (auto& caller : callers)
        caller.join();
}

TEST(PermissionResolverProbe, TwoHundredBlockedProbesShareABoundedPool)
{
    constexpr int kProbes = 200;
    auto pool = std::make_shared<ProbePool>(ProbePool::defaultWorkerLimit);
    auto resolver = resolverWith(pool, 600.0);
    auto gate = std::make_shared<Gate>();
    std::atomic<int> refused = 0;
    std::atomic<int> answered = 0;
    const std::size_t before = threadCount();

    std::vector<std::thread> callers;
    for (int i = 0; i < kProbes; ++i) {
        callers.emplace_back([&] {
            if (!resolver.probe([gate] { return gate->wait(120s); }))
                ++refused;
            ++answered;
        });
    }
    const int limit = static_cast<int>(ProbePool::defaultWorkerLimit);
    ASSERT_TRUE(gate->awaitWaiting(limit));
    // Every probe beyond the pool's workers answered at once instead of getting a thread.
    ASSERT_TRUE(eventually([&] { return answered.load() >= kProbes - limit; }));
    EXPECT_EQ(refused.load(), kProbes - limit);
    // Our 200 callers plus at most the pool's 64 workers; a thread per probe would make 400.
    EXPECT_LE(threadCount(), before + kProbes + ProbePool::defaultWorkerLimit);

    gate->open();
    for (auto& caller : callers)
        caller.join();
    EXPECT_EQ(refused.load(), kProbes - limit);
}
