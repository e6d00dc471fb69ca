#include "VellumarMacCore/Relay/TLSIdentityStore.h"

#include "VellumarMacCore/Foundations/TLSIdentityError.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TLSFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace vellumar;
using namespace vellumar::test;
namespace fs = std::filesystem;

namespace {

using Kind = TLSIdentityError::Kind;

struct RecordedRun {
    std::vector<std::string> arguments;
    std::optional<CommandEnvironment> environment;
};

// Runs the real openssl and keeps what each run was given; `alter` may change a run's result.
struct RecordingRunner {
    std::vector<RecordedRun> runs;
    std::function<void(const std::vector<std::string>&, CommandResult&)> alter = [](auto&, auto&) {};

    CommandRunnerFunction function()
    {
        return [this](const fs::path& tool, const std::vector<std::string>& arguments,
                   const CommandOptions& options) {
            runs.push_back({ arguments, options.environment });
            CommandResult result = runCommand(tool, arguments, options);
            alter(arguments, result);
            return result;
        };
    }
    std::vector<std::string> commands() const
    {
        std::vector<std::string> first;
        for (const auto& run : runs)
            first.push_back(run.arguments.front());
        return first;
    }
};

class TLSIdentityStoreTest : public ::testing::Test {
protected:
    TLSIdentity load(RecordingRunner& runner)
    {
        return TLSIdentityStore::loadOrCreate(
            tls, names, TLSIdentityStore::defaultOpenSSL, runner.function());
    }
    TLSIdentity load()
    {
        RecordingRunner runner;
        return load(runner);
    }

