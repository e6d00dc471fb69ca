#include "VellumarMacCore/GitProtection/Judging/GitCountedSettings.h"

#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/GitProtection/Judging/EverydaySettings.h"
#include "VellumarMacCore/GitProtection/Judging/WhereSettingsLead.h"
#include "VellumarMacCore/GitProtection/Finding/GitConfigPaths.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <exception>
#include <filesystem>
#include <map>
#include <set>
#include <unistd.h>

namespace vellumar::GitCountedSettings {

namespace {

    namespace fs = std::filesystem;

    // A key past this is cut in a log line; Git's own keys are far shorter.
    constexpr std::size_t kLoggedKeyBytes = 100;
    // A log line names this many keys, and how many more counted.
    constexpr std::size_t kLoggedKeys = 5;

    // A 0600 file holding `bytes` in the temporary folder, removed when this goes.
    class TemporaryCopy {
    public:
        explicit TemporaryCopy(std::string_view bytes)
        {
            std::error_code error;
            std::string name = (fs::temp_directory_path(error) / "vellumar-config-XXXXXX").string();
            FileDescriptor file(::mkostemp(name.data(), O_CLOEXEC));
            if (file.get() < 0)
                return;
            m_path = name;
            for (std::size_t written = 0; written < bytes.size();) {
                ssize_t count = ::write(file.get(), bytes.data() + written, bytes.size() - written);
                if (count <= 0) {
                    m_complete = false;
                    return;
                }
                written += static_cast<std::size_t>(count);
            }
            m_complete = true;
        }
        ~TemporaryCopy()
        {
            if (!m_path.empty())
                ::unlink(m_path.c_str());
        }
        TemporaryCopy(const TemporaryCopy&) = delete;
        TemporaryCopy& operator=(const TemporaryCopy&) = delete;

        // Absent when the copy could not be written whole.
        std::optional<std::string> path() const { return m_complete ? std::optional(m_path) : std::nullopt; }

    private:
        std::string m_path;
        bool m_complete = false;
    };

    // A key for a log line: printable bytes only, and bounded.
    std::string loggedKey(std::string_view key)
    {
        std::string logged;
        for (char byte : key.substr(0, kLoggedKeyBytes))
            logged.push_back(byte >= 0x20 && byte < 0x7F ? byte : '?');
        return key.size() > kLoggedKeyBytes ? logged + "..." : logged;
    }

    // What a setting that counted lets a command do to the user's later Git, by its section and name as
    // git-config(1) describes them: a credential helper runs, the rest of "credential" and all of
    // "http" and "url" choose where Git connects and what it sends or accepts there, a remote's push
    // refspecs and mirroring choose what every plain push does to it.
    std::string_view whatItDoes(std::string_view key)
    {
        const std::string_view section = key.substr(0, key.find('.'));
        const std::string_view name = key.substr(std::min(key.rfind('.') + 1, key.size()));
        if (section == "alias")
            return "redefines a Git command";
        if (section == "remote" && (name == "push" || name == "mirror"))
            return "makes a plain push delete or overwrite on the remote";
        const bool connects = section == "http" || section == "url"
            || (section == "credential" && name != "helper")
            || (section == "remote" && (name == "proxy" || name == "proxyauthmethod"));
        return connects ? "changes where Git connects or whom it trusts" : "can make Git run a program";
    }

