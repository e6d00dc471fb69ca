// The one error of the envelope layer: byte readers, sealing and opening, the replay guard and the channel.
#pragma once

#include <exception>

namespace movrane {

class MailboxCryptoError : public std::exception {
public:
    enum class Kind {
        unsupportedVersion,
        unsupportedSuite,
        malformed,
        tooLarge,
        authenticationFailed,
        wrongRecipient,
        wrongSender,
        expired,
        notYetValid,
        replayed,
        invalidContent,
    };

    MailboxCryptoError(Kind kind, int value = 0) noexcept;
    static MailboxCryptoError unsupportedVersion(int version) { return { Kind::unsupportedVersion, version }; }
    static MailboxCryptoError unsupportedSuite(int suite) { return { Kind::unsupportedSuite, suite }; }

    Kind kind() const noexcept { return m_kind; }
    // The version or suite byte of unsupportedVersion and unsupportedSuite; 0 otherwise.
    int value() const noexcept { return m_value; }
    // The case name, with its payload for the two cases that carry one: "unsupportedVersion(2)".
    const char* what() const noexcept override;

    friend bool operator==(const MailboxCryptoError& lhs, const MailboxCryptoError& rhs) noexcept
    {
        return lhs.m_kind == rhs.m_kind && lhs.m_value == rhs.m_value;
    }

private:
    Kind m_kind;
    int m_value;
    char m_text[40] {};
};

}
