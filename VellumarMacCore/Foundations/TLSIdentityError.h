// The failures of the TLS identity code; `ensurePrivateDirectory` shares `insecureFolder`.
#pragma once

#include <cstdint>
#include <exception>

namespace vellumar {

class TLSIdentityError : public std::exception {
public:
    enum class Kind { importFailed, opensslMissing, generationFailed, unreadableCertificate, insecureFolder };

    explicit TLSIdentityError(Kind kind, std::int32_t status = 0) noexcept
        : m_kind(kind)
        , m_status(status)
    {
    }

    Kind kind() const noexcept { return m_kind; }
    // The platform status code carried by `importFailed`.
    std::int32_t status() const noexcept { return m_status; }
    const char* what() const noexcept override;

    friend bool operator==(const TLSIdentityError& lhs, const TLSIdentityError& rhs) noexcept
    {
        return lhs.m_kind == rhs.m_kind && lhs.m_status == rhs.m_status;
    }

private:
    Kind m_kind;
    std::int32_t m_status;
};

}
