#include "VellumarMacCore/ConversationData/PathText.h"

#include "VellumarMacCore/Foundations/Graphemes.h"

#include <string>

namespace vellumar::detail {

icu::UnicodeString unicodeString(std::string_view utf8)
{
    return icu::UnicodeString::fromUTF8(
        icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
}

std::string_view lastPathPiece(std::string_view path)
{
    while (!path.empty() && path.back() == '/')
        path.remove_suffix(1);
    return path.substr(path.rfind('/') + 1);
}

}
