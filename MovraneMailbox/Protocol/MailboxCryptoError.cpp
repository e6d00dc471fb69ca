#include "MovraneMailbox/Protocol/MailboxCryptoError.h"

#include <cstdio>

namespace movrane {

namespace {

    const char* caseName(MailboxCryptoError::Kind kind)
    {
        using Kind = MailboxCryptoError::Kind;
        switch (kind) {
        case Kind::unsupportedVersion:
            return "unsupportedVersion";
        case Kind::unsupportedSuite:
            return "unsupportedSuite";
        case Kind::malformed:
            return "malformed";
        case Kind::tooLarge:
            return "tooLarge";
        case Kind::authenticationFailed:
            return "authenticationFailed";
        case Kind::wrongRecipient:
            return "wrongRecipient";
        case Kind::wrongSender:
            return "wrongSender";
        case Kind::expired:
            return "expired";
        case Kind::notYetValid:
            return "notYetValid";
        case Kind::replayed:
            return "replayed";
        case Kind::invalidContent:
            return "invalidContent";
        }
        return "unknown";
    }

}

MailboxCryptoError::MailboxCryptoError(Kind kind, int value) noexcept
    : m_kind(kind)
    , m_value(value)
{
    if (m_kind == Kind::unsupportedVersion || m_kind == Kind::unsupportedSuite)
        std::snprintf(m_text, sizeof m_text, "%s(%d)", caseName(m_kind), m_value);
    else
        std::snprintf(m_text, sizeof m_text, "%s", caseName(m_kind));
}

const char* MailboxCryptoError::what() const noexcept { return m_text; }

}
