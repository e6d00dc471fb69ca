// The capabilities the application was installed with: a JSON object of entitlement keys in a file
// beside the executable, which stands in for the code signature's entitlements.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::platform {

// Read once; any thread may ask afterwards.
class Entitlements {
public:
    // A missing file grants nothing. A file that cannot be read as a JSON object (or is larger than
    // 64 KiB) grants nothing either, after one log line.
    explicit Entitlements(const std::filesystem::path& file);
    ~Entitlements();
    Entitlements(Entitlements&&) noexcept;
    Entitlements& operator=(Entitlements&&) noexcept;

    bool has(std::string_view key) const;
    // None when the key is absent or holds another type; a list with any element that is not a
    // string is not a list of strings.
    std::optional<std::string> string(std::string_view key) const;
    std::optional<std::vector<std::string>> strings(std::string_view key) const;

private:
    std::unique_ptr<nlohmann::json> m_values;
};

}
