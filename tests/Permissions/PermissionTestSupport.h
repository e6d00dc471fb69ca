// What the permission suites share: a home of their own under a temporary root, refusals as one
// comparable line, calls held on other threads until the test lets them go, and bounded waits.
#pragma once

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Permissions/PathContainment.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"
#include "tests/support/TestSupport.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

namespace vellumar::test {

// A home folder under a fresh temporary root, with the data folder where Linux keeps it.
struct TemporaryHome {
    TemporaryFolder folder;
    std::filesystem::path root = resolvingSymlinks(folder.path()).value();
    std::filesystem::path home = root / "home";
    std::filesystem::path data = home / ".local/share/Vellumar";

    TemporaryHome()
    {
        std::filesystem::create_directories(data / "workspaces");
        std::filesystem::create_directories(home / "Projects");
    }

    PermissionResolver resolver() const { return { home, data, 3.0 }; }
};

// Creates the folder with its parents and returns it.
inline std::filesystem::path madeFolder(const std::filesystem::path& path)
{
    std::filesystem::create_directories(path);
    return path;
}

inline void touch(const std::filesystem::path& file) { std::ofstream(file) << "x"; }

// Whether anything is at `path`, a dangling link too.
inline bool existsAt(const std::filesystem::path& path)
{
    return std::filesystem::exists(std::filesystem::symlink_status(path));
}

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
template <typename Condition>
bool eventually(Condition condition, std::chrono::seconds patience = std::chrono::seconds(60))
{
    auto deadline = std::chrono::steady_clock::now() + patience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Calls on other threads that wait, each under a name, until the test releases that name (at most
// 60 s), and then return the value it was released with. Shared with those threads through a
// shared_ptr, since they may outlive the test's frame.
class HeldCalls {
public:
    std::string hold(const std::string& name)
    {
        std::unique_lock lock(m_mutex);
        m_arrived.insert(name);
        m_changed.notify_all();
        m_changed.wait_for(lock, std::chrono::seconds(60), [&] { return m_released.contains(name); });
        m_left.insert(name);
        return m_released.contains(name) ? m_released.at(name) : "";
    }
    void release(const std::string& name, const std::string& value = {})
    {
        std::lock_guard lock(m_mutex);
        m_released.emplace(name, value);
        m_changed.notify_all();
    }
    // The names of the calls that arrived, once at least `count` did; nothing after `within`.
    std::optional<std::multiset<std::string>> arrived(
        std::size_t count, std::chrono::seconds within = std::chrono::seconds(60))
    {
        std::unique_lock lock(m_mutex);
        if (!m_changed.wait_for(lock, within, [&] { return m_arrived.size() >= count; }))
            return std::nullopt;
        return m_arrived;
    }
    bool hasLeft(const std::string& name)
    {
        std::lock_guard lock(m_mutex);
        return m_left.contains(name);
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::multiset<std::string> m_arrived;
    std::set<std::string> m_left;
    std::map<std::string, std::string> m_released;
};

}
