#include "VellumarMacCore/ConversationData/RelayData.h"

#include "VellumarMacCore/Foundations/FolderTree.h"

#include <chrono>
#include <string_view>

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
    FolderTree(incomingFolder()).walk([](const FolderTree::Entry& entry) {
        if (isSpoolName(entry.name))
            FolderTree::remove(entry.folderFD, entry.name);
        return FolderTree::Step::skip;
    });
}

}
