// The application's user defaults: one JSON object in a private file, read once and written whole
// after each change.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar::platform {

// Main thread only. Values of other types than the ones asked for stay in the file untouched.
class Defaults {
public:
    // "${XDG_CONFIG_HOME:-$HOME/.config}/Vellumar/defaults.json".
    static std::filesystem::path defaultFile();

    // Reads the file; a missing one gives no values. A file that cannot be read as a JSON object (or
    // is larger than 1 MiB) is moved aside to "<name>.bad", with one log line, so that the next write
    // does not destroy what the user may still want; its values are then absent.
    explicit Defaults(std::filesystem::path file);
    ~Defaults();
    Defaults(const Defaults&) = delete;
    Defaults& operator=(const Defaults&) = delete;

    // None when the key is absent or holds another type.
    std::optional<bool> boolean(std::string_view key) const;
    std::optional<std::string> string(std::string_view key) const;

    // Stores the value and writes the file (0600, in a 0700 folder, by a temporary file renamed over
    // it), also when the value did not change. A failed write is logged and keeps the value in memory
    // for this run.
    void setBoolean(std::string_view key, bool value);
    void setString(std::string_view key, std::string_view value);

    const std::filesystem::path& file() const noexcept { return m_file; }

private:
    void write() const;

    std::filesystem::path m_file;
    std::unique_ptr<nlohmann::json> m_values;
};

}
