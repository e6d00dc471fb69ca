// The files the bot is told went aside: only those still there, as the guard removes one moved aside
// earlier when a newer one of the same name holds the same bytes.
#include "VellumarMacCore/Reply/MovedAsideFiles.h"

#include "tests/Permissions/PermissionTestSupport.h"

#include <gtest/gtest.h>

using namespace vellumar;

TEST(MovedAsideFiles, TellsOnlyOfFilesStillThere)
{
    test::TemporaryHome home;
    const auto hooks = test::madeFolder(home.root / "hooks");
    const GitGuard::MovedChange removed { hooks / "pre-commit.refused-20261208T101010Z", "the hook" };
    const GitGuard::MovedChange kept { hooks / "pre-commit.refused-20261208T101010Z-2", "the hook" };
    test::touch(kept.path);
    MovedAsideFiles files;
    files.add({ removed });
    files.add({ kept, removed });

    auto changes = files.changes();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].change, kept);
}
