// Load driver for a large session store: a 5 MB and a 50 MB "sessions.json", each conversation
// cleared in turn on a different one of 64 threads as the relay's request workers would, alternating
// between the two stores. Prints the median time of a clear in each, their ratio, and the resident
// memory at rest against after the clears. The files live in /dev/shm, so the disk does not weigh in.
// A clear must rewrite the whole file before it returns, so each store's figure is also set against
// the floor that leaves: `writePrivateFile` of a document of the same size beside it, in the same rounds.
//
// Usage: bench_session_store [CPUS [CLEARS]]   (defaults "0,1", 30)

#include "VellumarMacCore/ConversationData/SessionStore.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"
#include "bench/WrkLoad.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace vellumar;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kWorkers = 64;

std::string conversationID(int index) { return "ios-bench-" + std::to_string(index); }

// A stored conversation of about 7 KB: a session and its four recent turns.
std::string entry(int index)
{
    std::string recent;
    for (int turn = 0; turn < 4; ++turn)
        recent += std::string(turn ? "," : "") + "{\"at\":" + std::to_string(1'700'000'000 + turn)
            + ",\"reply\":\"" + std::string(1500, 'r') + "\",\"user\":\"" + std::string(200, 'u')
            + std::to_string(index) + "\"}";
    return "{\"botId\":\"main\",\"recent\":[" + recent
        + "],\"sessionId\":\"3f2504e0-4f89-41d3-9a0c-0305e82c3301\",\"updatedAt\":1700000000}";
}

// Writes a store of `conversations` entries; answers its size in bytes.
std::size_t writeStore(const fs::path& file, int conversations)
{
    std::string bytes = "{";
    for (int index = 0; index < conversations; ++index)
        bytes += std::string(index ? "," : "") + "\"" + conversationID(index) + "\":" + entry(index);
    bytes += "}";
    std::ofstream(file, std::ios::binary) << bytes;
    return bytes.size();
}

double residentMB()
{
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / 1e6;
}

// 64 threads that run one piece of work at a time, each piece on the next thread in turn.
class WorkerPool {
public:
    WorkerPool()
    {
        for (int index = 0; index < kWorkers; ++index)
            m_threads.emplace_back([this, index] { serve(index); });
    }
    ~WorkerPool() { run(nullptr); }

    // Runs `work` on the next thread and waits for it; null ends every thread.
    void run(std::function<void()> work)
    {
        std::unique_lock lock(m_lock);
        m_work = std::move(work);
        m_turn = m_work ? (m_turn + 1) % kWorkers : -1;
        m_done = false;
        m_changed.notify_all();
        if (m_turn >= 0)
            m_changed.wait(lock, [this] { return m_done; });
    }

private:
    void serve(int index)
    {
        std::unique_lock lock(m_lock);
        for (;;) {
            m_changed.wait(lock, [&] { return (m_turn == index && !m_done) || m_turn < 0; });
            if (m_turn < 0)
                return;
            m_work();
            m_done = true;
            m_changed.notify_all();
        }
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::function<void()> m_work;
    int m_turn = 0;
    // Nothing to run until the first piece comes.
    bool m_done = true;
    std::vector<std::jthread> m_threads;
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}

int main(int argc, char** argv)
{
    std::string cpus = argc > 1 ? argv[1] : "0,1";
    int clears = argc > 2 ? std::atoi(argv[2]) : 30;
    bench::pinTo(cpus);
    char folderTemplate[] = "/dev/shm/vellumar-bench-XXXXXX";
    fs::path folder = ::mkdtemp(folderTemplate);
    auto smallBytes = writeStore(folder / "small.json", 700);
    auto largeBytes = writeStore(folder / "large.json", 7000);
    auto clock = [] { return std::chrono::system_clock::now(); };
    SessionStore small(folder / "small.json", clock), large(folder / "large.json", clock);
    WorkerPool workers;
    // Both loaded, as a running relay holds them.
    workers.run([&] { small.sessionID(conversationID(0), "main"); });
    workers.run([&] { large.sessionID(conversationID(0), "main"); });
    double idle = residentMB();

    std::vector<double> smallTimes, largeTimes, smallWrites, largeWrites;
    auto timed = [&](std::vector<double>& times, const std::function<void()>& work) {
        workers.run([&] {
            auto start = Clock::now();
            work();
            times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        });
    };
    // The bare writes repeat one block, so that they hold no document in memory of their own.
    const std::string block(64 * 1024, 'x');
    std::vector<std::string_view> smallDocument(smallBytes / block.size(), block),
        largeDocument(largeBytes / block.size(), block);
    for (int index = 0; index < clears; ++index) {
        timed(smallTimes, [&] { small.forgetSession(conversationID(index)); });
        timed(smallWrites, [&] { writePrivateFile(smallDocument, folder / "small-floor.json"); });
        timed(largeTimes, [&] { large.forgetSession(conversationID(index)); });
        timed(largeWrites, [&] { writePrivateFile(largeDocument, folder / "large-floor.json"); });
    }
    double after = residentMB();

    std::printf(
        "session store, %d clears each on rotating threads of %d, CPUs %s\n", clears, kWorkers, cpus.c_str());
    std::printf("clear in a %.1f MB store     median %8.2f ms   (%.2fx a bare write of its size, %.2f ms)\n",
        smallBytes / 1e6, median(smallTimes), median(smallTimes) / median(smallWrites), median(smallWrites));
    std::printf("clear in a %.1f MB store    median %8.2f ms   (%.2fx a bare write of its size, %.2f ms)\n",
        largeBytes / 1e6, median(largeTimes), median(largeTimes) / median(largeWrites), median(largeWrites));
    std::printf(
        "large / small               %8.2f   (target at most 2)\n", median(largeTimes) / median(smallTimes));
    std::printf(
        "resident memory: %.0f MB at rest, %.0f MB after the clears; at most %.0f MB wanted (rest + 3x "
        "the large store)\n",
        idle, after, idle + 3 * largeBytes / 1e6);
    fs::remove_all(folder);
    return 0;
}
