#include "VellumarMacCore/GitProtection/Finding/KnownGitFolders.h"

#include "VellumarMacCore/Foundations/ParallelEach.h"
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
    // Looked up on a few threads: a run's start notes a thousand Git folders, one look-up each.
    std::vector<std::string> identities(gitFolders.size());
    parallelEach(gitFolders.size(),
        [&](std::size_t index) { identities[index] = IdentityRecord::identityOf(gitFolders[index]); });
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
