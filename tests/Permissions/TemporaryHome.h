// A home folder under a fresh temporary root, with the data folder where Linux keeps it, for the
// permission suites that resolve folders against a home of their own.
#pragma once

#include "VellumarMacCore/Permissions/PathContainment.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "tests/support/TestSupport.h"

#include <filesystem>
#include <fstream>
#include <string>

namespace vellumar::test {

struct LegacyHome {
    TemporaryFolder root;
    std::filesystem::path home = resolvingSymlinks(root.path()) / "home";
    std::filesystem::path data = home / ".local/share/Vellumar";

    LegacyHome()
    {
        std::filesystem::create_directories(data / "workspaces");
        std::filesystem::create_directories(home / "Projects");
    }

    PermissionResolver resolver(double timeoutSeconds = 3.0) const { return { home, data, timeoutSeconds }; }

    // Creates the folder (and its parents) and returns its path.
    std::filesystem::path folder(const std::filesystem::path& path) const
    {
        std::filesystem::create_directories(path);
        return path;
    }
};

using TemporaryHome = LegacyHome;

inline void touch(const std::filesystem::path& file) { std::ofstream(file) << "x"; }

}