    TemporaryFolder root;
    fs::path tls = root / "data" / "tls";
    SubjectAltNames names { .ipAddresses = { "192.168.1.20", "fe80::1" }, .dnsNames = { "my-mac.local" } };
};

TEST_F(TLSIdentityStoreTest, AnEmptyFolderEndsWithAPrivateKeyAndCertificateCarryingTheMacsNames)
{
    RecordingRunner runner;
    TLSIdentity identity = load(runner);

    EXPECT_EQ(namesIn(tls), (std::set<std::string> { "cert.pem", "key.pem" }));
    EXPECT_EQ(modeOf(tls), 0700u);
    EXPECT_EQ(modeOf(tls / "key.pem"), 0600u);
    EXPECT_EQ(modeOf(tls / "cert.pem"), 0600u);
    EXPECT_EQ(runPeer({ "openssl", "x509", "-noout", "-subject", "-ext",
                          "subjectAltName,basicConstraints,keyUsage,extendedKeyUsage", "-in",
                          (tls / "cert.pem").string() })
                  .output,
        "subject=CN = Vellumar for Mac\n"
        "X509v3 Subject Alternative Name: \n"
        "    IP Address:192.168.1.20, IP Address:FE80:0:0:0:0:0:0:1, DNS:my-mac.local\n"
        "X509v3 Basic Constraints: critical\n"
        "    CA:FALSE\n"
        "X509v3 Key Usage: critical\n"
        "    Digital Signature\n"
        "X509v3 Extended Key Usage: \n"
        "    TLS Web Server Authentication\n");
    std::string key
        = runPeer({ "openssl", "pkey", "-noout", "-text", "-in", (tls / "key.pem").string() }).output;
    EXPECT_NE(key.find("ASN1 OID: prime256v1"), std::string::npos) << key;

    std::string der = certificateDER(tls / "cert.pem");
    EXPECT_EQ(identity.certificateDER, std::vector<std::uint8_t>(der.begin(), der.end()));
    EXPECT_EQ(identity.pins, CertificatePins::fromCertificate(identity.certificateDER));

    ASSERT_EQ(runner.commands(), (std::vector<std::string> { "ecparam", "req", "pkcs12" }));
    const std::string& serial = runner.runs[1].arguments.at(13);
    EXPECT_EQ(serial.size(), 34u);
    EXPECT_EQ(serial.substr(0, 2), "0x");
    EXPECT_TRUE(serial[2] >= '0' && serial[2] <= '7') << serial;
    EXPECT_EQ(
        runPeer({ "openssl", "x509", "-noout", "-serial", "-in", (tls / "cert.pem").string() }).output,
        "serial=" + [&] {
            std::string upper = serial.substr(2);
            for (char& c : upper)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            return upper.substr(upper.find_first_not_of('0'));
        }() + "\n");
}

TEST_F(TLSIdentityStoreTest, ThePasswordTravelsOnlyInTheEnvironmentOfTheExport)
{
    RecordingRunner runner;
    load(runner);
    ASSERT_EQ(runner.runs.size(), 3u);
    const RecordedRun& exportRun = runner.runs[2];
    ASSERT_TRUE(exportRun.environment);
    std::string password = exportRun.environment->at("VELLUMAR_P12_PASSWORD");
    EXPECT_EQ(password.size(), 32u);
    EXPECT_EQ(password.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
        std::string::npos);
    EXPECT_EQ(exportRun.environment->at("PATH"), std::getenv("PATH"));
    EXPECT_EQ(exportRun.arguments,
        (std::vector<std::string> { "pkcs12", "-export", "-inkey", (tls / "key.pem").string(), "-in",
            (tls / "cert.pem").string(), "-name", "Vellumar for Mac", "-passout",
            "env:VELLUMAR_P12_PASSWORD" }));
    for (const auto& run : runner.runs) {
        for (const auto& argument : run.arguments)
            EXPECT_EQ(argument.find(password), std::string::npos) << argument;
    }
    EXPECT_FALSE(runner.runs[0].environment);
    EXPECT_FALSE(runner.runs[1].environment);
}

TEST_F(TLSIdentityStoreTest, ALostCertificateKeepsThePinAndALostKeyChangesIt)
{
    TLSIdentity first = load();
    std::string key = readFile(tls / "key.pem");

    fs::remove(tls / "cert.pem");
    TLSIdentity renewed = load();
    EXPECT_EQ(readFile(tls / "key.pem"), key);
    EXPECT_EQ(renewed.pins.publicKeyBase64, first.pins.publicKeyBase64);
    EXPECT_NE(renewed.pins.certificateHex, first.pins.certificateHex);

    fs::remove(tls / "key.pem");
    RecordingRunner runner;
    TLSIdentity fresh = load(runner);
    EXPECT_NE(fresh.pins.publicKeyBase64, first.pins.publicKeyBase64);
    // The old certificate went with its key, so no expiry check was made of it.
    EXPECT_EQ(runner.commands(), (std::vector<std::string> { "ecparam", "req", "pkcs12" }));
}

TEST_F(TLSIdentityStoreTest, RenewsACertificateWithinThirtyDaysOfExpiryWithTheSameKey)
{
    TLSIdentity first = load();
    struct Case {
        int daysLeft;
        bool renewed;
    } cases[] = { { 29, true }, { 31, false } };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.daysLeft);
        certifyKey(tls / "key.pem", tls / "cert.pem", c.daysLeft);
        std::string before = readFile(tls / "cert.pem");
        RecordingRunner runner;
        TLSIdentity identity = load(runner);
        EXPECT_EQ(readFile(tls / "cert.pem") != before, c.renewed);
        EXPECT_EQ(identity.pins.publicKeyBase64, first.pins.publicKeyBase64);
        EXPECT_EQ(runner.commands().size(), c.renewed ? 3u : 2u);
        EXPECT_EQ(runner.runs.front().arguments,
            (std::vector<std::string> {
                "x509", "-noout", "-checkend", "2592000", "-in", (tls / "cert.pem").string() }));
    }
}

TEST_F(TLSIdentityStoreTest, LoosenedModesAreNarrowedAgain)
{
    load();
    fs::permissions(tls, fs::perms(0755));
    fs::permissions(tls / "key.pem", fs::perms(0644));
    fs::permissions(tls / "cert.pem", fs::perms(0644));
    load();
    EXPECT_EQ(modeOf(tls), 0700u);
    EXPECT_EQ(modeOf(tls / "key.pem"), 0600u);
    EXPECT_EQ(modeOf(tls / "cert.pem"), 0600u);
}

