// A relay listener on a free port of 127.0.0.1 with a certificate made once per test run, for the
// tests of the listener and its connections.
#pragma once

#include "VellumarMacCore/Relay/RelayListener.h"
#include "VellumarMacCore/Relay/TLSIdentityStore.h"
#include "tests/support/TestSupport.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>

namespace vellumar::test {

inline const std::filesystem::path& testIdentityFolder()
{
    static TemporaryFolder folder;
    static const std::filesystem::path tls = folder / "tls";
    return tls;
}

inline const TLSIdentity& testIdentity()
{
    static TLSIdentity identity = TLSIdentityStore::loadOrCreate(
        testIdentityFolder(), SubjectAltNames { { "127.0.0.1" }, {} }, TLSIdentityStore::defaultOpenSSL);
    return identity;
}

// The certificate `testIdentity` presents, for clients that verify the server.
inline std::filesystem::path testCertificateFile()
{
    testIdentity();
    return testIdentityFolder() / TLSIdentityStore::certificateFileName;
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

// A one-way signal between a handler or callback thread and the test.
class Gate {
public:
    void open()
    {
        {
            std::lock_guard lock(m_lock);
            ++m_opened;
        }
        m_changed.notify_all();
    }
    // Whether it was opened within `limit`; the limit guards against a hang, it measures nothing.
    bool waitOpen(std::chrono::seconds limit = std::chrono::seconds(30))
    {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, limit, [this] { return m_opened > 0; });
    }
    int timesOpened()
    {
        std::lock_guard lock(m_lock);
        return m_opened;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_opened = 0;
};

}
