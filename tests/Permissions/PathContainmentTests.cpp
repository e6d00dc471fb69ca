#include "VellumarMacCore/Permissions/PathContainment.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

using namespace vellumar;

TEST(PathContainment, ComparesStandardizedPathsWithoutDoublingSlashes)
{
    for (const auto& [child, folder, inside] : std::vector<std::tuple<const char*, const char*, bool>> {
             { "/a/b/", "/a/b", true }, { "/a/b/./c", "/a/b/", true }, { "/a/bc", "/a/b", false },
             { "/a/b/../c", "/a/b", false }, { "/x", "/", true }, { "/a", "/a/b", false } }) {
        SCOPED_TRACE(std::string(child) + " in " + folder);
        EXPECT_EQ(isPathInside(child, folder), inside);
    }
}

TEST(PathContainment, ShowsPathsRelativeToHome)
{
    for (const auto& [path, home, shown] :
        std::vector<std::tuple<const char*, const char*, const char*>> { { "/home/ann/", "/home/ann", "~" },
            { "/home/ann/w/../b", "/home/ann/", "~/b" }, { "/home/annex", "/home/ann", "/home/annex" },
            { "/home", "/home/ann", "/home" }, { "/etc/hosts", "/", "~/etc/hosts" } }) {
        SCOPED_TRACE(std::string(path) + " in " + home);
        EXPECT_EQ(homeRelativePath(path, home), shown);
    }
}
