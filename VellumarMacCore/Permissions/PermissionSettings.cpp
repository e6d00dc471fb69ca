#include "VellumarMacCore/Permissions/PermissionSettings.h"

#include "VellumarMacCore/Foundations/CleanText.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Permissions/SecretItems.h"

#include <algorithm>
#include <set>
#include <span>
#include <tuple>

namespace vellumar {

namespace {

    constexpr std::size_t kMaxFolders = 30;
    constexpr std::size_t kMaxAlwaysAllow = 20;
    constexpr std::size_t kMaxDomains = 20;
    constexpr std::size_t kMaxPathCharacters = 512;
    constexpr std::size_t kMinSiteNameLength = 3;
    constexpr std::size_t kMaxSiteNameLength = 253;
    constexpr std::size_t kMaxSiteLabelLength = 63;

    constexpr std::string_view kPermissionKeys[]
        = { "folders", "web", "bash", "secretAccess", "bashNetwork", "approve", "alwaysAllow", "cliTools" };
    constexpr std::string_view kFolderKeys[] = { "path", "access" };
    constexpr std::string_view kSecretKeys[] = { "id", "mode" };
    constexpr std::string_view kBashNetworkKeys[] = { "mode", "domains" };
    constexpr std::string_view kNetworkModes[] = { "none", "local", "domains", "all" };

    bool isOneOf(std::string_view text, std::span<const std::string_view> choices)
    {
        return std::find(choices.begin(), choices.end(), text) != choices.end();
    }

    [[noreturn]] void refuse(std::string message) { throw RelayHTTPError::badRequest(std::move(message)); }

    bool hasOnlyKeys(const JSON::Object& object, std::span<const std::string_view> keys)
    {
        return std::all_of(
            object.begin(), object.end(), [&](const auto& member) { return isOneOf(member.first, keys); });
    }

    // The member's text when it is present and a string.
    const std::string* stringMember(const JSON::Object& object, std::string_view key)
    {
        auto found = object.find(key);
        return found == object.end() ? nullptr : found->second.stringValue();
    }

    // A present member must be a JSON boolean; null is not one.
    void readFlag(const JSON::Object& object, std::string_view key, bool& flag, std::string_view message)
    {
        auto found = object.find(key);
        if (found == object.end())
            return;
        auto value = found->second.boolValue();
        if (!value)
            refuse(std::string(message));
        flag = *value;
    }

    // An "access" or "mode" text: true for "write", false for "read", nullopt for anything else.
    std::optional<bool> writableMode(const std::string* mode)
    {
        if (mode && *mode == "write")
            return true;
        if (mode && *mode == "read")
            return false;
        return std::nullopt;
    }

    // Every element a string, none repeated; nullopt otherwise.
    std::optional<std::vector<std::string>> distinctStrings(const JSON::Array& list)
    {
        std::vector<std::string> texts;
        std::set<std::string_view> seen;
        for (const auto& element : list) {
            const std::string* text = element.stringValue();
            if (!text || !seen.insert(*text).second)
                return std::nullopt;
            texts.push_back(*text);
        }
        return texts;
    }

    std::vector<PermissionSettings::Folder> parseFolders(const JSON& value)
    {
        const JSON::Array* list = value.arrayValue();
        if (!list || list->size() > kMaxFolders)
            refuse("permissions.folders must be a list of at most " + std::to_string(kMaxFolders) + ".");
        std::vector<PermissionSettings::Folder> folders;
        for (const auto& item : *list) {
            const JSON::Object* object = item.objectValue();
            const std::string* path = object ? stringMember(*object, "path") : nullptr;
            auto writable = object ? writableMode(stringMember(*object, "access")) : std::nullopt;
            if (!object || !hasOnlyKeys(*object, kFolderKeys) || !path || !isValidPathText(*path)
                || !writable)
                refuse("A folder in permissions.folders is not valid.");
            folders.push_back({ *path, *writable });
        }
        return folders;
    }

    std::vector<PermissionSettings::Secret> parseSecretAccess(const JSON& value)
    {
        const JSON::Array* list = value.arrayValue();
        if (!list || list->size() > SecretItems::all().size())
            refuse("permissions.secretAccess must be a list.");
        std::vector<PermissionSettings::Secret> secrets;
        for (const auto& item : *list) {
            const JSON::Object* object = item.objectValue();
            const std::string* id = object ? stringMember(*object, "id") : nullptr;
            auto writable = object ? writableMode(stringMember(*object, "mode")) : std::nullopt;
            bool repeated = id && std::any_of(secrets.begin(), secrets.end(), [&](const auto& secret) {
                return secret.id == *id;
            });
            if (!object || !hasOnlyKeys(*object, kSecretKeys) || !id || !SecretItems::find(*id) || !writable
                || repeated)
                refuse("An item in permissions.secretAccess is not valid.");
            secrets.push_back({ *id, *writable });
        }
        return secrets;
    }

