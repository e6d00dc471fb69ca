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
        if (error)
            return JSONObjectFileProblem::unreadable;
        if (status.type() != std::filesystem::file_type::regular)
            return JSONObjectFileProblem::notAFile;
        std::ifstream in(file, std::ios::binary);
        std::string text(limitBytes + 1, '\0');
        in.read(text.data(), static_cast<std::streamsize>(limitBytes + 1));
        if (!in.is_open() || in.bad())
            return JSONObjectFileProblem::unreadable;
        if (static_cast<std::size_t>(in.gcount()) > limitBytes)
            return JSONObjectFileProblem::largerThanLimit;
        text.resize(static_cast<std::size_t>(in.gcount()));
        nlohmann::json values = nlohmann::json::parse(text, nullptr, false);
        if (values.is_discarded())
            return JSONObjectFileProblem::notJSON;
        if (!values.is_object())
            return JSONObjectFileProblem::notAnObject;
        return values;
    } catch (const std::exception&) {
        return JSONObjectFileProblem::unreadable;
    }
}

}
