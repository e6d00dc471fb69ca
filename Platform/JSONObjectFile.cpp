#include "Platform/JSONObjectFile.h"

#include <fstream>
#include <string>
#include <system_error>

namespace vellumar::platform {

std::variant<nlohmann::json, JSONObjectFileProblem> readJSONObjectFile(
    const std::filesystem::path& file, std::size_t limitBytes)
{
    try {
        std::error_code error;
        auto status = std::filesystem::status(file, error);
        if (status.type() == std::filesystem::file_type::not_found)
            return JSONObjectFileProblem::absent;
        if (error || status.type() != std::filesystem::file_type::regular)
            return JSONObjectFileProblem::unreadable;
        std::ifstream in(file, std::ios::binary);
        std::string text(limitBytes + 1, '\0');
        in.read(text.data(), static_cast<std::streamsize>(limitBytes + 1));
        if (!in.is_open() || in.bad() || static_cast<std::size_t>(in.gcount()) > limitBytes)
            return JSONObjectFileProblem::unreadable;
        text.resize(static_cast<std::size_t>(in.gcount()));
        nlohmann::json values = nlohmann::json::parse(text, nullptr, false);
        if (!values.is_object())
            return JSONObjectFileProblem::unreadable;
        return values;
    } catch (const std::exception&) {
        return JSONObjectFileProblem::unreadable;
    }
}

}