    // How often each setting occurs.
    std::map<Setting, int> counted(const std::vector<Setting>& settings)
    {
        std::map<Setting, int> times;
        for (const auto& setting : settings)
            ++times[setting];
        return times;
    }

}

Reader gitReader(std::string searchPath, CommandRunnerFunction run)
{
    return [searchPath = std::move(searchPath), run = std::move(run)](
               std::string_view configuration) -> std::optional<std::string> {
        try {
            auto git = GitConfigPaths::gitExecutable(searchPath);
            TemporaryCopy copy(configuration);
            if (!git || !copy.path())
                return std::nullopt;
            CommandResult result = run(*git, { "config", "-z", "--file", *copy.path(), "--list" },
                GitConfigPaths::gitReadOptions(
                    { { "PATH", searchPath }, { "HOME", "/nonexistent" }, { "GIT_CONFIG_NOSYSTEM", "1" } },
                    fs::path("/")));
            if (result.timedOut || result.status != 0)
                return std::nullopt;
            return std::move(result.output);
        } catch (const std::exception&) {
            return std::nullopt;
        }
    };
}

Reader gitReaderForThisProcess()
{
    const char* searchPath = std::getenv("PATH");
    return gitReader(searchPath ? searchPath : "/usr/local/bin:/usr/bin:/bin");
}

std::vector<Setting> settingsOf(std::string_view listing)
{
    std::vector<Setting> settings;
    for (std::size_t start = 0; start < listing.size();) {
        std::size_t end = std::min(listing.find('\0', start), listing.size());
        std::string_view entry = listing.substr(start, end - start);
        std::size_t newline = entry.find('\n');
        Setting setting { std::string(entry.substr(0, newline)), std::nullopt };
        if (newline != std::string_view::npos)
            setting.value = std::string(entry.substr(newline + 1));
        settings.push_back(std::move(setting));
        start = end + 1;
    }
    return settings;
}

const Setting* lastOf(const std::vector<Setting>& settings, std::string_view key)
{
    auto found = std::find_if(
        settings.rbegin(), settings.rend(), [&](const Setting& setting) { return setting.key == key; });
    return found == settings.rend() ? nullptr : &*found;
}

std::vector<CountedKey> countedKeys(
    const std::vector<Setting>& before, const std::vector<Setting>& after, const Repository& repository)
{
    const auto was = counted(before);
    const auto is = counted(after);
    const auto wasAround = WhereSettingsLead::surroundingsOf(repository, before);
    const auto isAround = WhereSettingsLead::surroundingsOf(repository, after);
    auto plain = [](const Setting& setting, const EverydaySettings::Surroundings& around) {
        return EverydaySettings::isEveryday(setting.key, setting.value, around);
    };
    // Each key that counted, and whether a setting of it came.
    std::map<std::string, bool> keys;
    // The keys a plain setting came to: what one of them held before is not judged where it leads now.
    std::set<std::string> replacedPlainly;
    // One that stays as it was, plain or not, is the user's; one whose meaning changed is the command's.
    for (const auto& [setting, times] : is) {
        auto found = was.find(setting);
        const bool came = times > (found != was.end() ? found->second : 0);
        if (!plain(setting, isAround) && (came || plain(setting, wasAround)))
            keys[setting.key] = true;
        else if (came)
            replacedPlainly.insert(setting.key);
    }
    // A setting gone counts where it was not plain, unless a plain one took its key's place: a remote's
    // URL pointed at its repository renamed leaves the old path leading nowhere, yet runs nothing.
    for (const auto& [setting, times] : was) {
        auto found = is.find(setting);
        if (times > (found != is.end() ? found->second : 0) && !plain(setting, wasAround)
            && !replacedPlainly.contains(setting.key))
            keys.try_emplace(setting.key, false);
    }
    std::vector<CountedKey> listed;
    for (const auto& [key, came] : keys)
        listed.push_back({ key, came });
    return listed;
}

std::string reasonFor(const std::vector<CountedKey>& keys)
{
    std::string reason;
    std::size_t named = 0;
    for (const auto& [key, came] : keys) {
        if (named++ == kLoggedKeys)
            return reason + " and " + std::to_string(keys.size() - kLoggedKeys) + " more";
        reason += (reason.empty() ? "" : ", ") + loggedKey(key) + (came ? " was set (" : " was removed (")
            + std::string(whatItDoes(key)) + ")";
    }
    return reason;
}

std::optional<std::string> judged(
    const std::vector<Setting>& before, const std::vector<Setting>& after, const Repository& repository)
{
    auto keys = countedKeys(before, after, repository);
    if (keys.empty())
        return std::nullopt;
    return reasonFor(keys);
}

std::optional<std::string> judged(
    std::string_view before, std::string_view after, const Repository& repository)
{
    auto read = repository.settings ? repository.settings(after) : std::nullopt;
    auto readBefore = read ? repository.settings(before) : std::nullopt;
    if (!read || !readBefore)
        return std::string("Git cannot read the configuration");
    return judged(settingsOf(*readBefore), settingsOf(*read), repository);
}

}
