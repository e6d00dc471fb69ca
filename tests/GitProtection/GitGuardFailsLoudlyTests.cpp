// Where the guard cannot undo a change, it takes away what it can without losing a byte, says so, and
// keeps what was noted in the record, so that the next start, and the next run that guards the
// repository, try again; a list of Git folders cut short by memory is no list.
#include "VellumarMacCore/GitProtection/GitGuard.h"

#include "tests/GitProtection/GitSteps.h"
#include "tests/Permissions/PermissionTestSupport.h"
#include "tests/support/CapturedLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <new>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vellumar;
using test::CapturedLog;
using test::existsAt;
using test::git;
using test::write;
namespace fs = std::filesystem;

namespace {

const auto kNow = std::chrono::system_clock::from_time_t(1'796'000'000);
const std::string kPlanted = "#!/bin/sh\ntouch /tmp/ran\n";
// No name beside one this long holds ".refused-<time>-<random>".
const std::string kLongName = std::string(230, 'x');

// A repository at "<root>/project", in the place "<root>", with what its configuration names.
struct Scene {
    test::TemporaryHome home;
    fs::path project = home.root / "project";
    std::vector<fs::path> named;

    Scene() { git(home.root, { "init", "-q", project.string() }); }

    // With the repositories a search finds beside the project.
    GitGuard guard(std::vector<GuardedRepository> found = {}) const
    {
        found.push_back({ project / ".git", project, named });
        return GitGuard(found, {}, {},
            { .places = { home.root },
                .liveRuns = home.data,
                .settings = GitCountedSettings::gitReaderForThisProcess(),
                .clock = [] { return kNow; } });
    }

    void restoreLeftBehind() const
    {
        GitGuard::restoreLeftBehind(home.data, GitCountedSettings::gitReaderForThisProcess(), [] { return kNow; });
    }
};

unsigned modeOf(const fs::path& path)
{
    struct stat status { };
    return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool anyLineHas(const CapturedLog& log, const std::string& part)
{
    return std::ranges::any_of(log.lines(), [&](const std::string& line) { return has(line, part); });
}

void throwOutOfMemory() { throw std::bad_alloc(); }

// What `run` says, run in a process of its own that then ends as the program does, its guards gone:
// the next start is a process with nothing of it in memory but the record.
std::string inARunOfItsOwn(const fs::path& folder, const std::function<std::string()>& run)
{
    const fs::path said = folder / "said";
    pid_t child = ::fork();
    if (child == 0) {
        std::ofstream(said) << run();
        ::_exit(0);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return test::readFile(said);
}

// The change that stayed at `path` among `moved`: its repository, then what it told.
std::string stayedAt(const std::vector<GitGuard::MovedChange>& moved, const fs::path& path)
{
    auto found = std::ranges::find_if(
        moved, [&](const GitGuard::MovedChange& change) { return change.path == path && change.stayed; });
    return found == moved.end() ? "nothing stayed" : found->stayed->repository.string() + ": " + found->stayed->told;
}

}

TEST(GitGuardFailsLoudly, WhatCannotGoAsideKeepsItsBytesLosesItsExecuteBitsAndIsTriedAgain)
{
    struct Case {
        const char* name;
        std::string named; // the file or folder the configuration names, in the project
        std::string file; // what the command writes, in the project
        std::string before; // what the user had there, if anything
        unsigned modeBefore;
        unsigned modeAfter;
        const char* told;
    };
    const std::string inc = kLongName + ".inc";
    const std::string fsmonitor = "[core]\n\tfsmonitor = touch /tmp/ran\n";
    const Case cases[] = {
        { "a new part of a hooks folder", ".githooks", ".githooks/" + kLongName, "", 0755, 0644,
            "so its execute permission was taken, but it stays where it is: the user's Git may still read it, "
            "or have a shell run it" },
        { "a part of a hooks folder, setuid", ".githooks", ".githooks/" + kLongName, "", 04755, 0644,
            "so its execute permission was taken" },
        { "an included configuration", inc, inc, "[user]\n\tname = U\n", 0644, 0644,
            "and stays as it is: the user's Git may act on it" },
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        Scene scene;
        const fs::path file = scene.project / row.file;
        scene.named = { scene.project / row.named };
        if (!row.before.empty())
            write(file, row.before);
        fs::create_directories(scene.project / ".githooks");
        const std::string written = row.before.empty() ? kPlanted : fsmonitor;
        const std::string told = inARunOfItsOwn(scene.home.root, [&] {
            GitGuard run = scene.guard();
            write(file, written);
            fs::permissions(file, fs::perms(row.modeBefore));
            return stayedAt(run.compareAll(), file);
        });
        EXPECT_TRUE(told.starts_with(scene.project.string() + ": " + file.string())) << told;
        EXPECT_TRUE(has(told, "could not be moved aside (File name too long)")) << told;
        EXPECT_TRUE(has(told, row.told)) << told;
        // Git may read each, or have a shell run a part: no permission keeps it from acting on one.
        EXPECT_FALSE(has(told, "without execute permission")) << told;
        EXPECT_EQ(modeOf(file), row.modeAfter);
        EXPECT_EQ(test::readFile(file), written);
        CapturedLog log;
        scene.restoreLeftBehind();
        EXPECT_TRUE(anyLineHas(log, file.string() + " changed")) << "the next start tried again";
        GitGuard next = scene.guard();
        EXPECT_NE(stayedAt(next.compareAll(), file), "nothing stayed") << "the next run tried again";
    }
}

// The seam is a fake: it throws where the walk would run out of memory.
TEST(GitGuardFailsLoudly, AListingOutOfMemoryFromAFakeSeamIsToldAndGoneThroughAtTheNextStart)
{
    struct Case {
        const char* name;
        int startsOutOfMemory; // the next starts that run out of memory too
        bool nextRun = false; // a next run of the same process, over the place, finds the repository made
    };
    const Case cases[] = { { "at the run's end", 0 }, { "at the run's end and the next start", 1 },
        { "at the run's end, then a next run", 0, true } };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        Scene scene;
        const fs::path hook = scene.home.root / "made/.git/hooks/pre-commit";
        const std::string told = inARunOfItsOwn(scene.home.root, [&] {
            std::string said;
            {
                GitGuard run = scene.guard();
                git(scene.home.root, { "init", "-q", "made" });
                write(hook, kPlanted);
                GitFoldersInPlaces::listingSeam = throwOutOfMemory;
                said = stayedAt(run.sweep(), scene.home.root);
                GitFoldersInPlaces::listingSeam = nullptr;
            }
            if (row.nextRun) {
                GitGuard next
                    = scene.guard({ { hook.parent_path().parent_path(), scene.home.root / "made" } });
                said += existsAt(hook) ? "; the next run left the hook"
                                       : "; the next run moved the hook aside";
            }
            return said;
        });
        EXPECT_EQ(told.ends_with("; the next run moved the hook aside"), row.nextRun) << told;
        EXPECT_TRUE(told.starts_with(scene.home.root.string() + ": The Git repositories in "
                        + scene.home.root.string()
                        + " could not be gone through at the end of a Claude Code run (out of memory)"))
            << told;
        CapturedLog log;
        for (int start = 0; start < row.startsOutOfMemory; ++start) {
            GitFoldersInPlaces::listingSeam = throwOutOfMemory;
            scene.restoreLeftBehind();
            GitFoldersInPlaces::listingSeam = nullptr;
            EXPECT_TRUE(anyLineHas(log, "could not all be gone through at this start"));
            EXPECT_TRUE(existsAt(hook));
        }
        scene.restoreLeftBehind();
        EXPECT_FALSE(existsAt(hook));
    }
}
