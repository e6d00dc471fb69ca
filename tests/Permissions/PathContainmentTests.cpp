#include "VellumarMacCore/Permissions/PathContainment.h"

#include <gtest/gtest.h>

namespace vellumar {
namespace {

    TEST(PathContainment, ShowsPathsRelativeToHome)
    {
        struct Case {
            const char* path;
            const char* home;
            const char* expected;
        };
        const Case cases[] = {
            { "/home/ann", "/home/ann", "~" },
            { "/home/ann/", "/home/ann", "~" },
            { "/home/ann/work/a.txt", "/home/ann", "~/work/a.txt" },
            { "/home/ann/work/../b", "/home/ann/", "~/b" },
            { "/home/annex", "/home/ann", "/home/annex" },
            { "/home", "/home/ann", "/home" },
            { "/etc/hosts", "/", "~/etc/hosts" },
            { "/", "/", "~" },
        };
        for (const auto& test : cases) {
            SCOPED_TRACE(std::string(test.path) + " in " + test.home);
            EXPECT_EQ(homeRelativePath(test.path, test.home), test.expected);
        }
    }

}
}
