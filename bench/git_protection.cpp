// What the Git protection costs as the repositories in a writable grant grow. A bot granted a folder of
// 0, 30, 300 or 1,000 repositories (a commit each; every tenth with a submodule and a linked worktree
// beside it) runs one sandboxed command through the real Claude Code CLI against the scripted model; each
// size's time is set against the empty grant's. Then the run's own search of the same trees,
// `ClaudeInvocation::gitProtection`, against `find <grant> -name .git` over them.
//
// A command's time is the gap between the scripted model's reading the request it answers with the tool
// call and its reading the request that carries the command's result: Claude Code's handling of the call,
// the sandbox's start, where each mount costs, and the command. The CLI's own start, the run's search and
// the model's turns stay out of it; the job's whole time is printed beside it for them.
//
// Usage: bench_git_protection [SIZES [ROUNDS]]   (defaults "30,300,1000" and 3; the empty grant always
// runs, and the sizes of each round run one after another, so that a change of the machine's load
// weighs on all of them)

#include "VellumarMacCore/ClaudeCode/ClaudeInvocation.h"
#include "VellumarMacCore/Permissions/ResolvedPermissions.h"
#include "bench/BenchRequire.h"
#include "tests/Reply/ReplyRunnerFixture.h"
#include "tests/support/CapturedLog.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace vellumar;
using vellumar::bench::require;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Printed beside the figures, not checked: a benchmark that fails on a busy machine says nothing.
const std::map<int, double> kTargetRatios = { { 30, 1.2 }, { 300, 1.2 }, { 1000, 1.5 } };
constexpr int kSearchRepeats = 5;
// Whether the command ran in the sandbox, where "/usr" cannot be written even by root; only its output,
// never its text, holds the marker.
const std::string kCommand = "test -w /usr || echo sandboxed-$((6 * 7))";
const std::string kMarker = "sandboxed-42";

void run(const std::vector<std::string>& argv, const char* what)
{
    require(test::runPeer(argv).exitStatus == 0, what);
}

void git(const fs::path& folder, std::vector<std::string> arguments, const char* what)
{
    std::vector<std::string> argv = { "git", "-c", "user.name=User", "-c", "user.email=user@example.com",
        "-c", "protocol.file.allow=always", "-C", folder.string() };
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    run(argv, what);
}

void makeRepository(const fs::path& folder)
{
    fs::create_directories(folder);
    git(folder, { "init", "-q" }, "git init");
    std::ofstream(folder / "tracked.txt") << "first\n";
    git(folder, { "add", "tracked.txt" }, "git add");
    git(folder, { "commit", "-qm", "first" }, "git commit");
}

// The repositories every grant is copied from: a plain one, and one with a submodule and a linked worktree.
struct Templates {
    fs::path plain;
    fs::path withSubmodule;
    fs::path linked;
    static constexpr const char* linkedName = "linked";

    explicit Templates(const fs::path& folder)
        : plain(folder / "plain")
        , withSubmodule(folder / "with-submodule")
        , linked(folder / linkedName)
    {
        makeRepository(folder / "library");
        makeRepository(plain);
        makeRepository(withSubmodule);
        git(withSubmodule, { "submodule", "add", "-q", (folder / "library").string(), "library" },
            "git submodule add");
        git(withSubmodule, { "commit", "-qm", "library" }, "git commit");
        git(withSubmodule, { "worktree", "add", "-q", linked.string() }, "git worktree add");
    }