TEST_F(TLSIdentityStoreTest, RefusesAMissingToolAndFoldersThatAreNotPrivateDirectories)
{
    writeBytes(root / "not-executable", "#!/bin/sh\n");
    for (const fs::path& tool : { root / "missing", root / "not-executable", root.path() }) {
        SCOPED_TRACE(tool);
        auto error
            = thrown<TLSIdentityError>([&] { TLSIdentityStore::loadOrCreate(tls, names, tool, runCommand); });
        EXPECT_EQ(error, TLSIdentityError(Kind::opensslMissing));
        EXPECT_FALSE(fs::exists(root / "data"));
    }

    fs::create_directories(root / "elsewhere");
    fs::create_directory_symlink(root / "elsewhere", root / "linked");
    auto linked = thrown<TLSIdentityError>([&] {
        TLSIdentityStore::loadOrCreate(root / "linked", names, TLSIdentityStore::defaultOpenSSL, runCommand);
    });
    EXPECT_EQ(linked, TLSIdentityError(Kind::insecureFolder));
    EXPECT_TRUE(namesIn(root / "elsewhere").empty());

    writeBytes(root / "file", "");
    EXPECT_TRUE(thrown<fs::filesystem_error>([&] {
        TLSIdentityStore::loadOrCreate(root / "file", names, TLSIdentityStore::defaultOpenSSL, runCommand);
    }));
}

TEST_F(TLSIdentityStoreTest, FakeFailuresOfOpenSSLLeaveNoTemporaryFileAndKeepAMadeKey)
{
    struct Case {
        const char* failing;
        bool timedOut;
        std::set<std::string> left;
        TLSIdentityError error;
        std::size_t runs;
    } cases[] = {
        { "ecparam", false, {}, TLSIdentityError(Kind::generationFailed), 1 },
        { "req", true, { "key.pem" }, TLSIdentityError(Kind::generationFailed), 2 },
        // Three exports, each refused by the import.
        { "pkcs12", false, { "cert.pem", "key.pem" }, TLSIdentityError(Kind::importFailed, -26275), 5 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing);
        fs::remove_all(tls);
        RecordingRunner runner;
        runner.alter = [&](const std::vector<std::string>& arguments, CommandResult& result) {
            if (arguments.front() != c.failing)
                return;
            if (c.failing == std::string("pkcs12"))
                result.output = "not a bundle";
            else if (c.timedOut)
                result.timedOut = true;
            else
                result.status = 1;
        };
        EXPECT_EQ(thrown<TLSIdentityError>([&] { load(runner); }), c.error);
        EXPECT_EQ(namesIn(tls), c.left);
        EXPECT_EQ(runner.runs.size(), c.runs);
    }
}

TEST(SubjectAltNames, KeepOnlyAddressLiteralsAndPlainHostNames)
{
    struct Case {
        const char* name;
        SubjectAltNames names;
        std::string expected;
    } cases[] = {
        { "addresses then names", { { "192.168.1.20", "fe80::1" }, { "my-mac.local" } },
            "IP:192.168.1.20,IP:fe80::1,DNS:my-mac.local" },
        { "zone index and empty", { { "fe80::1%en0", "", "10.0.0.2" }, {} }, "IP:10.0.0.2" },
        { "names that cannot be written",
            { {},
                { "my_mac.local",
                    "m\xC3\xA4"
                    "c.local",
                    "", "a,DNS:evil", "ok" } },
            "DNS:ok" },
        { "253 characters and 254", { {}, { repeated("a", 253), repeated("b", 254) } },
            "DNS:" + repeated("a", 253) },
        { "nothing left", {}, "DNS:localhost" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.names.extensionValue(), c.expected);
    }
}

}
