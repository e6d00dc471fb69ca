#include "VellumarMacCore/Permissions/PathContainment.h"

#include <gtest/gtest.h>

#include <string>

using namespace vellumar;

TEST(PathContainment, ComparesStandardizedPathsWithoutDoublingSlashes)
{
    struct Case {
        const char *child, *folder;
        bool inside;
    };
    for (const auto& c :
        { Case { "/a/b/", "/a/b", true }, Case { "/a/b/./c", "/a/b/", true }, Case { "/a/bc", "/a/b", false },
            Case { "/a/b/../c", "/a/b", false }, Case { "/x", "/", true }, Case { "/a", "/a/b", false } }) {
        SCOPED_TRACE(std::string(c.child) + " in " + c.folder);
        EXPECT_EQ(isPathInside(c.child, c.folder), c.inside);
    }
}

TEST(PathContainment, ShowsPathsRelativeToHome)
{
    struct Case {
        const char *path, *home, *shown;
    };
    for (const auto& c :
        { Case { "/home/ann/", "/home/ann", "~" }, Case { "/home/ann/w/../b", "/home/ann/", "~/b" },
            Case { "/home/annex", "/home/ann", "/home/annex" }, Case { "/home", "/home/ann", "/home" },
            Case { "/etc/hosts", "/", "~/etc/hosts" } }) {
        SCOPED_TRACE(std::string(c.path) + " in " + c.home);
        EXPECT_EQ(homeRelativePath(c.path, c.home), c.shown);
    }
}
