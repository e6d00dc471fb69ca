// What the Git protection costs as the repositories in a writable grant grow. A bot granted a folder of
// 0, 30, 300 or 1,000 repositories (a commit each; every tenth with a submodule and a linked worktree
// beside it) runs one sandboxed command through the real Claude Code CLI against the scripted model; each
// size's time is set against the empty grant's. Beside them a developer's folder, "dev300": 300
// repositories, 30% with husky 9 (core.hooksPath = .husky/_), 10% each with an include.path, a
// pre-commit framework hook, a submodule or a linked worktree, and 50 holding a node_modules of a real
// project's size, some 150,000 folders in all. Then the run's own search of the same trees,
// `ClaudeInvocation::gitProtection`, against `find <grant> -name .git` over them; and last the host's
// memory with a grant of 3,000 repositories against an empty grant's, each in a program of its own.
//
// A job's start is the gap between the job's submission and the model's first request: the run's search,
// its guard's noting and watches, and the CLI's own start, the same in every grant. What the program keeps
// between runs (the folders the search listed, what configuration and hooks said, the guard's watches)
// serves every message after a grant's first, so the rounds measured are those later messages; each
// grant's first message, in a round of its own before them, is printed apart.
//
// A message to reply is the job's whole time. The run's end is the gap between the model's reading its
// last request, answered with the reply, and the job's return: the CLI's own end, the same in every grant,
// and what the program does once the CLI has ended.
//
// A command's time is the gap between the scripted model's reading the request it answers with the tool
// call and its reading the request that carries the command's result: Claude Code's handling of the call,
// the sandbox's start, where each mount costs, and the command. The CLI's own start, the run's search and
// the model's turns stay out of it, and in a message to reply.
//
// Usage: bench_git_protection [SIZES [ROUNDS]]   (defaults "30,300,1000" and 3; the empty grant and the
// developer's folder always run, and the grants of each round run one after another, up in one round and
// down in the next, so that a change of the machine's load weighs on all of them alike)
//        bench_git_protection --short   (the grants the targets name, 1,000 and the developer's folder,
// each measurement taken the fewest times that still give a figure: on a busy machine the full run
// takes hours)
//
//        bench_git_protection --worlds FOLDER SIZES   (only writes the grants, the empty one, one of each
// size and the developer's folder, into FOLDER and prints each one's name and path on a line of its own:
// bench/git_protection_end_to_end.py grants them to the real program)
//
// The first message after a program start is measured in programs of their own: one program answers a
// message in a grant and ends, and the next, started on the same data folder, answers one more, whose
// whole time is set against the same for the empty grant; in the largest size and in the developer's
// folder.

#include "VellumarMacCore/ClaudeCode/ClaudeInvocation.h"
#include "VellumarMacCore/Permissions/ResolvedPermissions.h"
#include "bench/BenchRequire.h"
#include "tests/Reply/ReplyRunnerFixture.h"
#include "tests/support/CapturedLog.h"

#include <algorithm>
#include <array>
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
struct Target {
    double value;
    // In the figure's unit above the empty grant's, else a ratio to it.
    bool overEmpty = false;
};
using Targets = std::map<std::string, Target>;
const Targets kCommandTargets
    = { { "30", { 1.1 } }, { "300", { 1.1 } }, { "1000", { 1.1 } }, { "dev300", { 1.1 } } };
const Targets kStartTargets = { { "1000", { 1.3 } } };
const Targets kEndTargets = { { "1000", { 0.3, true } } };
const Targets kReplyTargets = { { "1000", { 1.3 } }, { "dev300", { 1.3 } } };
constexpr const char* kDeveloperWorld = "dev300";
// The folders of each package in a node_modules, as a built package lays them out: its code, its
// built forms, its tests, and a dependency of its own.
constexpr std::array kPackageFolders = { "lib", "dist/cjs", "dist/esm", "dist/types", "src/core", "src/utils",
    "test", "node_modules/dependency/lib" };
// Packages in each node_modules: with 13 folders each, 50 node_modules hold about 150,000 folders.
constexpr int kNodeModulesPackages = 230;
// The host's memory is measured with a grant of this many repositories, against an empty grant's, each
// in a program of its own, over this many messages; the first is the grant's first in the program.
constexpr int kMemoryRepositories = 3000;
constexpr int kMemoryMessages = 3;
constexpr double kMemoryTargetMB = 100;
constexpr const char* kHostMemoryFlag = "--host-memory";
constexpr double kRestartTargetSeconds = 2;
constexpr const char* kShortFlag = "--short";
constexpr const char* kWorldsFlag = "--worlds";

