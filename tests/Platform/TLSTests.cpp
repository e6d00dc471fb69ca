#include "Platform/TLS.h"

#include "tests/support/TLSFixtures.h"
#include "tests/support/TestSupport.h"

#include <arpa/inet.h>
#include <csignal>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

using namespace vellumar::platform;
using namespace vellumar::test;

namespace {

std::span<const std::uint8_t> bytesOf(const std::string& text)
{
    return { reinterpret_cast<const std::uint8_t*>(text.data()), text.size() };
}

// A python3 client: prints the negotiated version and protocol, or "refused".
constexpr const char* kClient = R"(
import socket, ssl, sys
port, version, protocols = int(sys.argv[1]), sys.argv[2], sys.argv[3]
context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
context.check_hostname = False
context.verify_mode = ssl.CERT_NONE
if version != "any":
    context.minimum_version = context.maximum_version = getattr(ssl.TLSVersion, version)
    context.set_ciphers("DEFAULT@SECLEVEL=0")
context.set_alpn_protocols(protocols.split(","))
try:
    with socket.create_connection(("127.0.0.1", port)) as raw, context.wrap_socket(raw) as tls:
        print(tls.version(), tls.selected_alpn_protocol())
except (ssl.SSLError, OSError):
    print("refused")
)";

// Runs `client` on a thread of its own against one connection to 127.0.0.1, and answers whether the
// server side of the handshake completed.
bool serverHandshake(SSL_CTX* context, const std::function<void(std::uint16_t port)>& client)
{
    // A refused client closes first; the alert written after it must fail, not end the test.
    ::signal(SIGPIPE, SIG_IGN);
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address { .sin_family = AF_INET, .sin_addr = { htonl(INADDR_LOOPBACK) } };
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener, 1) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("listen failed");
    std::thread peer(client, ntohs(address.sin_port));
    int connection = ::accept(listener, nullptr, nullptr);
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, connection);
    bool accepted = SSL_accept(ssl) == 1;
    if (accepted)
        SSL_shutdown(ssl);
    SSL_free(ssl);
    ::close(connection);
    ::close(listener);
    peer.join();
    return accepted;
}

class TLSServerContextTest : public ::testing::Test {
protected:
    TemporaryFolder folder;
    TestCertificate identity = makeCertificate(folder.path(), "server", 2);
};

TEST_F(TLSServerContextTest, RefusesBundlesThatDoNotOpenWithTheStatusOfTheFailure)
{
    std::string bundle = pkcs12Bundle(identity, "s3cret");
    PeerResult certificateOnly = runPeer({ "openssl", "pkcs12", "-export", "-nokeys", "-in",
        identity.certificate.string(), "-passout", "pass:s3cret" });
    struct Case {
        const char* name;
        std::string bundle;
        std::string password;
        std::int32_t status;
    } cases[] = {
        { "wrong password", bundle, "S3cret", PKCS12Status::authFailed },
        { "not a bundle", "not a bundle", "s3cret", PKCS12Status::decode },
        { "truncated", bundle.substr(0, bundle.size() / 2), "s3cret", PKCS12Status::decode },
        { "empty", "", "s3cret", PKCS12Status::decode },
        { "no key in it", certificateOnly.output, "s3cret", PKCS12Status::success },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto imported = TLSServerContext::importPKCS12(bytesOf(c.bundle), c.password);
        EXPECT_EQ(imported.status, c.status);
        EXPECT_FALSE(imported.context);
    }
}

TEST_F(TLSServerContextTest, RealClientsGetTLS12OrLaterWithHTTP11AndNothingOlder)
{
    auto imported = TLSServerContext::importPKCS12(bytesOf(pkcs12Bundle(identity, "pw")), "pw");
    ASSERT_TRUE(imported.context);
    // With the library's own floor lowered, only the context's minimum version keeps TLS 1.1 out.
    SSL_CTX_set_security_level(imported.context->handle(), 0);
    struct Case {
        const char* version;
        const char* protocols;
        const char* printed;
    } cases[] = {
        { "any", "http/1.1", "TLSv1.3 http/1.1\n" },
        { "TLSv1_2", "h2,http/1.1", "TLSv1.2 http/1.1\n" },
        { "TLSv1_1", "http/1.1", "refused\n" },
        // RFC 7301 §3.2: no protocol in common ends the handshake.
        { "any", "h2", "refused\n" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.version) + " " + c.protocols);
        PeerResult client;
        bool accepted = serverHandshake(imported.context->handle(), [&](std::uint16_t port) {
            client = runPeer({ "python3", "-c", kClient, std::to_string(port), c.version, c.protocols });
        });
        EXPECT_EQ(client.output, c.printed);
        EXPECT_EQ(accepted, std::string(c.printed) != "refused\n");
    }
}

// Twins live in OpenSSL libraries of their own and are made with a handshake in memory: each one, and the
// context they copy, is made and handshakes with a real client at either version.
TEST_F(TLSServerContextTest, TwinsInLibrariesOfTheirOwnAreMadeAndHandshakeWithRealClients)
{
    auto imported = TLSServerContext::importPKCS12(bytesOf(pkcs12Bundle(identity, "pw")), "pw");
    ASSERT_TRUE(imported.context);
    std::vector<std::pair<const char*, std::optional<TLSServerContext>>> contexts;
    contexts.emplace_back("imported", imported.context);
    contexts.emplace_back("twin 0", imported.context->twin(0));
    contexts.emplace_back("twin 1", imported.context->twin(1));
    for (const auto& [name, context] : contexts) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(context);
        for (const auto& [version, printed] : { std::pair { "TLSv1_2", "TLSv1.2 http/1.1\n" },
                 std::pair { "TLSv1_3", "TLSv1.3 http/1.1\n" } }) {
            PeerResult client;
            EXPECT_TRUE(serverHandshake(context->handle(), [&](std::uint16_t port) {
                client = runPeer({ "python3", "-c", kClient, std::to_string(port), version, "http/1.1" });
            }));
            EXPECT_EQ(client.output, printed);
        }
    }
}

}
