#include "MovraneMailbox/Client/MailboxClientConfiguration.h"

#include <algorithm>
#include <system_error>

namespace movrane {

double MailboxClientConfiguration::pollInterval(std::size_t fetchIndex) const
{
    if (pollIntervals.empty())
        return 1;
    return pollIntervals[std::min(fetchIndex, pollIntervals.size() - 1)];
}

std::filesystem::path MailboxClientConfiguration::defaultTemporaryDirectory()
{
    std::error_code error;
    auto directory = std::filesystem::temp_directory_path(error);
    return error ? std::filesystem::path("/tmp") : directory;
}

}