    // `count` repositories in `grant`, copied; a copied linked worktree and its repository name each other
    // by absolute paths, which are written anew.
    void fill(const fs::path& grant, int count) const
    {
        fs::create_directories(grant);
        for (int index = 0; index < count; ++index) {
            fs::path repository = grant / ("repository-" + std::to_string(index));
            if (index % 10 != 9) {
                run({ "cp", "-a", plain.string(), repository.string() }, "cp -a");
                continue;
            }
            fs::path worktree = grant / ("repository-" + std::to_string(index) + "-linked");
            run({ "cp", "-a", withSubmodule.string(), repository.string() }, "cp -a");
            run({ "cp", "-a", linked.string(), worktree.string() }, "cp -a");
            fs::path record = repository / ".git/worktrees" / linkedName;
            std::ofstream(record / "gitdir") << (worktree / ".git").string() << "\n";
            std::ofstream(worktree / ".git") << "gitdir: " << record.string() << "\n";
            if (index == 9)
                git(worktree, { "status", "--short" }, "git status in a copied linked worktree");
        }
    }
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The command's time in the part of the model's request log that one job wrote: from the last request
// answered with the tool call (no assistant turn yet) to the first that carries its result.
double commandSeconds(const std::string& log)
{
    std::optional<double> called, answered;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line) && !answered;) {
        auto request = JSON::decode(line);
        require(request.has_value(), "a request log line is JSON");
        const JSON* body = request->subscript("body");
        const JSON* tools = body ? body->subscript("tools") : nullptr;
        const JSON* messages = body ? body->subscript("messages") : nullptr;
        if (!tools || !tools->arrayValue() || tools->arrayValue()->empty() || !messages
            || !messages->arrayValue())
            continue;
        auto turns = std::count_if(
            messages->arrayValue()->begin(), messages->arrayValue()->end(), [](const JSON& message) {
                const JSON* role = message.subscript("role");
                return role && role->stringValue() && *role->stringValue() == "assistant";
            });
        const JSON* time = request->subscript("at");
        auto at = time ? time->numberValue() : std::nullopt;
        require(at.has_value(), "a request log line holds its time");
        if (turns == 0)
            called = at;
        else if (called) {
            require(line.find(kMarker) != std::string::npos, "the command ran in the sandbox");
            answered = at;
        }
    }
    require(called && answered, "the model saw the tool call and its result");
    return *answered - *called;
}

struct Timings {
    std::vector<double> command, job, protection, find;
};

// Commands on, and `grant` writable.
PermissionSettings commandPermissions(const fs::path& grant)
{
    PermissionSettings permissions;
    permissions.bash = true;
    permissions.folders = { PermissionSettings::Folder { grant.string(), true } };
    return permissions;
}

JobSubmission commandJob(const fs::path& grant, int number)
{
    auto job = test::RunnerWorld::submission("Run the command.");
    // A conversation of its own, whose session starts anew at the script's first step.
    job.conversationID = "ios-bench-" + std::to_string(number);
    job.permissions = commandPermissions(grant);
    return job;
}

// The empty grant and each size of the list, in increasing order.
std::set<int> sizesFrom(const std::string& text)
{
    std::set<int> sizes = { 0 };
    std::istringstream items(text);
    for (std::string item; std::getline(items, item, ',');) {
        char* end = nullptr;
        long size = std::strtol(item.c_str(), &end, 10);
        require(!item.empty() && *end == '\0' && size > 0 && size <= 100'000,
            "each size is a number of repositories from 1 to 100000");
        sizes.insert(static_cast<int>(size));
    }
    return sizes;
}

void printCommands(const std::map<int, Timings>& timings, int rounds)
{
    std::printf("\none sandboxed command with a grant of N repositories, median of %d\n", rounds);
    std::printf("%12s %10s %8s %8s %10s\n", "repositories", "command", "x empty", "target", "whole job");
    double empty = median(timings.at(0).command);
    for (const auto& [size, timing] : timings) {
        double command = median(timing.command);
        char wanted[16] = "";
        if (auto target = kTargetRatios.find(size); target != kTargetRatios.end())
            std::snprintf(wanted, sizeof wanted, "<= %.1fx", target->second);
        std::printf(
            "%12d %8.3f s %7.2fx %8s %8.2f s\n", size, command, command / empty, wanted, median(timing.job));
    }
}

// Each line once, in the order they first came: every run of a size logs the same.
void printLogLines(const std::vector<std::string>& lines)
{
    std::printf("\nwhat the runs logged, each line once\n");
    std::set<std::string> printed;
    for (const auto& line : lines) {
        if (printed.insert(line).second)
            std::printf("  %s\n", line.c_str());
    }
}

