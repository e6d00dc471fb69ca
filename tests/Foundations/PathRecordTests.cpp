// The record of what a process holds in the user's folders: a write that fails must leave the record
// the next start reads, not nothing.
#include "VellumarMacCore/Foundations/PathRecord.h"

#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

namespace vellumar {
namespace {

    namespace fs = std::filesystem;

    TEST(PathRecord, AFailedWriteKeepsTheOldRecord)
    {
        test::TemporaryFolder temporary;
        const fs::path record = temporary / "data/record";
        const std::vector<fs::path> held = { "/home/u/Projects/app/.git" };
        PathRecord::write(record, held);
        // A file-size limit makes write(2) fail part-way, the way a full disk does, while removing a
        // file still succeeds.
        EXPECT_NE(test::exitStatusWithin(std::chrono::seconds(30),
                      [&] {
                          std::signal(SIGXFSZ, SIG_IGN);
                          rlimit limit { 1024, 1024 };
                          if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
                              return 0;
                          try {
                              PathRecord::write(record, { fs::path("/" + std::string(2048, 'x')) });
                          } catch (const std::exception&) {
                              return 1;
                          }
                          return 0;
                      }),
            0);
        EXPECT_EQ(PathRecord::read(record), held);
    }

}
}
