// A TLS server context for the relay's listener, built from a password-protected PKCS#12 bundle held
// in memory: TLS 1.2 or later, ALPN "http/1.1". Statuses keep the Security framework's numbers that
// an import answers on a Mac.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

namespace vellumar::platform {

namespace PKCS12Status {
    inline constexpr std::int32_t success = 0; // errSecSuccess
    // errSecAuthFailed: the password does not open the bundle.
    inline constexpr std::int32_t authFailed = -25293;
    // errSecDecode: not a bundle, or its key and certificate do not fit together.
    inline constexpr std::int32_t decode = -26275;
}

struct TLSServerImport;

// Copies share one SSL_CTX, which OpenSSL lets any number of threads use for new connections.
class TLSServerContext {
public:
    static TLSServerImport importPKCS12(std::span<const std::uint8_t> bundle, std::string_view password);

    // Owned by this object and its copies; wrap it (asio::ssl::context) without freeing it.
    SSL_CTX* handle() const noexcept { return m_context.get(); }
    // The certificate as DER; empty when OpenSSL could not encode it.
    const std::vector<std::uint8_t>& certificateDER() const noexcept { return m_certificateDER; }
    // A context of its own, with copies of the certificate and key, the same settings and the same
    // session-ticket keys: a session from either resumes on the other. A thread that accepts with it
    // writes to nothing the handshakes of this context's threads touch. It lives in OpenSSL library
    // context `number`, which twins of that number share and this context does not: give each thread a
    // number of its own. Made ready for its first peer with a handshake in memory. Absent when memory
    // runs out or that handshake fails.
    std::optional<TLSServerContext> twin(std::size_t number) const;

private:
    TLSServerContext(std::shared_ptr<SSL_CTX> context, std::vector<std::uint8_t> certificateDER);

    std::shared_ptr<SSL_CTX> m_context;
    std::vector<std::uint8_t> m_certificateDER;
};

struct TLSServerImport {
    std::int32_t status = PKCS12Status::success;
    // Absent when `status` is not success, and when the bundle opened but held no key and certificate.
    std::optional<TLSServerContext> context;
};

}
