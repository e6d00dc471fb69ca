#include "Platform/TLS.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <climits>
#include <mutex>
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

    // Made in `library`; null: the process's default one.
    std::shared_ptr<SSL_CTX> serverContext(EVP_PKEY* key, X509* certificate, OSSL_LIB_CTX* library = nullptr)
    {
        std::shared_ptr<SSL_CTX> context(SSL_CTX_new_ex(library, nullptr, TLS_server_method()), SSL_CTX_free);
        if (!context || SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION) != 1
            || SSL_CTX_use_certificate(context.get(), certificate) != 1
            || SSL_CTX_use_PrivateKey(context.get(), key) != 1
            || SSL_CTX_check_private_key(context.get()) != 1)
            return nullptr;
        SSL_CTX_set_alpn_select_cb(context.get(), selectALPN, nullptr);
        return context;
    }

    // One TLS 1.3 handshake with `context` in memory, against a client of the process's default library. A
    // context's first handshake in a library of its own fetches and caches every algorithm it uses there;
    // done while the context is made, no peer waits for that.
    bool warmUp(SSL_CTX* context)
    {
        std::unique_ptr<SSL_CTX, Deleter<SSL_CTX_free>> clientContext(SSL_CTX_new(TLS_client_method()));
        if (!clientContext || SSL_CTX_set_min_proto_version(clientContext.get(), TLS1_3_VERSION) != 1
            || SSL_CTX_set_alpn_protos(clientContext.get(), kALPNProtocols, sizeof kALPNProtocols) != 0)
            return false;
        std::unique_ptr<SSL, Deleter<SSL_free>> server(SSL_new(context));
        std::unique_ptr<SSL, Deleter<SSL_free>> client(SSL_new(clientContext.get()));
        BIO* serverEnd = nullptr;
        BIO* clientEnd = nullptr;
        if (!server || !client || BIO_new_bio_pair(&serverEnd, 0, &clientEnd, 0) != 1)
            return false;
        SSL_set_bio(server.get(), serverEnd, serverEnd);
        SSL_set_bio(client.get(), clientEnd, clientEnd);
        SSL_set_accept_state(server.get());
        SSL_set_connect_state(client.get());
        // Each turn moves the handshake by at least one flight until it ends or fails; a TLS 1.3 one takes
        // two client flights and one from the server.
        bool clientDone = false;
        bool serverDone = false;
        for (int turn = 0; turn < 4 && !serverDone; ++turn) {
            clientDone = clientDone || SSL_do_handshake(client.get()) == 1;
            serverDone = SSL_do_handshake(server.get()) == 1;
        }
        return clientDone && serverDone;
    }

    // Every algorithm a handshake fetches takes a lock and a reference in the library it comes from.
    // Kept for the process's life: OpenSSL keeps per-thread state for each library, which freeing one
    // while threads that used it live on would leave dangling.
    OSSL_LIB_CTX* twinLibrary(std::size_t number)
    {
        static std::mutex mutex;
        // Never destroyed, so that threads still running at exit find their library.
        static auto& libraries = *new std::vector<OSSL_LIB_CTX*>;
        std::lock_guard lock(mutex);
        while (libraries.size() <= number) {
            OSSL_LIB_CTX* made = OSSL_LIB_CTX_new();
            if (!made)
                return nullptr;
            libraries.push_back(made);
        }
        return libraries[number];
    }

}

TLSServerContext::TLSServerContext(std::shared_ptr<SSL_CTX> context, std::vector<std::uint8_t> certificateDER)
    : m_context(std::move(context))
    , m_certificateDER(std::move(certificateDER))
{
}

std::optional<TLSServerContext> TLSServerContext::twin(std::size_t number) const
{
    ClearErrors clearErrors;

    OSSL_LIB_CTX* library = twinLibrary(number);
    if (!library || m_certificateDER.empty() || m_certificateDER.size() > static_cast<std::size_t>(LONG_MAX))
        return std::nullopt;
    X509* rawCertificate = X509_new_ex(library, nullptr);
    const unsigned char* cursor = m_certificateDER.data();
    if (rawCertificate)
        d2i_X509(&rawCertificate, &cursor, static_cast<long>(m_certificateDER.size()));
    CertificatePointer certificate(rawCertificate);
    EVP_PKEY* original = SSL_CTX_get0_privatekey(handle());
    unsigned char* keyDER = nullptr;
    int keyLength = i2d_PrivateKey(original, &keyDER);
    cursor = keyDER;
    KeyPointer key(keyLength > 0
            ? d2i_PrivateKey_ex(EVP_PKEY_get_base_id(original), nullptr, &cursor, keyLength, library, nullptr)
            : nullptr);
    OPENSSL_clear_free(keyDER, static_cast<std::size_t>(std::max(keyLength, 0)));
    if (!certificate || !key)
        return std::nullopt;
    auto context = serverContext(key.get(), certificate.get(), library);
    unsigned char ticketKeys[kTicketKeysLength];
    bool sharesTickets = context
        && SSL_CTX_get_tlsext_ticket_keys(handle(), ticketKeys, sizeof ticketKeys) == 1
        && SSL_CTX_set_tlsext_ticket_keys(context.get(), ticketKeys, sizeof ticketKeys) == 1;
    OPENSSL_cleanse(ticketKeys, sizeof ticketKeys);
    if (!sharesTickets || !warmUp(context.get()))
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