// How many times each figure is measured.
struct Repeats {
    int rounds = 3;
    int searches = 5;
    // The first message after a program start, against the empty grant's, in pairs of programs.
    int restartPairs = 3;
    int memoryPairs = 2;
};
constexpr Repeats kShortRepeats = { .rounds = 2, .searches = 1, .restartPairs = 1, .memoryPairs = 1 };
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
    fs::path husky;
    fs::path included;
    fs::path preCommit;
    fs::path nodeModules;
    static constexpr const char* linkedName = "linked";

    explicit Templates(const fs::path& folder)
        : plain(folder / "plain")
        , withSubmodule(folder / "with-submodule")
        , linked(folder / linkedName)
        , husky(folder / "husky")
        , included(folder / "included")
        , preCommit(folder / "pre-commit")
        , nodeModules(folder / "node_modules")
    {
        makeRepository(folder / "library");
        makeRepository(plain);
        makeRepository(withSubmodule);
        git(withSubmodule, { "submodule", "add", "-q", (folder / "library").string(), "library" },
            "git submodule add");
        git(withSubmodule, { "commit", "-qm", "library" }, "git commit");
        git(withSubmodule, { "worktree", "add", "-q", linked.string() }, "git worktree add");
        makeHusky();
        makeOthers();
    }

    // `count` repositories in `grant`, copied; a copied linked worktree and its repository name each other
    // by absolute paths, which are written anew.
    void fill(const fs::path& grant, int count) const
    {
        fs::create_directories(grant);
        for (int index = 0; index < count; ++index) {
            fs::path repository = grant / ("repository-" + std::to_string(index));
            if (index % 10 != 9)
                run({ "cp", "-a", plain.string(), repository.string() }, "cp -a");
            else
                copyWithLinkedWorktree(repository, index == 9);
        }
    }

    // The developer's folder of 300 repositories, each tenth of them in turn: three husky 9, then an
    // include, a pre-commit framework hook, a submodule, a linked worktree, and three plain ones; the
    // first 50 hold a node_modules.
    void fillDeveloperFolder(const fs::path& grant) const
    {
        fs::create_directories(grant);
        for (int index = 0; index < 300; ++index) {
            fs::path repository = grant / ("repository-" + std::to_string(index));
            int kind = index % 10;
            if (kind == 6) {
                copyWithLinkedWorktree(repository, index == 6);
                continue;
            }
            const fs::path& from = kind < 3 ? husky
                : kind == 3                 ? included
                : kind == 4                 ? preCommit
                : kind == 5                 ? withSubmodule
                                            : plain;
            run({ "cp", "-a", from.string(), repository.string() }, "cp -a");
            if (index < 50)
                run({ "cp", "-a", nodeModules.string(), (repository / "node_modules").string() }, "cp -a");
        }
    }

