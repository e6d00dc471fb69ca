// What the Git guard's watch costs the program while ordinary work goes on beside 1,000 watched
// repositories: the process's CPU seconds over five seconds of appending to a file at the top of one
// work tree (an editor's or a build's writes), against five idle seconds; then how soon a planted hook
// is gone; and the size of the record of live runs naming the guard's units, with the time of one
// rewrite of it. Git folders are laid out by hand (HEAD, config, one hook), which is all the guard notes.
//
// Usage: bench_git_guard_watch [REPOSITORIES [SECONDS]]   (defaults 1000 and 5)

#include "VellumarMacCore/GitProtection/GitProtection.h"
#include "bench/BenchRequire.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

using namespace vellumar;
using vellumar::bench::require;
namespace fs = std::filesystem;

constexpr int kPlants = 50;

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& time) { return double(time.tv_sec) + double(time.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::vector<GuardedRepository> madeRepositories(const fs::path& root, int count)
{
    std::vector<GuardedRepository> repositories;
    for (int index = 0; index < count; ++index) {
        fs::path top = root / ("r" + std::to_string(index));
        fs::create_directories(top / ".git/hooks");
        fs::create_directories(top / ".git/objects");
        fs::create_directories(top / ".git/refs");
        std::ofstream(top / ".git/HEAD") << "ref: refs/heads/main\n";
        std::ofstream(top / ".git/config") << "[core]\n\tbare = false\n";
        std::ofstream(top / ".git/hooks/pre-commit") << "#!/bin/sh\nexit 0\n";
        fs::permissions(top / ".git/hooks/pre-commit", fs::perms::owner_all);
        repositories.push_back({ top / ".git", top });
    }
    return repositories;
}

}

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 5;
    require(count > 0 && seconds > 0, "REPOSITORIES and SECONDS are positive numbers");
    char pattern[] = "/tmp/bench-git-guard-watch-XXXXXX";
    require(::mkdtemp(pattern) != nullptr, "a temporary folder");
    const fs::path root = fs::canonical(pattern);
    auto repositories = madeRepositories(root / "places", count);

    std::vector<double> putBackMicroseconds;
    std::uintmax_t appends = 0;
    double idle = 0;
    double appending = 0;
    std::size_t watched = 0;
    std::uintmax_t recordBytes = 0;
    double recordWriteMilliseconds = 0;
    {
        GitGuard guard(repositories, {}, {},
            { .places = { root / "places" },
                .liveRuns = root,
                .settings = GitCountedSettings::gitReaderForThisProcess() });
        GitGuardWatch watch(guard, { .places = { root / "places" } });
        require(watch.running() && watch.unwatchedCount() == 0, "every repository watched");
        watched = watch.watchedCount();
        recordBytes = fs::file_size(LiveRuns::recordOf(root, LiveRuns::Kind::guardedUnit));
        auto writing = std::chrono::steady_clock::now();
        LiveRuns::in(root).locked().write(LiveRuns::Kind::guardedUnit);
        recordWriteMilliseconds
            = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - writing).count();

        double before = cpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        idle = cpuSeconds() - before;

        const fs::path appended = root / "places/r0/build.log";
        const std::string appender = "timeout " + std::to_string(seconds) + " sh -c 'while :; do echo x >> "
            + appended.string() + "; done'";
        before = cpuSeconds();
        [[maybe_unused]] int status = std::system(appender.c_str());
        appending = cpuSeconds() - before;
        appends = fs::file_size(appended) / 2;

        // From a hook's planting to its being gone, the watch's thread against this one's polling.
        const fs::path planted = root / "places/r1/.git/hooks/post-checkout";
        for (int plant = 0; plant < kPlants; ++plant) {
            auto start = std::chrono::steady_clock::now();
            std::ofstream(planted) << "#!/bin/sh\n";
            while (fs::exists(planted))
                require(std::chrono::steady_clock::now() - start < std::chrono::seconds(10), "put back");
            putBackMicroseconds.push_back(
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        }
    }
    std::printf("repositories:            %d (%zu watches)\n", count, watched);
    std::printf("record of the guard's units: %ju bytes, rewritten whole in %.1f ms\n", recordBytes,
        recordWriteMilliseconds);
    std::printf("CPU seconds, %d s idle:   %.3f\n", seconds, idle);
    std::printf("CPU seconds, %d s appending at a work tree's top (%ju appends): %.3f\n", seconds, appends,
        appending);
    std::sort(putBackMicroseconds.begin(), putBackMicroseconds.end());
    std::printf("put back after a plant:  median %.0f us, slowest %.0f us of %d\n",
        putBackMicroseconds[kPlants / 2], putBackMicroseconds.back(), kPlants);
    fs::remove_all(root);
    return 0;
}
