#include "VellumarMacCore/Foundations/PrivateFiles.h"

#include "VellumarMacCore/Foundations/TLSIdentityError.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <grp.h>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace vellumar {
namespace {

    namespace fs = std::filesystem;
    using Names = std::set<std::string>;
    using test::modeOf;
    using test::namesIn;

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

    void writePlainFile(const fs::path& file, std::string_view content, mode_t mode)
    {
        test::writeBytes(file, content);
        ASSERT_EQ(::chmod(file.c_str(), mode), 0) << file;
    }

    TEST(EnsurePrivateDirectory, CreatesEveryMissingLevelAndNarrowsOnlyTheFolderItself)
    {
        test::TemporaryFolder temporary;
        // With no umask to narrow them, the modes come from the creation itself.
        mode_t previous = ::umask(0);
        ensurePrivateDirectory(temporary / "data/stores/sessions");
        ::umask(previous);
        for (auto level : { "data", "data/stores", "data/stores/sessions" })
            EXPECT_EQ(modeOf(temporary / level), 0700u) << level;
        ASSERT_TRUE(fs::create_directories(temporary / "shared/private"));
        fs::permissions(temporary / "shared", fs::perms(0755));
        fs::permissions(temporary / "shared/private", fs::perms(0757));
        ensurePrivateDirectory(temporary / "shared/private");
        EXPECT_EQ(modeOf(temporary / "shared/private"), 0700u);
        EXPECT_EQ(modeOf(temporary / "shared"), 0755u);
        // Owner bits alone are not enough: a special bit beside them is narrowed away too.
        fs::permissions(temporary / "shared/private", fs::perms(0700) | fs::perms::set_gid);
        ensurePrivateDirectory(temporary / "shared/private");
        EXPECT_EQ(modeOf(temporary / "shared/private"), 0700u);
    }

    TEST(EnsurePrivateDirectory, RefusesASymbolicLinkWithoutNarrowingItsTarget)
    {
        test::TemporaryFolder temporary;
        fs::path target = temporary / "real";
        fs::path link = temporary / "link";
        ASSERT_TRUE(fs::create_directory(target));
        fs::create_directory_symlink(target, link);
        for (std::string spelling : { link.string(), link.string() + "/", link.string() + "//" }) {
            SCOPED_TRACE(spelling);
            fs::permissions(target, fs::perms(0755));
            EXPECT_EQ(outcomeOf([&] { ensurePrivateDirectory(spelling); }), kInsecureFolder);
            EXPECT_EQ(modeOf(target), 0755u);
        }
        EXPECT_EQ(outcomeOf([&] { writePrivateFile("secret", link / "sessions.json"); }), kInsecureFolder);
        EXPECT_EQ(namesIn(target), Names());
    }

    TEST(EnsurePrivateDirectory, SomethingElseAtThePathIsAPlatformError)
    {
        test::TemporaryFolder temporary;
        writePlainFile(temporary / "file", "x", 0644);
        fs::create_symlink(temporary / "nowhere", temporary / "dangling");
        EXPECT_EQ(outcomeOf([&] { ensurePrivateDirectory(temporary / "file"); }), EEXIST);
        EXPECT_EQ(outcomeOf([&] { ensurePrivateDirectory(temporary / "dangling"); }), EEXIST);
        EXPECT_FALSE(fs::exists(temporary / "nowhere"));
    }

