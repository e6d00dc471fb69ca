// What the Git guard's watch costs the program while ordinary work goes on beside 1,000 watched
// repositories: the process's CPU seconds over five seconds of appending to a file at the top of one
// work tree (an editor's or a build's writes), against five idle seconds; then how soon a planted hook
// is gone; and the size of the record of live runs naming the guard's units, with the time of one
// rewrite of it. Git folders are laid out by hand (HEAD, config, one hook), which is all the guard notes.
// Last a command that makes many folders in a place (`cp -r` of a package tree of some 20,000 folders, as an
// `npm install` unpacks), which the watch follows down for new Git folders: its time with the watch
// against without, in rounds taking turns.
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
#include <memory>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

using namespace vellumar;
using vellumar::bench::require;
namespace fs = std::filesystem;

constexpr int kPlants = 50;
constexpr int kTreeFolders = 20000;
constexpr int kCopyRounds = 5;

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A package tree of some `kTreeFolders` folders: packages of 41 folders each, four deep below it.
void makeTree(const fs::path& tree)
{
    for (int package = 0; package < kTreeFolders / 40; ++package) {
        for (int branch = 0; branch < 10; ++branch)
            fs::create_directories(tree / ("p" + std::to_string(package)) / ("b" + std::to_string(branch))
                / "lib/src/util");
    }
}

// Seconds for the copy of the tree into the place.
double copySeconds(const fs::path& tree, const fs::path& into)
{
    const std::string copy = "cp -r '" + tree.string() + "' '" + into.string() + "'";
    auto start = std::chrono::steady_clock::now();
    require(std::system(copy.c_str()) == 0, "the copy");
    return secondsSince(start);
}

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
    makeTree(root / "tree");
    std::vector<double> copyWithout;
    std::vector<double> copyWith;
    std::uintmax_t recordBytes = 0;
    double recordWriteMilliseconds = 0;
    {
        GitGuard guard(repositories, {}, {},
            { .places = { root / "places" },
                .liveRuns = root,
                .settings = GitCountedSettings::gitReaderForThisProcess() });
        auto watch
            = std::make_unique<GitGuardWatch>(guard, GitGuardWatch::Options { .places = { root / "places" } });
        require(watch->running() && watch->unwatchedCount() == 0, "every repository watched");
        watched = watch->watchedCount();
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

        watch.reset();
        for (int round = 0; round < kCopyRounds; ++round) {
            {
                GitGuardWatch watching(guard, { .places = { root / "places" } });
                copyWith.push_back(copySeconds(root / "tree", root / "places/r0/node_modules"));
            }
            fs::remove_all(root / "places/r0/node_modules");
            copyWithout.push_back(copySeconds(root / "tree", root / "places/r0/node_modules"));
            fs::remove_all(root / "places/r0/node_modules");
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
    std::sort(copyWith.begin(), copyWith.end());
    std::sort(copyWithout.begin(), copyWithout.end());
    std::printf("cp -r of some %d folders into a work tree: %.3f s watched, %.3f s not (%.2fx, medians of %d)\n",
        kTreeFolders, copyWith[kCopyRounds / 2], copyWithout[kCopyRounds / 2],
        copyWith[kCopyRounds / 2] / copyWithout[kCopyRounds / 2], kCopyRounds);
    fs::remove_all(root);
    return 0;
}
