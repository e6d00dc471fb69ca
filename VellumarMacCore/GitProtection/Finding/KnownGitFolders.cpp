#include "VellumarMacCore/GitProtection/Finding/KnownGitFolders.h"

#include "VellumarMacCore/GitProtection/Finding/IdentityRecord.h"

#include <string>
#include <utility>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;

    IdentityRecord& recordIn(const fs::path& dataFolder)
    {
        return IdentityRecord::in(dataFolder / KnownGitFolders::recordName, KnownGitFolders::limit);
    }

}

timespec KnownGitFolders::note(const fs::path& dataFolder, const std::vector<fs::path>& gitFolders)
{
    std::vector<std::string> identities;
    identities.reserve(gitFolders.size());
    for (const auto& gitFolder : gitFolders)
        identities.push_back(IdentityRecord::identityOf(gitFolder));
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    recordIn(dataFolder).note(identities, now);
    return now;
}

KnownGitFolders::KnownGitFolders(fs::path dataFolder, const timespec& knownFrom)
    : m_dataFolder(std::move(dataFolder))
    , m_knownFrom(knownFrom)
{
}

bool KnownGitFolders::contains(const fs::path& gitFolder) const
{
    return containsIdentity(IdentityRecord::identityOf(gitFolder));
}

bool KnownGitFolders::containsIdentity(const std::string& identity) const
{
    auto noted = identity.empty() ? std::nullopt : recordIn(m_dataFolder).notedAt(identity);
    return noted
        && std::pair(noted->tv_sec, noted->tv_nsec) <= std::pair(m_knownFrom.tv_sec, m_knownFrom.tv_nsec);
}

}
