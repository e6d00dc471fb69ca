#include "Platform/TLS.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <climits>
#include <string>

namespace vellumar::platform {

namespace {

    // A ticket key's name, HMAC key and AES key, as OpenSSL hands them out and takes them.
    constexpr long kTicketKeysLength = 16 + 32 + 32;

    // RFC 7301 §3.1: a list of length-prefixed protocol names.
    constexpr unsigned char kALPNProtocols[] = { 8, 'h', 't', 't', 'p', '/', '1', '.', '1' };

    // OpenSSL keeps its reasons on a per-thread queue; what a call returns is all its caller gets.
    struct ClearErrors {
        ~ClearErrors() { ERR_clear_error(); }
    };

    template <auto Free> struct Deleter {
        template <typename T> void operator()(T* pointer) const noexcept { Free(pointer); }
    };
    using PKCS12Pointer = std::unique_ptr<PKCS12, Deleter<PKCS12_free>>;
    using KeyPointer = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
    using CertificatePointer = std::unique_ptr<X509, Deleter<X509_free>>;

    // RFC 7301 §3.2: a client that offers only protocols we do not speak gets no_application_protocol.
    int selectALPN(SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
        unsigned int inLength, void*)
    {
        unsigned char* selected = nullptr;
        if (SSL_select_next_proto(&selected, outLength, kALPNProtocols, sizeof kALPNProtocols, in, inLength)
            != OPENSSL_NPN_NEGOTIATED)
            return SSL_TLSEXT_ERR_ALERT_FATAL;
        *out = selected;
        return SSL_TLSEXT_ERR_OK;
    }

    std::vector<std::uint8_t> encoded(X509* certificate)
    {
        int length = i2d_X509(certificate, nullptr);
        if (length <= 0)
            return {};
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
        unsigned char* cursor = bytes.data();
        if (i2d_X509(certificate, &cursor) != length)
            return {};
        return bytes;
    }

    std::shared_ptr<SSL_CTX> serverContext(EVP_PKEY* key, X509* certificate)
    {
        std::shared_ptr<SSL_CTX> context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
        if (!context || SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION) != 1
            || SSL_CTX_use_certificate(context.get(), certificate) != 1
            || SSL_CTX_use_PrivateKey(context.get(), key) != 1
            || SSL_CTX_check_private_key(context.get()) != 1)
            return nullptr;
        SSL_CTX_set_alpn_select_cb(context.get(), selectALPN, nullptr);
        return context;
    }

}

TLSServerContext::TLSServerContext(std::shared_ptr<SSL_CTX> context, std::vector<std::uint8_t> certificateDER)
    : m_context(std::move(context))
    , m_certificateDER(std::move(certificateDER))
{
}

std::optional<TLSServerContext> TLSServerContext::twin() const
{
    ClearErrors clearErrors;

    CertificatePointer certificate(X509_dup(SSL_CTX_get0_certificate(handle())));
    KeyPointer key(EVP_PKEY_dup(SSL_CTX_get0_privatekey(handle())));
    if (!certificate || !key)
        return std::nullopt;
    auto context = serverContext(key.get(), certificate.get());
    unsigned char ticketKeys[kTicketKeysLength];
    bool sharesTickets = context
        && SSL_CTX_get_tlsext_ticket_keys(handle(), ticketKeys, sizeof ticketKeys) == 1
        && SSL_CTX_set_tlsext_ticket_keys(context.get(), ticketKeys, sizeof ticketKeys) == 1;
    OPENSSL_cleanse(ticketKeys, sizeof ticketKeys);
    if (!sharesTickets)
        return std::nullopt;
    return TLSServerContext(std::move(context), m_certificateDER);
}

TLSServerImport TLSServerContext::importPKCS12(
    std::span<const std::uint8_t> bundle, std::string_view password)
{
    ClearErrors clearErrors;

    if (bundle.size() > static_cast<std::size_t>(LONG_MAX)
        || password.size() > static_cast<std::size_t>(INT_MAX))
        return { .status = PKCS12Status::decode };
    const unsigned char* cursor = bundle.data();
    PKCS12Pointer p12(d2i_PKCS12(nullptr, &cursor, static_cast<long>(bundle.size())));
    if (!p12)
        return { .status = PKCS12Status::decode };
    std::string passwordText(password);
    if (PKCS12_mac_present(p12.get())
        && PKCS12_verify_mac(p12.get(), passwordText.c_str(), static_cast<int>(passwordText.size())) != 1)
        return { .status = PKCS12Status::authFailed };

    EVP_PKEY* rawKey = nullptr;
    X509* rawCertificate = nullptr;
    if (PKCS12_parse(p12.get(), passwordText.c_str(), &rawKey, &rawCertificate, nullptr) != 1)
        return { .status = PKCS12Status::decode };
    KeyPointer key(rawKey);
    CertificatePointer certificate(rawCertificate);
    if (!key || !certificate)
        return {};

    auto context = serverContext(key.get(), certificate.get());
    if (!context)
        return { .status = PKCS12Status::decode };
    return { .context = TLSServerContext(std::move(context), encoded(certificate.get())) };
}

}
