#include "Platform/Paths.h"

#include "Platform/JSONObjectFile.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace vellumar::platform {

namespace {

    namespace fs = std::filesystem;

    constexpr std::size_t kBundleInfoLimitBytes = 64 * 1024;
    constexpr auto kBundleInfoName = "bundle-info.json";

    // The user database's entry of the running user; none when there is none.
    const passwd* accountEntry() { return ::getpwuid(::geteuid()); }

    // An XDG base folder: the variable when it holds an absolute path, else the fallback under home.
    fs::path baseFolder(const char* variable, const char* fallbackUnderHome)
    {
        const char* value = std::getenv(variable);
        if (value && value[0] == '/')
            return value;
        return homeFolder() / fallbackUnderHome;
    }

}

fs::path homeFolder()
{
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return home;
    if (const passwd* account = accountEntry(); account && account->pw_dir && account->pw_dir[0] == '/')
        return account->pw_dir;
    return "/";
}

fs::path dataFolder() { return baseFolder("XDG_DATA_HOME", ".local/share") / "Vellumar"; }

fs::path configHome() { return baseFolder("XDG_CONFIG_HOME", ".config"); }

fs::path executableFile()
{
    std::error_code error;
    fs::path executable = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : executable;
}

fs::path executableFolder() { return executableFile().parent_path(); }

fs::path resourceFolder(const fs::path& folder)
{
    std::error_code error;
    if (fs::exists(folder / kBundleInfoName, error))
        return folder;
    return (folder / VELLUMAR_INSTALLED_RESOURCES).lexically_normal();
}

fs::path bundleInfoFile() { return resourceFolder() / kBundleInfoName; }

fs::path entitlementsFile() { return resourceFolder() / "vellumar.entitlements.json"; }

std::optional<nlohmann::json> bundleInfoValue(const std::string& key, const fs::path& bundleInfo)
{
    auto read = readJSONObjectFile(bundleInfo, kBundleInfoLimitBytes);
    auto* info = std::get_if<nlohmann::json>(&read);
    if (!info)
        return std::nullopt;
    auto value = info->find(key);
    if (value == info->end())
        return std::nullopt;
    return *value;
}

std::optional<std::string> bundleVersion(const fs::path& bundleInfo)
{
    auto version = bundleInfoValue("CFBundleShortVersionString", bundleInfo);
    if (!version || !version->is_string())
        return std::nullopt;
    return version->get<std::string>();
}

std::string loginShell()
{
    const char* variable = std::getenv("SHELL");
    const passwd* account = accountEntry();
    return loginShell(variable ? std::optional<std::string>(variable) : std::nullopt,
        account && account->pw_shell ? std::optional<std::string>(account->pw_shell) : std::nullopt);
}

std::string loginShell(
    const std::optional<std::string>& shellVariable, const std::optional<std::string>& accountShell)
{
    if (shellVariable)
        return *shellVariable;
    if (accountShell && !accountShell->empty())
        return *accountShell;
    return "/bin/sh";
}

}