    std::vector<std::string> parseApprove(const JSON& value)
    {
        const auto& kinds = PermissionSettings::approvalKinds();
        const JSON::Array* list = value.arrayValue();
        auto texts = list ? distinctStrings(*list) : std::nullopt;
        if (!texts || std::any_of(texts->begin(), texts->end(), [&](const std::string& text) {
                return std::find(kinds.begin(), kinds.end(), text) == kinds.end();
            }))
            refuse("permissions.approve must list bash and/or write.");
        return *texts;
    }

    std::vector<std::string> parseAlwaysAllow(const JSON& value)
    {
        const JSON::Array* list = value.arrayValue();
        auto texts = list && list->size() <= kMaxAlwaysAllow ? distinctStrings(*list) : std::nullopt;
        if (!texts || std::any_of(texts->begin(), texts->end(), [](const std::string& text) {
                return !isValidPathText(text) || !(text.starts_with("~/") || text.starts_with("/"));
            }))
            refuse("permissions.alwaysAllow is not valid.");
        return *texts;
    }

    bool isValidSiteLabel(std::string_view label)
    {
        if (label.empty() || label.size() > kMaxSiteLabelLength || label.front() == '-'
            || label.back() == '-')
            return false;
        return std::all_of(label.begin(), label.end(),
            [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; });
    }

}

PermissionSettings::PermissionSettings(const JSON& value)
{
    const JSON::Object* object = value.objectValue();
    if (!object || !hasOnlyKeys(*object, kPermissionKeys))
        refuse("permissions has keys this relay does not know.");

    readFlag(*object, "web", web, "permissions.web must be true or false.");
    readFlag(*object, "bash", bash, "permissions.bash must be true or false.");
    readFlag(*object, "cliTools", cliTools, "permissions.cliTools must be true or false.");
    if (const JSON* member = value.subscript("folders"))
        folders = parseFolders(*member);
    if (const JSON* member = value.subscript("secretAccess"))
        secrets = parseSecretAccess(*member);
    if (const JSON* member = value.subscript("bashNetwork"))
        std::tie(network, domains) = parseBashNetwork(*member);
    if (const JSON* member = value.subscript("approve"))
        approve = parseApprove(*member);
    if (const JSON* member = value.subscript("alwaysAllow"))
        alwaysAllow = parseAlwaysAllow(*member);
}

std::pair<std::string, std::vector<std::string>> PermissionSettings::parseBashNetwork(const JSON& value)
{
    const JSON::Object* object = value.objectValue();
    const std::string* mode = object ? stringMember(*object, "mode") : nullptr;
    if (!object || !hasOnlyKeys(*object, kBashNetworkKeys) || !mode || !isOneOf(*mode, kNetworkModes))
        refuse("permissions.bashNetwork.mode must be none, local, domains or all.");

    static const JSON::Array noDomains;
    const JSON* member = value.subscript("domains");
    const JSON::Array* list = member && member->arrayValue() ? member->arrayValue() : &noDomains;
    if (list->size() > kMaxDomains)
        refuse("permissions.bashNetwork.domains is too long.");
    if (*mode != "domains") {
        if (!list->empty())
            refuse("permissions.bashNetwork.domains is only for the domains mode.");
        return { *mode, {} };
    }
    auto names = distinctStrings(*list);
    if (!names || names->empty() || !std::all_of(names->begin(), names->end(), isValidSiteName))
        refuse("permissions.bashNetwork.domains has a site name that cannot be used.");
    return { *mode, std::move(*names) };
}

bool PermissionSettings::isValidSiteName(std::string_view name)
{
    // Only ASCII can pass the label rule below, so bytes count as characters here.
    if (name.size() < kMinSiteNameLength || name.size() > kMaxSiteNameLength)
        return false;
    if (name.starts_with("*."))
        name.remove_prefix(2);
    if (name == "localhost" || name.ends_with(".localhost"))
        return false;
    std::vector<std::string_view> labels;
    for (std::size_t start = 0;;) {
        std::size_t dot = name.find('.', start);
        labels.push_back(
            name.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
        if (dot == std::string_view::npos)
            break;
        start = dot + 1;
    }
    if (labels.size() < 2 || !std::all_of(labels.begin(), labels.end(), isValidSiteLabel))
        return false;
    // A last label of digits only would make a dotted number such as an IPv4 address.
    return std::any_of(
        labels.back().begin(), labels.back().end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

const std::vector<std::string>& PermissionSettings::approvalKinds()
{
    static const std::vector<std::string> kinds = { "bash", "write" };
    return kinds;
}

bool isValidPathText(std::string_view text)
{
    // A text that trimming would change, or that holds a control character, fails the cleaner
    // or comes back different.
    auto cleaned = CleanText::trimmedField(text, kMaxPathCharacters, CleanText::LineBreaks::refused);
    return cleaned && !cleaned->empty() && *cleaned == text && text.find('\\') == std::string_view::npos;
}

}
