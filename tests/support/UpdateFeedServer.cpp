#include "tests/support/UpdateFeedServer.h"

#include "Platform/Crypto.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

namespace vellumar::test {

namespace {

    void writeWhole(const std::filesystem::path& file, const std::string& contents)
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << contents;
        ASSERT_TRUE(out.good()) << file;
    }

    std::vector<std::uint8_t> bytesOf(const std::string& text) { return { text.begin(), text.end() }; }

}

UpdateSigningKey::UpdateSigningKey()
{
    auto made
        = runPeer({ "openssl", "genpkey", "-algorithm", "ed25519", "-out", (m_folder / "key.pem").string() });
    EXPECT_EQ(made.exitStatus, 0);
}

std::array<std::uint8_t, 32> UpdateSigningKey::publicKey() const
{
    // The DER SubjectPublicKeyInfo of an Ed25519 key is a fixed 12-byte prefix and the raw key.
    auto der = runPeer(
        { "openssl", "pkey", "-in", (m_folder / "key.pem").string(), "-pubout", "-outform", "DER" });
    std::array<std::uint8_t, 32> key {};
    EXPECT_EQ(der.output.size(), 44u);
    if (der.output.size() == 44)
        std::copy(der.output.begin() + 12, der.output.end(), key.begin());
    return key;
}

std::string UpdateSigningKey::publicKeyBase64() const { return platform::base64Encode(publicKey()); }

std::vector<std::uint8_t> UpdateSigningKey::sign(const std::filesystem::path& file) const
{
    auto signature = runPeer({ "openssl", "pkeyutl", "-sign", "-rawin", "-inkey",
        (m_folder / "key.pem").string(), "-in", file.string() });
    EXPECT_EQ(signature.exitStatus, 0);
    EXPECT_EQ(signature.output.size(), 64u);
    return bytesOf(signature.output);
}

UpdateFeedServer::UpdateFeedServer()
    : m_server(std::make_unique<InteractivePeer>(std::vector<std::string> { "python3", "-u", "-m",
        "http.server", "--bind", "127.0.0.1", "--directory", m_folder.path().string(), "0" }))
{
    auto line = m_server->readLine();
    std::smatch port;
    if (!line || !std::regex_search(*line, port, std::regex(R"(port (\d+))"))) {
        ADD_FAILURE() << "python3 http.server gave no port: " << line.value_or("(nothing)");
        return;
    }
    m_base = "http://127.0.0.1:" + port[1].str() + "/";
}

std::string UpdateFeedServer::url(const std::string& name) const { return m_base + name; }

std::string UpdateFeedServer::publish(const std::string& version, const std::string& packageName,
    const std::string& package, const UpdateSigningKey& key)
{
    auto file = m_folder / packageName;
    writeWhole(file, package);
    std::string feed = R"({"version": ")" + version + R"(", "url": ")" + url(packageName) + R"(", "size": )"
        + std::to_string(package.size()) + R"(, "signature": ")" + platform::base64Encode(key.sign(file))
        + "\"}";
    put("feed.json", feed);
    return feed;
}

void UpdateFeedServer::put(const std::string& name, const std::string& contents)
{
    writeWhole(m_folder / name, contents);
}

}
