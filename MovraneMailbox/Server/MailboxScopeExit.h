// Cleanups that run on every way out of a scope, exceptions included, and the one the server runs
// most: removing a temporary file.
#pragma once

#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>

namespace movrane {

template <typename Cleanup> class MailboxScopeExit {
public:
    explicit MailboxScopeExit(Cleanup cleanup)
        : m_cleanup(std::move(cleanup))
    {
    }
    // The cleanup must not throw.
    ~MailboxScopeExit() { m_cleanup(); }
    MailboxScopeExit(const MailboxScopeExit&) = delete;
    MailboxScopeExit& operator=(const MailboxScopeExit&) = delete;

private:
    Cleanup m_cleanup;
};

// Removes the file when there is one; a removal that fails (the file moved away, say) is ignored.
inline void removeFileQuietly(const std::optional<std::filesystem::path>& file) noexcept
{
    std::error_code ignored;
    if (file)
        std::filesystem::remove(*file, ignored);
}

}
