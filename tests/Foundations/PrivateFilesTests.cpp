#include "VellumarMacCore/Foundations/PrivateFiles.h"

#include "VellumarMacCore/Foundations/TLSIdentityError.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <set>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vellumar {
namespace {

    namespace fs = std::filesystem;

    constexpr uid_t kNobody = 65534;
    // Outcomes beyond any errno value, so that a forked child can report them as its exit status.
    constexpr int kInsecureFolder = 250;
    constexpr int kOtherFailure = 251;

    // 0 when the action succeeds, the errno of a platform error, or one of the codes above.
    int outcomeOf(const std::function<void()>& action)
    {
        try {
            action();
            return 0;
        } catch (const fs::filesystem_error& error) {
            return error.code().value();
        } catch (const TLSIdentityError& error) {
            return error.kind() == TLSIdentityError::Kind::insecureFolder ? kInsecureFolder : kOtherFailure;
        } catch (...) {
            return kOtherFailure;
        }
    }

    enum class Identity { unchanged, nobody };

    // Runs the action in a forked child (as the given user) and returns its outcome.
    int outcomeInChild(Identity identity, const std::function<void()>& action)
    {
        pid_t pid = fork();
        if (pid == 0) {
            if (identity == Identity::nobody
                && (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0
                    || setresuid(kNobody, kNobody, kNobody) != 0))
                _exit(kOtherFailure);
            _exit(outcomeOf(action));
        }
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    mode_t modeOf(const fs::path& path)
    {
        struct stat status { };
        EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
        return status.st_mode & 07777;
    }

    void setMode(const fs::path& path, mode_t mode) { ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path; }

    void writePlainFile(const fs::path& file, std::string_view content, mode_t mode)
    {
        int descriptor = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
        ASSERT_GE(descriptor, 0) << file;
        ASSERT_EQ(::write(descriptor, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        ::close(descriptor);
        setMode(file, mode);
    }

    std::set<std::string> entriesOf(const fs::path& folder)
    {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.insert(entry.path().filename().string());
        return names;
    }

    class ScopedUmask {
    public:
        explicit ScopedUmask(mode_t mask)
            : m_previous(::umask(mask))
        {
        }
        ~ScopedUmask() { ::umask(m_previous); }

    private:
        mode_t m_previous;
    };

    TEST(EnsurePrivateDirectory, CreatesMissingFoldersThreeLevelsDeepWithMode0700)
    {
        test::TemporaryFolder temporary;
        // With no umask to narrow them, the modes come from the creation itself.
        ScopedUmask noMask(0);
        fs::path deepest = temporary / "data/stores/sessions";
        ensurePrivateDirectory(deepest);
        EXPECT_EQ(modeOf(temporary / "data"), 0700u);
        EXPECT_EQ(modeOf(temporary / "data/stores"), 0700u);
        EXPECT_EQ(modeOf(deepest), 0700u);
    }

    TEST(EnsurePrivateDirectory, NarrowsTheFolderButNotItsExistingParents)
    {
        test::TemporaryFolder temporary;
        fs::path parent = temporary / "shared";
        fs::path folder = parent / "private";
        ASSERT_TRUE(fs::create_directories(folder));
        setMode(parent, 0755);
        setMode(folder, 0757);
        ensurePrivateDirectory(folder);
        EXPECT_EQ(modeOf(folder), 0700u);
        EXPECT_EQ(modeOf(parent), 0755u);
        // A second call on a private folder is as good as the first.
        ensurePrivateDirectory(folder);
        EXPECT_EQ(modeOf(folder), 0700u);
    }

    TEST(EnsurePrivateDirectory, RefusesASymbolicLinkAfterNarrowingItsTarget)
    {
        test::TemporaryFolder temporary;
        fs::path target = temporary / "real";
        fs::path link = temporary / "link";
        ASSERT_TRUE(fs::create_directory(target));
        fs::create_directory_symlink(target, link);
        for (std::string spelling : { link.string(), link.string() + "/", link.string() + "//" }) {
            SCOPED_TRACE(spelling);
            setMode(target, 0755);
            EXPECT_EQ(outcomeOf([&] { ensurePrivateDirectory(spelling); }), kInsecureFolder);
            EXPECT_EQ(modeOf(target), 0700u);
        }
    }

    TEST(EnsurePrivateDirectory, SomethingElseAtThePathIsAPlatformError)
    {
        test::TemporaryFolder temporary;
        writePlainFile(temporary / "file", "x", 0644);
        fs::create_symlink(temporary / "nowhere", temporary / "dangling");
        struct Case {
            const char* name;
            fs::path folder;
            int error;
        };
        const Case cases[] = {
            { "regular file", temporary / "file", EEXIST },
            { "dangling link", temporary / "dangling", EEXIST },
            { "file as a parent", temporary / "file/sub", ENOTDIR },
            { "empty path", fs::path(), ENOENT },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            EXPECT_EQ(outcomeOf([&] { ensurePrivateDirectory(testCase.folder); }), testCase.error);
        }
        EXPECT_EQ(modeOf(temporary / "file"), 0644u);
        EXPECT_FALSE(fs::exists(temporary / "nowhere"));
    }

    TEST(PrivateFiles, RefusalsAsAnUnprivilegedUser)
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "switching to an unprivileged user needs root";
        test::TemporaryFolder temporary;
        setMode(temporary.path(), 0755);
        fs::path rootFolder = temporary / "root-owned";
        ASSERT_TRUE(fs::create_directory(rootFolder));
        setMode(rootFolder, 0755);
        writePlainFile(temporary / "root-file", "secret", 0644);

        struct Case {
            const char* name;
            std::function<void()> action;
            int error;
        };
        const Case cases[] = {
            { "create inside a folder it cannot write", [&] { ensurePrivateDirectory(rootFolder / "mine"); },
                EACCES },
            { "narrow a folder it does not own", [&] { ensurePrivateDirectory(rootFolder); }, EPERM },
            { "write into a folder it does not own", [&] { writePrivateFile("x", rootFolder / "file"); },
                EPERM },
            { "narrow a file it does not own", [&] { makeFilePrivate(temporary / "root-file"); }, EPERM },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            EXPECT_EQ(outcomeInChild(Identity::nobody, testCase.action), testCase.error);
        }
        EXPECT_EQ(entriesOf(rootFolder), std::set<std::string>());
        EXPECT_EQ(modeOf(rootFolder), 0755u);
        EXPECT_EQ(modeOf(temporary / "root-file"), 0644u);
    }

    TEST(WritePrivateFile, WritesTheContentWithMode0600WhateverTheUmask)
    {
        for (mode_t mask : { 022, 0, 0277 }) {
            SCOPED_TRACE(mask);
            test::TemporaryFolder temporary;
            fs::path file = temporary / "new/folder/sessions.json";
            {
                ScopedUmask scoped(mask);
                writePrivateFile("{\"sessions\":[]}", file);
            }
            EXPECT_EQ(test::readFile(file), "{\"sessions\":[]}");
            EXPECT_EQ(modeOf(file), 0600u);
            EXPECT_EQ(modeOf(file.parent_path()), 0700u);
            EXPECT_EQ(entriesOf(file.parent_path()), std::set<std::string> { "sessions.json" });
        }
    }

    TEST(WritePrivateFile, ReplacesAWideFileWithANewPrivateOne)
    {
        test::TemporaryFolder temporary;
        fs::path file = temporary / "memory.json";
        writePlainFile(file, "old content that is longer than the new", 0644);
        struct stat before { };
        ASSERT_EQ(::stat(file.c_str(), &before), 0);
        writePrivateFile("new", file);
        struct stat after { };
        ASSERT_EQ(::stat(file.c_str(), &after), 0);
        EXPECT_EQ(test::readFile(file), "new");
        EXPECT_EQ(after.st_mode & 07777, 0600u);
        // Replaced by rename, not rewritten in place: a reader holding the old file keeps the old content.
        EXPECT_NE(after.st_ino, before.st_ino);
    }

    TEST(WritePrivateFile, WritesEmptyAndLargeBinaryContent)
    {
        test::TemporaryFolder temporary;
        writePrivateFile("", temporary / "empty");
        EXPECT_EQ(fs::file_size(temporary / "empty"), 0u);
        EXPECT_EQ(modeOf(temporary / "empty"), 0600u);

        std::string large(8 * 1024 * 1024, '\0');
        for (std::size_t i = 0; i < large.size(); ++i)
            large[i] = static_cast<char>((i * 2654435761u) >> 13);
        writePrivateFile(large, temporary / "large");
        EXPECT_EQ(test::readFile(temporary / "large"), large);
    }

    // The kernel reports each name as it appears, which shows the temporary file that a successful
    // write renames away.
    TEST(WritePrivateFile, WritesThroughAHiddenTemporaryFileBesideTheTarget)
    {
        test::TemporaryFolder temporary;
        int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(watch, 0);
        ASSERT_GE(
            inotify_add_watch(watch, temporary.path().c_str(), IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO), 0);
        writePrivateFile("[]", temporary / "sessions.json");

        alignas(inotify_event) char buffer[4096];
        ssize_t length = ::read(watch, buffer, sizeof buffer);
        ::close(watch);
        ASSERT_GT(length, 0);
        std::vector<std::pair<std::uint32_t, std::string>> events;
        for (char* cursor = buffer; cursor < buffer + length;) {
            auto* event = reinterpret_cast<inotify_event*>(cursor);
            events.emplace_back(event->mask, event->len ? event->name : "");
            cursor += sizeof(inotify_event) + event->len;
        }
        ASSERT_EQ(events.size(), 3u);
        const std::string& temporaryName = events[0].second;
        EXPECT_EQ(events[0].first, std::uint32_t(IN_CREATE));
        ASSERT_EQ(temporaryName.size(), std::string(".sessions.json.").size() + 8) << temporaryName;
        EXPECT_TRUE(temporaryName.starts_with(".sessions.json.")) << temporaryName;
        EXPECT_EQ(temporaryName.find_first_not_of("0123456789abcdef", 15), std::string::npos)
            << temporaryName;
        EXPECT_EQ(events[1], std::make_pair(std::uint32_t(IN_MOVED_FROM), temporaryName));
        EXPECT_EQ(events[2], std::make_pair(std::uint32_t(IN_MOVED_TO), std::string("sessions.json")));
    }

    TEST(WritePrivateFile, FailuresLeaveNoTemporaryFile)
    {
        test::TemporaryFolder temporary;
        ASSERT_TRUE(fs::create_directory(temporary / "empty-folder"));
        ASSERT_TRUE(fs::create_directories(temporary / "full-folder/inside"));
        struct Case {
            const char* name;
            fs::path target;
            int error;
        };
        const Case cases[] = {
            { "target is an empty folder", temporary / "empty-folder", EISDIR },
            { "target is a folder with content", temporary / "full-folder", EISDIR },
            { "name too long for its temporary file", temporary / std::string(250, 'n'), ENAMETOOLONG },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            EXPECT_EQ(outcomeOf([&] { writePrivateFile("content", testCase.target); }), testCase.error);
        }
        EXPECT_EQ(entriesOf(temporary.path()), (std::set<std::string> { "empty-folder", "full-folder" }));
        EXPECT_EQ(entriesOf(temporary / "full-folder"), std::set<std::string> { "inside" });
    }

    // A file-size limit makes write(2) fail part-way, the way a full disk does.
    TEST(WritePrivateFile, AFailedContentWriteKeepsTheOldFileAndLeavesNoTemporary)
    {
        test::TemporaryFolder temporary;
        fs::path file = temporary / "activity.json";
        writePrivateFile("old", file);
        int outcome = outcomeInChild(Identity::unchanged, [&] {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit limit { 1024, 1024 };
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
                throw std::runtime_error("setrlimit");
            writePrivateFile(std::string(64 * 1024, 'x'), file);
        });
        EXPECT_EQ(outcome, EFBIG);
        EXPECT_EQ(test::readFile(file), "old");
        EXPECT_EQ(entriesOf(temporary.path()), std::set<std::string> { "activity.json" });
    }

    TEST(WritePrivateFile, RefusesAFolderThatIsASymbolicLink)
    {
        test::TemporaryFolder temporary;
        ASSERT_TRUE(fs::create_directory(temporary / "elsewhere"));
        fs::create_directory_symlink(temporary / "elsewhere", temporary / "data");
        EXPECT_EQ(outcomeOf([&] { writePrivateFile("secret", temporary / "data/sessions.json"); }),
            kInsecureFolder);
        EXPECT_EQ(entriesOf(temporary / "elsewhere"), std::set<std::string>());
    }

    // Readers racing the writers must only ever see one whole content, never a mix or a partial file.
    TEST(WritePrivateFile, ConcurrentWritersLeaveReadersOnlyWholeContents)
    {
        test::TemporaryFolder temporary;
        fs::path file = temporary / "sessions.json";
        std::vector<std::string> contents;
        for (char letter = 'a'; letter < 'e'; ++letter)
            contents.emplace_back(256 * 1024, letter);
        writePrivateFile(contents[0], file);

        std::atomic<int> writersLeft = static_cast<int>(contents.size());
        std::atomic<int> partialReads = 0;
        std::atomic<int> failedWrites = 0;
        std::jthread reader([&] {
            const std::set<std::string> whole(contents.begin(), contents.end());
            while (writersLeft.load() > 0) {
                if (!whole.contains(test::readFile(file)))
                    ++partialReads;
            }
        });
        std::vector<std::jthread> writers;
        for (const auto& content : contents) {
            writers.emplace_back([&] {
                for (int i = 0; i < 50; ++i)
                    failedWrites += outcomeOf([&] { writePrivateFile(content, file); }) != 0;
                --writersLeft;
            });
        }
        writers.clear();
        reader.join();
        EXPECT_EQ(failedWrites.load(), 0);
        EXPECT_EQ(partialReads.load(), 0);
        EXPECT_EQ(entriesOf(temporary.path()), std::set<std::string> { "sessions.json" });
    }

    TEST(MakeFilePrivate, NarrowsAnExistingFileAndReportsAMissingOne)
    {
        test::TemporaryFolder temporary;
        writePlainFile(temporary / "key.pem", "key", 0644);
        makeFilePrivate(temporary / "key.pem");
        EXPECT_EQ(modeOf(temporary / "key.pem"), 0600u);
        EXPECT_EQ(test::readFile(temporary / "key.pem"), "key");
        EXPECT_EQ(outcomeOf([&] { makeFilePrivate(temporary / "missing.pem"); }), ENOENT);
    }

}
}