    TEST(PrivateFiles, RefusalsAsAnUnprivilegedUser)
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "switching to an unprivileged user needs root";
        test::TemporaryFolder temporary;
        fs::permissions(temporary.path(), fs::perms(0755));
        fs::path rootFolder = temporary / "root-owned";
        ASSERT_TRUE(fs::create_directory(rootFolder));
        fs::permissions(rootFolder, fs::perms(0755));
        fs::path narrowedRootFolder = temporary / "root-owned-0700";
        ASSERT_TRUE(fs::create_directory(narrowedRootFolder));
        fs::permissions(narrowedRootFolder, fs::perms(0700));
        writePlainFile(temporary / "root-file", "secret", 0644);
        const std::tuple<const char*, std::function<void()>, int> cases[] = {
            { "create inside a folder it cannot write", [&] { ensurePrivateDirectory(rootFolder / "mine"); },
                EACCES },
            { "narrow a folder it does not own", [&] { ensurePrivateDirectory(rootFolder); }, EPERM },
            { "take a narrowed folder it does not own", [&] { ensurePrivateDirectory(narrowedRootFolder); },
                EPERM },
            { "write into a folder it does not own", [&] { writePrivateFile("x", rootFolder / "file"); },
                EPERM },
            { "narrow a file it does not own", [&] { makeFilePrivate(temporary / "root-file"); }, EPERM },
        };
        for (const auto& [name, action, error] : cases) {
            SCOPED_TRACE(name);
            constexpr uid_t nobody = 65534;
            EXPECT_EQ(test::exitStatusWithin(std::chrono::seconds(30),
                          [&] {
                              if (setgroups(0, nullptr) != 0 || setresgid(nobody, nobody, nobody) != 0
                                  || setresuid(nobody, nobody, nobody) != 0)
                                  return kOtherFailure;
                              return outcomeOf(action);
                          }),
                error);
        }
        EXPECT_EQ(namesIn(rootFolder), Names());
        EXPECT_EQ(modeOf(rootFolder), 0755u);
        EXPECT_EQ(modeOf(temporary / "root-file"), 0644u);
    }

    TEST(WritePrivateFile, WritesTheContentWithMode0600WhateverTheUmask)
    {
        const std::string content("{\"a\":\0[]}", 9);
        for (mode_t mask : { 0, 0277 }) {
            SCOPED_TRACE(mask);
            test::TemporaryFolder temporary;
            fs::path file = temporary / "new/folder/sessions.json";
            mode_t previous = ::umask(mask);
            writePrivateFile(content, file);
            ::umask(previous);
            EXPECT_EQ(test::readFile(file), content);
            EXPECT_EQ(modeOf(file), 0600u);
            EXPECT_EQ(modeOf(file.parent_path()), 0700u);
        }
    }

    // Pieces go out in batches of at most 1024; empty ones are skipped, even at a batch's edges.
    TEST(WritePrivateFile, WritesPiecesInOrderAcrossBatches)
    {
        test::TemporaryFolder temporary;
        for (std::size_t count : { 0, 1, 1023, 1024, 1025, 2049 }) {
            SCOPED_TRACE(count);
            std::vector<std::string> texts;
            std::string expected;
            for (std::size_t index = 0; index < count; ++index) {
                texts.push_back(index % 1023 == 0 ? "" : std::to_string(index) + ",");
                expected += texts.back();
            }
            std::vector<std::string_view> pieces(texts.begin(), texts.end());
            writePrivateFile(pieces, temporary / "pieces.json");
            EXPECT_EQ(test::readFile(temporary / "pieces.json"), expected);
        }
    }

    // Replaced by rename, not rewritten in place: a reader holding the old file keeps the old content,
    // until that one is narrowed in place.
    TEST(WritePrivateFile, ReplacesAWideFileByRenameNotInPlace)
    {
        test::TemporaryFolder temporary;
        fs::path file = temporary / "sessions.json";
        writePlainFile(file, "old content that is longer than the new", 0644);
        fs::create_hard_link(file, temporary / "held");
        writePrivateFile("new", file);
        EXPECT_EQ(test::readFile(file), "new");
        EXPECT_EQ(modeOf(file), 0600u);
        EXPECT_EQ(test::readFile(temporary / "held"), "old content that is longer than the new");
        makeFilePrivate(temporary / "held");
        EXPECT_EQ(modeOf(temporary / "held"), 0600u);
    }

    TEST(WritePrivateFile, FailuresKeepTheOldFileAndLeaveNoTemporary)
    {
        test::TemporaryFolder temporary;
        ASSERT_TRUE(fs::create_directories(temporary / "folder/inside"));
        EXPECT_EQ(outcomeOf([&] { writePrivateFile("content", temporary / "folder"); }), EISDIR);
        EXPECT_EQ(namesIn(temporary / "folder"), Names { "inside" });

        // A file-size limit makes write(2) fail part-way, the way a full disk does.
        writePrivateFile("old", temporary / "activity.json");
        EXPECT_EQ(test::exitStatusWithin(std::chrono::seconds(30),
                      [&] {
                          std::signal(SIGXFSZ, SIG_IGN);
                          rlimit limit { 1024, 1024 };
                          return ::setrlimit(RLIMIT_FSIZE, &limit) != 0 ? kOtherFailure : outcomeOf([&] {
                              writePrivateFile(std::string(64 * 1024, 'x'), temporary / "activity.json");
                          });
                      }),
            EFBIG);
        EXPECT_EQ(test::readFile(temporary / "activity.json"), "old");
        EXPECT_EQ(namesIn(temporary.path()), (Names { "activity.json", "folder" }));
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
            while (writersLeft.load() > 0)
                partialReads += !whole.contains(test::readFile(file));
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
        EXPECT_EQ(failedWrites.load() + partialReads.load(), 0);
        EXPECT_EQ(namesIn(temporary.path()), Names { "sessions.json" });
    }

}
}
