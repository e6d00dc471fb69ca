#include "Platform/Defaults.h"

#include "Platform/JSONObjectFile.h"
#include "Platform/Log.h"
#include "Platform/Paths.h"
#include "Platform/PrivateFiles.h"

#include <system_error>

namespace vellumar::platform {

namespace {

    namespace fs = std::filesystem;

    constexpr std::size_t kFileLimitBytes = 1024 * 1024;

}

fs::path Defaults::defaultFile() { return configHome() / "Vellumar" / "defaults.json"; }

Defaults::Defaults(fs::path file)
    : m_file(std::move(file))
    , m_values(std::make_unique<nlohmann::json>(nlohmann::json::object()))
{
    auto read = readJSONObjectFile(m_file, kFileLimitBytes);
    if (auto* values = std::get_if<nlohmann::json>(&read)) {
        *m_values = std::move(*values);
        return;
    }
    if (std::get<JSONObjectFileProblem>(read) == JSONObjectFileProblem::absent)
        return;
    fs::path aside = m_file;
    aside += ".bad";
    std::error_code error;
    fs::rename(m_file, aside, error);
    logError("The settings file could not be read and was moved to " + aside.string()
        + (error ? " (failed: " + error.message() + ")" : ""));
}

Defaults::~Defaults() = default;

std::optional<bool> Defaults::boolean(std::string_view key) const
{
    auto value = m_values->find(key);
    if (value == m_values->end() || !value->is_boolean())
        return std::nullopt;
    return value->get<bool>();
}

std::optional<std::string> Defaults::string(std::string_view key) const
{
    auto value = m_values->find(key);
    if (value == m_values->end() || !value->is_string())
        return std::nullopt;
    return value->get<std::string>();
}

void Defaults::setBoolean(std::string_view key, bool value)
{
    (*m_values)[std::string(key)] = value;
    write();
}

void Defaults::setString(std::string_view key, std::string_view value)
{
    (*m_values)[std::string(key)] = value;
    write();
}

void Defaults::write() const
{
    try {
        if (makePrivateDirectory(m_file.parent_path()) == PrivateFolder::insecure)
            throw fs::filesystem_error("not a private folder", m_file.parent_path(),
                std::make_error_code(std::errc::not_a_directory));
        writeFileAtomically(m_values->dump(2) + "\n", m_file, ExistingFile::replace);
    } catch (const std::exception& error) {
        logError(std::string("The settings could not be saved: ") + error.what());
    }
}

}
