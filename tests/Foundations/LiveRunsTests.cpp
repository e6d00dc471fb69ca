// The registry of what live runs hold: a write that fails must leave the record the next start reads,
// not nothing; a damaged record gives back what can be read; runs sharing an entry keep it held.
#include "VellumarMacCore/Foundations/LiveRuns.h"

#include "tests/Foundations/ManyThreads.h"
#include "tests/support/CapturedLog.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sys/resource.h>

namespace vellumar {
namespace {

    namespace fs = std::filesystem;
    using Kind = LiveRuns::Kind;

    TEST(LiveRuns, AFailedWriteKeepsTheOldRecord)
    {
        test::TemporaryFolder temporary;
        const fs::path folder = temporary / "data";
        const LiveRuns::Entry held { "/home/u/Projects/app/.git", {} };
        {
            auto locked = LiveRuns::in(folder).locked();
            locked.hold(Kind::commonDirPlaceholder, held);
            locked.write(Kind::commonDirPlaceholder);
        }
        // A file-size limit makes write(2) fail part-way, the way a full disk does, while removing a
        // file still succeeds.
        EXPECT_NE(test::exitStatusWithin(std::chrono::seconds(30),
                      [&] {
                          std::signal(SIGXFSZ, SIG_IGN);
                          rlimit limit { 1024, 1024 };
                          if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
                              return 0;
                          try {
                              auto locked = LiveRuns::in(folder).locked();
                              locked.hold(Kind::commonDirPlaceholder, { "/" + std::string(2048, 'x'), {} });
                              locked.write(Kind::commonDirPlaceholder);
                          } catch (const std::exception&) {
                              return 1;
                          }
                          return 0;
                      }),
            0);
        EXPECT_EQ(
            LiveRuns::decoded(test::readFile(LiveRuns::recordOf(folder, Kind::commonDirPlaceholder))).entries,
            std::vector { held });
    }

    // An older build's record is carried into this one's before it goes: where the carried record
    // cannot be written, the older one stays for the next start to read again.
    TEST(LiveRuns, AnOlderRecordStaysUntilItsEntriesAreWrittenIntoTheNewOne)
    {
        test::TemporaryFolder temporary;
        const fs::path folder = temporary / "data";
        const fs::path older = folder / "older-record";
        const std::string bytes = "/" + std::string(2048, 'x');
        test::writeBytes(older, bytes);
        const LiveRuns::OlderRecord records[]
            = { { older, [](const fs::path& file) {
                     return LiveRuns::Decoded { { { test::readFile(file), {} } } };
                 } } };
        // As in the test above: the carried record is larger than a write may be.
        EXPECT_EQ(test::exitStatusWithin(std::chrono::seconds(30),
                      [&] {
                          std::signal(SIGXFSZ, SIG_IGN);
                          rlimit limit { 1024, 1024 };
                          if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
                              return 2;
                          return LiveRuns::in(folder).locked().leftBehind(Kind::guardedUnit, records).size()
                                  == 1
                              ? 0
                              : 1;
                      }),
            0);
        EXPECT_EQ(test::readFile(older), bytes);
    }

    // A record cut anywhere, or not of this form, is logged once, and each entry read before the damage
    // is handed back, one cut in its payload with what there is of it.
    TEST(LiveRuns, ADamagedRecordIsLoggedAndWhatCanBeReadIsHandedBack)
    {
        const std::vector<LiveRuns::Entry> written = { { "/a/.git", "first" }, { "/b/.git", "second" } };
        const std::string whole = LiveRuns::encoded(written);
        struct Case {
            const char* name;
            std::string bytes;
            std::vector<LiveRuns::Entry> handedBack;
        };
        const Case cases[] = {
            { "cut in the last payload", whole.substr(0, whole.size() - 2),
                { written[0], { "/b/.git", "seco" } } },
            { "cut in the last key", whole.substr(0, whole.size() - 10), { written[0] } },
            { "cut in the last sizes", whole.substr(0, whole.find("/a/.git") + 13), { written[0] } },
            { "a size that is no number", whole.substr(0, whole.find("7 5")) + "x 5\n/a/.gitfirst", {} },
            { "not of this form", std::string("/a/.git\0/b/.git\0", 16), {} },
        };
        for (const auto& testCase : cases) {
            SCOPED_TRACE(testCase.name);
            test::TemporaryFolder data;
            std::ofstream(LiveRuns::recordOf(data.path(), Kind::guardedUnit), std::ios::binary)
                << testCase.bytes;
            test::CapturedLog log;
            EXPECT_EQ(LiveRuns::in(data.path()).locked().leftBehind(Kind::guardedUnit), testCase.handedBack);
            ASSERT_EQ(log.lines().size(), 1u);
            EXPECT_NE(log.lines()[0].find("is damaged"), std::string::npos);
        }
    }

    // Runs on two threads hold and let go of one entry, in any order: while either holds it, the record
    // names it and the next start would get it back; once both let go, the record is gone.
    TEST(LiveRuns, AnEntryTwoRunsHoldStaysHeldUntilTheLastLetsGo)
    {
        test::TemporaryFolder data;
        const fs::path record = LiveRuns::recordOf(data.path(), Kind::sandboxPlaceholder);
        const LiveRuns::Entry shared { "/place/.git", {} };
        EXPECT_EQ(test::failuresOnThreads(2, 200,
                      [&](int) {
                          LiveRuns::Run run(data.path());
                          {
                              auto locked = run.registry().locked();
                              locked.hold(Kind::sandboxPlaceholder, shared);
                              locked.write(Kind::sandboxPlaceholder);
                          }
                          bool named
                              = LiveRuns::decoded(test::readFile(record)).entries == std::vector { shared }
                              && fs::exists(LiveRuns::heartbeatOf(data.path()));
                          auto locked = run.registry().locked();
                          locked.release(Kind::sandboxPlaceholder, shared.key);
                          locked.write(Kind::sandboxPlaceholder);
                          return named;
                      }),
            0);
        EXPECT_FALSE(fs::exists(record));
        EXPECT_EQ(test::namesIn(data.path()), std::set<std::string> {});
    }

}
}
