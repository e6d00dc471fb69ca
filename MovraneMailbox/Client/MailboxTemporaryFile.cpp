#include "MovraneMailbox/Client/MailboxTemporaryFile.h"

#include "MovraneMailbox/Protocol/MailboxAttachment.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"

namespace movrane {

void MailboxTemporaryFile::replace(const std::filesystem::path& destination,
    const std::function<void(const std::filesystem::path& partial)>& write)
{
    constexpr auto failed = MailboxAttachmentError::Kind::file;
    std::error_code error;
    if (destination.has_parent_path())
        std::filesystem::create_directories(destination.parent_path(), error);
    if (error)
        throw MailboxAttachmentError(failed);
    auto partial = destination;
    partial += ".mailbox-" + MailboxUUID::make();
    MailboxTemporaryFile placed(partial);
    write(partial);
    std::filesystem::rename(partial, destination, error);
    if (error)
        throw MailboxAttachmentError(failed);
    placed.release();
}

}
