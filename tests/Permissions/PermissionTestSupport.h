// What the permission suites share: a home of their own under a temporary root, refusals as one
// comparable line, and a bounded wait for what other threads make true.
#pragma once

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Permissions/PathContainment.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "tests/support/TestSupport.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace vellumar::test {

// A home folder under a fresh temporary root, with the data folder where Linux keeps it.
struct TemporaryHome {
    TemporaryFolder folder;
    std::filesystem::path root = resolvingSymlinks(folder.path());
    std::filesystem::path home = root / "home";
    std::filesystem::path data = home / ".local/share/Vellumar";

    TemporaryHome()
    {
        std::filesystem::create_directories(data / "workspaces");
        std::filesystem::create_directories(home / "Projects");
    }

    PermissionResolver resolver(double timeoutSeconds = 3.0) const { return { home, data, timeoutSeconds }; }
};

// Creates the folder with its parents and returns it.
inline std::filesystem::path madeFolder(const std::filesystem::path& path)
{
    std::filesystem::create_directories(path);
    return path;
}

inline void touch(const std::filesystem::path& file) { std::ofstream(file) << "x"; }

// "<status> <code> <message>" of the RelayHTTPError that `action` throws, or "ok".
template <typename Action> std::string refusalOf(Action action)
{
    try {
        action();
        return "ok";
    } catch (const RelayHTTPError& error) {
        return std::to_string(error.status()) + " " + error.code() + " " + error.message();
    }
}

// Polls what other threads make true; false only after a deadline a working program never reaches.
template <typename Condition> bool eventually(Condition condition)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}
