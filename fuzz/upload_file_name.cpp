// Reading arbitrary bytes as an "x-file-name" value must never crash, and a name it gives must be
// safe to store: one non-empty path component of valid UTF-8, without controls, never hidden.
#include "VellumarMacCore/ConversationData/UploadRules.h"
#include "VellumarMacCore/ConversationData/UploadStore.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string header(reinterpret_cast<const char*>(data), size);
    auto name = vellumar::UploadStore::fileNameFromHeader(header);
    if (!name)
        return 0;
    if (size > vellumar::UploadStore::maxFileNameHeaderBytes || name->empty() || name->front() == '.'
        || name->find('/') != std::string::npos || vellumar::containsControlCharacters(*name))
        std::abort();
    return 0;
}
