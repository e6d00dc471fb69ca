#include "VellumarMacCore/ConversationData/RelayData.h"

#include <chrono>
#include <dirent.h>
#include <memory>
#include <string_view>
#include <system_error>
#include <vector>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;

    constexpr std::string_view kSpoolPrefixes[] = { ".incoming-", "mailbox-" };

    std::chrono::system_clock::time_point currentDate() { return std::chrono::system_clock::now(); }

    bool isSpoolName(std::string_view name)
    {
        for (auto prefix : kSpoolPrefixes) {
            if (name.starts_with(prefix))
                return true;
        }
        return false;
    }

    // Every name in the folder but "." and "..", hidden ones included; none when it cannot be read.
    std::vector<std::string> namesIn(const fs::path& folder)
    {
        std::vector<std::string> names;
        std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(folder.c_str()), ::closedir);
        if (!directory)
            return names;
        while (const dirent* entry = ::readdir(directory.get())) {
            std::string_view name = entry->d_name;
            if (name != "." && name != "..")
                names.emplace_back(name);
        }
        return names;
    }

}

const RelayData::Labels& RelayData::defaultLabels()
{
    static const Labels labels { { "bash", "Running commands" },
        { "write", "Writing to the allowed folders" } };
    return labels;
}

RelayData::RelayData(Options options)
    : folder(std::move(options.folder))
    , workspaces(folder / "workspaces", options.quota)
    , sessions(folder / "sessions.json", currentDate)
    , memory(folder / "memory.json", currentDate)
    , activity(folder / "activity")
    , approvals(options.labels ? std::move(*options.labels) : defaultLabels(), currentDate)
    , resolver(options.home, folder, probeTimeoutSeconds)
    , uploads(workspaces)
{
}

fs::path RelayData::incomingFolder() const { return folder / "incoming"; }

fs::path RelayData::routinesFile() const { return folder / "routines.json"; }

void RelayData::sweepIncoming() const
{
    fs::path incoming = incomingFolder();
    // Collected first: removing entries while the folder is being read may skip others.
    for (const auto& name : namesIn(incoming)) {
        if (!isSpoolName(name))
            continue;
        std::error_code ignored;
        fs::remove_all(incoming / name, ignored);
    }
}

}
