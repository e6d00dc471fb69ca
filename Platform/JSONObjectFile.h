// Reading a small settings-like file that holds one JSON object, for the platform's own files.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <filesystem>
#include <variant>

namespace vellumar::platform {

enum class JSONObjectFileProblem {
    absent,
    notAFile,
    // Cannot be opened or read.
    unreadable,
    largerThanLimit,
    notJSON,
    notAnObject,
};

// The file's object, or why there is none. Never throws.
std::variant<nlohmann::json, JSONObjectFileProblem> readJSONObjectFile(
    const std::filesystem::path& file, std::size_t limitBytes);

}
