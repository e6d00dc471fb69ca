// Removes a spooled request body when the work on it ends, however it ends: a body that failed, or that
// never reached the upload store, must not stay behind in the incoming folder.
#pragma once

#include "VellumarMacCore/ConversationData/UploadStore.h"

#include <filesystem>
#include <optional>
#include <utility>

namespace vellumar {

class SpoolRemoval {
public:
    // None removes nothing; a file already moved or removed is no error.
    explicit SpoolRemoval(std::optional<std::filesystem::path> spoolFile)
        : m_spoolFile(std::move(spoolFile))
    {
    }
    ~SpoolRemoval()
    {
        if (m_spoolFile)
            UploadStore::discardSpool(*m_spoolFile);
    }
    SpoolRemoval(const SpoolRemoval&) = delete;
    SpoolRemoval& operator=(const SpoolRemoval&) = delete;

private:
    const std::optional<std::filesystem::path> m_spoolFile;
};

}