void printSearches(const std::map<int, Timings>& timings)
{
    std::printf("\nthe run's own search of the grant against `find <grant> -name .git`, median of %d\n",
        kSearchRepeats);
    std::printf("%12s %14s %10s %8s\n", "repositories", "gitProtection", "find", "ratio");
    for (const auto& [size, timing] : timings) {
        double protection = median(timing.protection);
        double find = median(timing.find);
        std::printf(
            "%12d %12.1f ms %7.1f ms %7.2fx\n", size, protection * 1000, find * 1000, protection / find);
    }
}

using Grants = std::map<int, fs::path>;

// Each round runs one job per size, in increasing order, with the real CLI against the scripted model.
void measureCommands(test::RunnerWorld& world, const Grants& grants, int rounds,
    std::map<int, Timings>& timings, const test::CapturedLog& log)
{
    world.openGates();
    world.startReal(test::commandSteps({ kCommand }));
    int jobs = 0;
    for (int round = 0; round < rounds; ++round) {
        for (const auto& [size, grant] : grants) {
            std::size_t logged = world.model->requestLog().size();
            auto job = commandJob(grant, ++jobs);
            auto jobStart = Clock::now();
            bool replied = world.run(job).reply == "Done.";
            if (!replied)
                printLogLines(log.lines());
            require(replied, "the job's reply");
            timings[size].job.push_back(secondsSince(jobStart));
            timings[size].command.push_back(commandSeconds(world.model->requestLog().substr(logged)));
            std::fprintf(stderr, "round %d, %d repositories: command %.3f s\n", round + 1, size,
                timings[size].command.back());
        }
    }
}

// The search as a run of the first job's conversation makes it, beside `find` over the same grant.
void measureSearches(test::RunnerWorld& world, const Grants& grants, std::map<int, Timings>& timings)
{
    for (int repeat = 0; repeat < kSearchRepeats; ++repeat) {
        for (const auto& [size, grant] : grants) {
            auto permissions = world.data->resolver.resolve(commandPermissions(grant), world.options.path());
            auto start = Clock::now();
            ClaudeInvocation::gitProtection(
                world.workFolder("ios-bench-1"), permissions, world.data->resolver);
            timings[size].protection.push_back(secondsSince(start));
            start = Clock::now();
            run({ "find", grant.string(), "-name", ".git" }, "find");
            timings[size].find.push_back(secondsSince(start));
        }
    }
}

}

int main(int argc, char** argv)
{
    const std::set<int> sizes = sizesFrom(argc > 1 ? argv[1] : "30,300,1000");
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    require(rounds > 0, "ROUNDS is a positive number");
    if (auto reason = test::commandSandboxUnavailableReason()) {
        std::fprintf(stderr, "Claude Code's command sandbox cannot run here: %s\n", reason->c_str());
        return 1;
    }

    test::CapturedLog log;
    test::RunnerWorld world;
    const fs::path root = fs::canonical(world.folder.path());
    // On the disk, as a user's grant is: the sandbox gives commands a "/dev" of its own, so trees in
    // "/dev/shm" would cost it nothing.
    require(!root.string().starts_with("/dev/"), "the trees lie outside /dev (see TMPDIR)");
    auto start = Clock::now();
    Templates templates(root / "templates");
    Grants grants;
    for (int size : sizes) {
        grants[size] = root / "home" / ("projects-" + std::to_string(size));
        templates.fill(grants[size], size);
    }
    std::printf("trees made in %.1f s\n", secondsSince(start));
    std::fflush(stdout);

    std::map<int, Timings> timings;
    measureCommands(world, grants, rounds, timings, log);
    measureSearches(world, grants, timings);
    printCommands(timings, rounds);
    printSearches(timings);
    printLogLines(log.lines());
    std::fflush(stdout);
    // On a disk that discards each freed block this can take minutes.
    std::fprintf(stderr, "removing the trees\n");
    return 0;
}
