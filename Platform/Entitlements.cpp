#include "Platform/Entitlements.h"

#include "Platform/JSONObjectFile.h"
#include "Platform/Log.h"

namespace vellumar::platform {

namespace {

    constexpr std::size_t kFileLimitBytes = 64 * 1024;

    nlohmann::json readObject(const std::filesystem::path& file)
    {
        auto read = readJSONObjectFile(file, kFileLimitBytes);
        if (auto* values = std::get_if<nlohmann::json>(&read))
            return std::move(*values);
        if (std::get<JSONObjectFileProblem>(read) != JSONObjectFileProblem::absent)
            logError(
                "The entitlements file " + file.string() + " could not be read; iCloud and push stay off.");
        return nlohmann::json::object();
    }

}

Entitlements::Entitlements(const std::filesystem::path& file)
    : m_values(std::make_unique<nlohmann::json>(readObject(file)))
{
}

Entitlements::~Entitlements() = default;
Entitlements::Entitlements(Entitlements&&) noexcept = default;
Entitlements& Entitlements::operator=(Entitlements&&) noexcept = default;

bool Entitlements::has(std::string_view key) const { return m_values->contains(key); }

std::optional<std::string> Entitlements::string(std::string_view key) const
{
    auto value = m_values->find(key);
    if (value == m_values->end() || !value->is_string())
        return std::nullopt;
    return value->get<std::string>();
}

std::optional<std::vector<std::string>> Entitlements::strings(std::string_view key) const
{
    auto value = m_values->find(key);
    if (value == m_values->end() || !value->is_array())
        return std::nullopt;
    std::vector<std::string> list;
    for (const auto& element : *value) {
        if (!element.is_string())
            return std::nullopt;
        list.push_back(element.get<std::string>());
    }
    return list;
}

}
