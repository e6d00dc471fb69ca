// Reading a small settings-like file that holds one JSON object, for the platform's own files.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <filesystem>
#include <variant>

namespace vellumar::platform {

enum class JSONObjectFileProblem {
    absent,
    // Cannot be opened or read, is larger than the limit, or is not one JSON object.
    unreadable,
};

// The file's object, or why there is none. Never throws.
std::variant<nlohmann::json, JSONObjectFileProblem> readJSONObjectFile(
    const std::filesystem::path& file, std::size_t limitBytes);

}
