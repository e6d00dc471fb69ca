// Where the application keeps its data and settings, where its installed files are, and the
// account's home folder and login shell, each from the environment as it is at the call.
#pragma once

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>

namespace vellumar::platform {

// HOME when it is an absolute path, else the account's home folder from the user database, else "/".
std::filesystem::path homeFolder();

// "${XDG_DATA_HOME:-$HOME/.local/share}/Vellumar": the data folder (the XDG rules ignore a relative
// value). Creates nothing.
std::filesystem::path dataFolder();

// "${XDG_CONFIG_HOME:-$HOME/.config}": the folder that holds the user's settings of every program.
std::filesystem::path configHome();

// The running executable as the kernel knows it; empty when it cannot be read.
std::filesystem::path executableFile();
// Its folder; empty when it cannot be read.
std::filesystem::path executableFolder();

// The folder of what the application reads about itself: the executable's own folder in the build,
// where the build writes the bundle-info file beside it; "../share/vellumar" from there once installed.
std::filesystem::path resourceFolder(const std::filesystem::path& folder = executableFolder());

// The JSON file with the application's version, in the resource folder.
std::filesystem::path bundleInfoFile();

// The JSON file in the resource folder that grants iCloud and push; absent grants neither.
std::filesystem::path entitlementsFile();

// The value under `key` in the bundle-info file; none when the key or the file is missing, or the
// file is unreadable, larger than 64 KiB or malformed.
std::optional<nlohmann::json> bundleInfoValue(
    const std::string& key, const std::filesystem::path& bundleInfo = bundleInfoFile());

// "CFBundleShortVersionString" of the bundle-info file when it is a string; none when the file is
// missing, unreadable, larger than 64 KiB or malformed.
std::optional<std::string> bundleVersion(const std::filesystem::path& bundleInfo = bundleInfoFile());

// The shell the user logs in with: the SHELL variable when it is set (an empty value as it is), else
// the account's shell from the user database when it names one, else "/bin/sh".
std::string loginShell();
std::string loginShell(
    const std::optional<std::string>& shellVariable, const std::optional<std::string>& accountShell);

}