private:
    void copyWithLinkedWorktree(const fs::path& repository, bool check) const
    {
        fs::path worktree = repository.string() + "-linked";
        run({ "cp", "-a", withSubmodule.string(), repository.string() }, "cp -a");
        run({ "cp", "-a", linked.string(), worktree.string() }, "cp -a");
        fs::path record = repository / ".git/worktrees" / linkedName;
        std::ofstream(record / "gitdir") << (worktree / ".git").string() << "\n";
        std::ofstream(worktree / ".git") << "gitdir: " << record.string() << "\n";
        if (check)
            git(worktree, { "status", "--short" }, "git status in a copied linked worktree");
    }

    static void script(const fs::path& file, const std::string& text)
    {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << "#!/bin/sh\n" << text;
        fs::permissions(file, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    }

    // As "npx husky init" leaves it with husky 9.
    void makeHusky() const
    {
        makeRepository(husky);
        git(husky, { "config", "core.hooksPath", ".husky/_" }, "git config core.hooksPath");
        std::ofstream(husky / ".husky/_/.gitignore") << "*\n";
        script(husky / ".husky/_/h",
            "n=$(basename \"$0\")\ns=$(dirname \"$(dirname \"$0\")\")/$n\n[ ! -f \"$s\" ] && exit 0\n"
            "export PATH=\"node_modules/.bin:$PATH\"\nsh -e \"$s\" \"$@\"\n");
        for (const char* hook : { "pre-commit", "commit-msg", "pre-push", "post-merge", "post-checkout" })
            script(husky / ".husky/_" / hook, ". \"$(dirname \"$0\")/h\"\n");
        script(husky / ".husky/pre-commit", "npx lint-staged\n");
    }

    void makeOthers() const
    {
        makeRepository(included);
        std::ofstream(included / ".gitconfig-shared") << "[alias]\n\tst = status\n";
        git(included, { "config", "include.path", "../.gitconfig-shared" }, "git config include.path");
        makeRepository(preCommit);
        std::ofstream(preCommit / ".pre-commit-config.yaml") << "repos: []\n";
        script(preCommit / ".git/hooks/pre-commit",
            "INSTALL_PYTHON=/usr/bin/python3\nexec \"$INSTALL_PYTHON\" -mpre_commit hook-impl "
            "--config=.pre-commit-config.yaml --hook-type=pre-commit -- \"$@\"\n");
        for (int package = 0; package < kNodeModulesPackages; ++package) {
            const fs::path top = nodeModules / ("package-" + std::to_string(package));
            auto make = [&](const fs::path& folder) {
                if (!fs::create_directories(folder))
                    return;
                std::ofstream(folder / "index.js") << "module.exports = 1;\n";
                std::ofstream(folder / "README.md") << "# package " << package << "\n";
            };
            make(top);
            for (const char* folder : kPackageFolders) {
                fs::path at = top;
                for (const auto& name : fs::path(folder))
                    make(at /= name);
            }
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

// In the part of the model's request log that one job wrote, when the model read the last request it
// answered with the tool call (no assistant turn yet) and the first that carries its result, which it
// answers with the reply; in seconds of the monotonic clock.
struct CommandTurns {
    double called;
    double answered;
};

CommandTurns commandTurns(const std::string& log)
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
    return { *called, *answered };
}

// When the model read the first request of the part of its log that one job wrote, in seconds of the
// monotonic clock.
double firstRequestAt(const std::string& log)
{
    auto request = JSON::decode(log.substr(0, log.find('\n')));
    const JSON* time = request ? request->subscript("at") : nullptr;
    auto at = time ? time->numberValue() : std::nullopt;
    require(at.has_value(), "the job's first request holds its time");
    return *at;
}

double monotonicSeconds(Clock::time_point time)
{
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

struct Timings {
    std::vector<double> command, start, end, reply, firstStart, protection, find;
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

using Grants = std::vector<std::pair<std::string, fs::path>>;
using TimingsByGrant = std::map<std::string, Timings>;

// The grants in `home`: the empty one and one of each size, named by their sizes, then the developer's
// folder.
Grants makeGrants(const Templates& templates, const fs::path& home, const std::set<int>& sizes)
{
    Grants grants;
    for (int size : sizes) {
        grants.emplace_back(std::to_string(size), home / ("projects-" + std::to_string(size)));
        templates.fill(grants.back().second, size);
    }
    grants.emplace_back(kDeveloperWorld, home / kDeveloperWorld);
    templates.fillDeveloperFolder(grants.back().second);
    return grants;
}

int writeGrants(const fs::path& folder, const std::string& sizes)
{
    fs::create_directories(folder);
    const fs::path home = fs::canonical(folder);
    for (const auto& [name, grant] : makeGrants(Templates(home / "templates"), home, sizesFrom(sizes)))
        std::printf("%s %s\n", name.c_str(), grant.c_str());
    return 0;
}

std::string targetText(const Targets& targets, const std::string& name, const char* unit)
{
    auto target = targets.find(name);
    if (target == targets.end())
        return "";
    char text[32];
    if (target->second.overEmpty)
        std::snprintf(text, sizeof text, "<= +%g %s", target->second.value, unit);
    else
        std::snprintf(text, sizeof text, "<= %.1fx", target->second.value);
    return text;
}

// Each grant's median of `values` beside the empty grant's, as a ratio and as a difference, each with
// its range over the rounds, where each round's figure is set against the same round's empty grant's.
void printAgainstEmpty(const char* title, const Grants& grants,
    const std::map<std::string, std::vector<double>>& values, const Targets& targets, const char* unit)
{
    std::printf("\n%s\n", title);
    std::printf("%12s %10s %8s %13s %10s %17s %10s\n", "grant", "median", "x empty", "(range)", "+ empty",
        "(range)", "target");
    const std::vector<double>& empty = values.at("0");
    for (const auto& [name, grant] : grants) {
        const std::vector<double>& value = values.at(name);
        std::vector<double> ratios, over;
        for (std::size_t round = 0; round < value.size(); ++round) {
            ratios.push_back(value[round] / empty[round]);
            over.push_back(value[round] - empty[round]);
        }
        auto [fewest, most] = std::minmax_element(ratios.begin(), ratios.end());
        auto [least, greatest] = std::minmax_element(over.begin(), over.end());
        std::printf("%12s %7.3f %-2s %7.2fx %5.2f-%5.2fx %+8.3f %-2s %+7.3f-%+7.3f %10s\n", name.c_str(),
            median(value), unit, median(value) / median(empty), *fewest, *most, median(value) - median(empty),
            unit, *least, *greatest, targetText(targets, name, unit).c_str());
    }
}

void printAgainstEmpty(const char* title, const Grants& grants, const TimingsByGrant& timings,
    std::vector<double> Timings::*part, const Targets& targets)
{
    std::map<std::string, std::vector<double>> values;
    for (const auto& [name, timing] : timings)
        values[name] = timing.*part;
    printAgainstEmpty(title, grants, values, targets, "s");
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

void printSearches(const Grants& grants, const TimingsByGrant& timings, int repeats)
{
    std::printf(
        "\nthe run's own search of the grant against `find <grant> -name .git`, median of %d\n", repeats);
    std::printf("%12s %14s %10s %8s\n", "grant", "gitProtection", "find", "ratio");
    for (const auto& [name, grant] : grants) {
        const Timings& timing = timings.at(name);
        double protection = median(timing.protection);
        double find = median(timing.find);
        std::printf("%12s %12.1f ms %7.1f ms %7.2fx\n", name.c_str(), protection * 1000, find * 1000,
            protection / find);
    }
}

// One job in `grant` with the real CLI against the scripted model, the `number`th of the world.
void runJob(test::RunnerWorld& world, const fs::path& grant, int number, Timings& timing, bool later,
    const test::CapturedLog& log)
{
    std::size_t logged = world.model->requestLog().size();
    auto job = commandJob(grant, number);
    auto jobStart = Clock::now();
    bool replied = false;
    try {
        replied = world.run(job).reply == "Done.";
    } catch (...) {
        // Why a run failed is in what it logged, which an exit through the failure would lose; on
        // standard error, which a host measuring its memory hands on.
        for (const auto& line : log.lines())
            std::fprintf(stderr, "log: %s\n", line.c_str());
        throw;
    }
    auto jobEnd = Clock::now();
    if (!replied)
        printLogLines(log.lines());
    require(replied, "the job's reply");
    std::string jobLog = world.model->requestLog().substr(logged);
    auto [called, answered] = commandTurns(jobLog);
    double start = firstRequestAt(jobLog) - monotonicSeconds(jobStart);
    double end = monotonicSeconds(jobEnd) - answered;
    double reply = std::chrono::duration<double>(jobEnd - jobStart).count();
    std::fprintf(stderr, "%s: start %.3f s, command %.3f s, end %.3f s, reply %.3f s\n",
        grant.filename().c_str(), start, answered - called, end, reply);
    if (!later) {
        timing.firstStart.push_back(start);
        return;
    }
    timing.command.push_back(answered - called);
    timing.start.push_back(start);
    timing.end.push_back(end);
    timing.reply.push_back(reply);
}

// Each round runs one job per grant, up in one round and down in the next; round 0 holds each grant's
// first message in the program, whose start alone is kept.
void measureCommands(test::RunnerWorld& world, const Grants& grants, int rounds, TimingsByGrant& timings,
    const test::CapturedLog& log)
{
    world.openGates();
    world.startReal(test::commandSteps({ kCommand }));
    int jobs = 0;
    for (int round = 0; round <= rounds; ++round) {
        std::fprintf(stderr, "round %d\n", round);
        Grants order = grants;
        if (round % 2 == 0)
            std::reverse(order.begin(), order.end());
        for (const auto& [name, grant] : order)
            runJob(world, grant, ++jobs, timings[name], round > 0, log);
    }
}

// The search as a run of the first job's conversation makes it, beside `find` over the same grant.
void measureSearches(test::RunnerWorld& world, const Grants& grants, int repeats, TimingsByGrant& timings)
{
    for (int repeat = 0; repeat < repeats; ++repeat) {
        for (const auto& [name, grant] : grants) {
            auto permissions = world.data->resolver.resolve(commandPermissions(grant), world.options.path());
            auto start = Clock::now();
            ClaudeInvocation::gitProtection(
                world.workFolder("ios-bench-1"), permissions, world.data->resolver);
            timings[name].protection.push_back(secondsSince(start));
            start = Clock::now();
            run({ "find", grant.string(), "-name", ".git" }, "find");
            timings[name].find.push_back(secondsSince(start));
        }
    }
}

// The host's resident memory now and at its peak, in MB.
std::pair<double, double> hostMemory()
{
    std::ifstream status("/proc/self/status");
    double resident = 0, peak = 0;
    for (std::string line; std::getline(status, line);) {
        std::istringstream fields(line);
        std::string name;
        double kilobytes = 0;
        fields >> name >> kilobytes;
        if (name == "VmRSS:")
            resident = kilobytes / 1024;
        else if (name == "VmHWM:")
            peak = kilobytes / 1024;
    }
    require(resident > 0 && peak > 0, "the host's memory in /proc/self/status");
    return { resident, peak };
}

// This program as the host of `messages` jobs in `grant` alone, in a world of its own, on `dataFolder`
// where one is given (its jobs' conversations numbered from `firstJob`); prints its memory then and its
// first message's whole time.
int hostJobs(const fs::path& grant, int messages, const fs::path& dataFolder, int firstJob)
{
    test::CapturedLog log;
    test::RunnerWorld world;
    if (!dataFolder.empty()) {
        world.dataFolder = dataFolder;
        // The user's home stays across the program's starts as the data folder does: what the program
        // keeps of Git's reads holds for one home.
        world.home = dataFolder.string() + "-home";
        world.options.baseEnvironment = { { "HOME", world.home.string() } };
        fs::create_directories(world.home);
    }
    world.openGates();
    world.startReal(test::commandSteps({ kCommand }));
    Timings timing;
    double firstReply = 0;
    for (int message = 0; message < messages; ++message) {
        auto start = Clock::now();
        runJob(world, grant, firstJob + message, timing, message > 0, log);
        if (message == 0)
            firstReply = secondsSince(start);
    }
    auto [resident, peak] = hostMemory();
    std::printf("%.1f %.1f %.3f\n", resident, peak, firstReply);
    return 0;
}

struct HostFigures {
    double residentMB = 0, peakMB = 0, firstReply = 0;
};

HostFigures hostProgram(
    const fs::path& grant, int messages, const fs::path& dataFolder = {}, int firstJob = 1)
{
    auto host = test::runPeer({ fs::read_symlink("/proc/self/exe").string(), kHostMemoryFlag, grant.string(),
        std::to_string(messages), dataFolder.string(), std::to_string(firstJob) });
    HostFigures figures;
    std::istringstream(host.output) >> figures.residentMB >> figures.peakMB >> figures.firstReply;
    require(host.exitStatus == 0 && figures.peakMB > 0, "the host's figures from a program of its own");
    return figures;
}

// The first message after a program start in each of `grants`, on a data folder an earlier program of the
// grant left: empty first in one pair and last in the next.
void measureFirstAfterStart(const fs::path& root, const Grants& grants, int pairs)
{
    std::map<std::string, std::vector<double>> replies;
    for (int pair = 0; pair < pairs; ++pair) {
        Grants order = grants;
        if (pair % 2 == 1)
            std::reverse(order.begin(), order.end());
        for (const auto& [name, grant] : order) {
            const fs::path dataFolder = root / ("restart-data-" + name + "-" + std::to_string(pair));
            fs::create_directories(dataFolder);
            hostProgram(grant, 1, dataFolder, 1);
            double reply = hostProgram(grant, 1, dataFolder, 2).firstReply;
            std::fprintf(stderr, "first message after a program start, %s: %.3f s\n", name.c_str(), reply);
            replies[name].push_back(reply);
        }
    }
    Targets targets;
    for (const auto& [name, grant] : grants)
        targets[name] = { kRestartTargetSeconds, true };
    targets.erase(grants.front().first);
    printAgainstEmpty("message to reply, the first after a program start that an earlier program's left, "
                      "each in programs of their own",
        grants, replies, targets, "s");
}

// The host's memory with an empty grant and with one of `kMemoryRepositories`, each measured in a program
// of its own, in turn: empty first in one pair and last in the next.
void measureMemory(const fs::path& empty, const fs::path& full, int pairs)
{
    std::map<std::string, std::vector<double>> resident, peak;
    const std::string fullName = std::to_string(kMemoryRepositories);
    Grants grants = { { "0", empty }, { fullName, full } };
    for (int pair = 0; pair < pairs; ++pair) {
        Grants order = grants;
        if (pair % 2 == 1)
            std::reverse(order.begin(), order.end());
        for (const auto& [name, grant] : order) {
            HostFigures host = hostProgram(grant, kMemoryMessages);
            std::fprintf(
                stderr, "memory, %s: %.1f MB, at most %.1f MB\n", name.c_str(), host.residentMB, host.peakMB);
            resident[name].push_back(host.residentMB);
            peak[name].push_back(host.peakMB);
        }
    }
    const Targets targets = { { fullName, { kMemoryTargetMB, true } } };
    char title[160];
    std::snprintf(title, sizeof title,
        "the host's memory after %d messages in one grant, median of %d programs", kMemoryMessages, pairs);
    printAgainstEmpty(title, grants, resident, targets, "MB");
    printAgainstEmpty("the same at its peak", grants, peak, targets, "MB");
}

}

int main(int argc, char** argv)
{
    if (argc == 6 && std::string(argv[1]) == kHostMemoryFlag)
        return hostJobs(argv[2], std::atoi(argv[3]), argv[4], std::atoi(argv[5]));
    if (argc == 4 && std::string(argv[1]) == kWorldsFlag)
        return writeGrants(argv[2], argv[3]);
    const bool isShort = argc == 2 && std::string(argv[1]) == kShortFlag;
    const std::set<int> sizes = sizesFrom(isShort ? "1000" : argc > 1 ? argv[1] : "30,300,1000");
    Repeats repeats = isShort ? kShortRepeats : Repeats {};
    if (!isShort && argc > 2)
        repeats.rounds = std::atoi(argv[2]);
    const int rounds = repeats.rounds;
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
    Grants grants = makeGrants(templates, root / "home", sizes);
    const fs::path memoryGrant = root / "home" / ("memory-" + std::to_string(kMemoryRepositories));
    templates.fill(memoryGrant, kMemoryRepositories);
    std::printf("trees made in %.1f s\n", secondsSince(start));
    std::fflush(stdout);

    TimingsByGrant timings;
    measureCommands(world, grants, rounds, timings, log);
    measureSearches(world, grants, repeats.searches, timings);
    char title[160];
    std::snprintf(title, sizeof title, "one sandboxed command with a grant, median of %d", rounds);
    printAgainstEmpty(title, grants, timings, &Timings::command, kCommandTargets);
    std::snprintf(title, sizeof title,
        "a job's start, from its submission to the model's first request, a later message, median of %d",
        rounds);
    printAgainstEmpty(title, grants, timings, &Timings::start, kStartTargets);
    printAgainstEmpty("the run's end, from the model's last request to the reply, the same", grants, timings,
        &Timings::end, kEndTargets);
    printAgainstEmpty("message to reply, the same", grants, timings, &Timings::reply, kReplyTargets);
    printAgainstEmpty("a job's start at the program's first message of each grant, once", grants, timings,
        &Timings::firstStart, {});
    printSearches(grants, timings, repeats.searches);
    printLogLines(log.lines());
    std::fflush(stdout);
    // The empty grant, the largest size and the developer's folder.
    Grants restarted = { grants.front(), grants.back() };
    if (grants.size() > 2)
        restarted.insert(restarted.begin() + 1, grants[grants.size() - 2]);
    measureFirstAfterStart(root, restarted, repeats.restartPairs);
    std::fflush(stdout);
    measureMemory(grants.front().second, memoryGrant, repeats.memoryPairs);
    std::fflush(stdout);
    // On a disk that discards each freed block this can take minutes.
    std::fprintf(stderr, "removing the trees\n");
    return 0;
}
