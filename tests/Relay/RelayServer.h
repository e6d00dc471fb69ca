// A relay listener on a free port of 127.0.0.1 with a certificate made once per test run, for the
// tests of the listener and its connections.
#pragma once

#include "VellumarMacCore/Relay/RelayListener.h"
#include "VellumarMacCore/Relay/TLSIdentityStore.h"
#include "tests/support/TestSupport.h"

#include <memory>

namespace vellumar::test {

inline const TLSIdentity& testIdentity()
{
    static TemporaryFolder folder;
    static TLSIdentity identity = TLSIdentityStore::loadOrCreate(
        folder / "tls", SubjectAltNames { { "127.0.0.1" }, {} }, TLSIdentityStore::defaultOpenSSL);
    return identity;
}

inline HTTPResponse okResponse(std::string body = "{\"ok\":true}")
{
    return HTTPResponse(200, { { "Content-Type", "application/json; charset=utf-8" } }, std::move(body));
}

struct RelayServer {
    explicit RelayServer(RequestHandler handler, RelayListenerLimits limits = {},
        HTTPRequestParser::Policy policy = {}, RelayListener::Hooks hooks = {})
        : listener(std::make_unique<RelayListener>(
            testIdentity(), limits, std::move(policy), std::move(handler), std::move(hooks)))
        , port(listener->start(0))
    {
    }

    std::unique_ptr<RelayListener> listener;
    std::uint16_t port;
};

}
