// A file the client made for one operation (an outgoing attachment, a downloaded asset, a download
// on its way to its destination), removed when the operation ends however it ends.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <system_error>

namespace movrane {

class MailboxTemporaryFile {
public:
    explicit MailboxTemporaryFile(std::optional<std::filesystem::path> file)
        : m_file(std::move(file))
    {
    }
    ~MailboxTemporaryFile()
    {
        std::error_code ignored;
        if (m_file)
            std::filesystem::remove(*m_file, ignored);
    }
    MailboxTemporaryFile(const MailboxTemporaryFile&) = delete;
    MailboxTemporaryFile& operator=(const MailboxTemporaryFile&) = delete;

    // The file now lives on under another name: nothing is removed.
    void release() { m_file.reset(); }

    // Has `write` fill a new file beside `destination` (its folders made first), then renames it
    // over: a reader never sees half a file, and the old one stays whole when anything fails. Throws
    // MailboxAttachmentError file when the folders or the rename fail, and what `write` throws.
    static void replace(const std::filesystem::path& destination,
        const std::function<void(const std::filesystem::path& partial)>& write);

private:
    std::optional<std::filesystem::path> m_file;
};

}
