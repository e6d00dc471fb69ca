// An update feed as its publisher makes one: an Ed25519 key made by openssl, packages signed with
// `openssl pkeyutl -sign -rawin`, and python3's http.server handing them out on 127.0.0.1.
#pragma once

#include "tests/support/InteractivePeer.h"
#include "tests/support/TestSupport.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace vellumar::test {

// A private key in PEM made by `openssl genpkey -algorithm ed25519` in a folder of its own.
class UpdateSigningKey {
public:
    UpdateSigningKey();
    std::array<std::uint8_t, 32> publicKey() const; // the raw key, as the bundle carries it in Base64
    std::string publicKeyBase64() const;
    std::vector<std::uint8_t> sign(const std::filesystem::path& file) const;

private:
    TemporaryFolder m_folder;
};

class UpdateFeedServer {
public:
    // Starts the server; fails the test when python3 does not say its port.
    UpdateFeedServer();
    std::string url(const std::string& name) const;
    std::string feedURL() const { return url("feed.json"); }

    // Writes `package` under `packageName` and a feed.json announcing `version` with the package's
    // size and `key`'s signature of it. Returns the feed's text.
    std::string publish(const std::string& version, const std::string& packageName,
        const std::string& package, const UpdateSigningKey& key);
    // Writes a file as it is, for feeds that a publisher would not make.
    void put(const std::string& name, const std::string& contents);

private:
    TemporaryFolder m_folder;
    std::unique_ptr<InteractivePeer> m_server;
    std::string m_base;
};

}
