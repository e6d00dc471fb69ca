#include "VellumarMacCore/Relay/TLSIdentityStore.h"

#include "VellumarMacCore/Foundations/TLSIdentityError.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TLSFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <array>

using namespace vellumar;
using namespace vellumar::test;
namespace fs = std::filesystem;

namespace {

using Kind = TLSIdentityError::Kind;
using Strings = std::vector<std::string>;

// Runs the real openssl and keeps what each run was given; `alter` may change a run's result.
struct RecordingRunner {
    std::vector<std::pair<Strings, std::optional<CommandEnvironment>>> runs;
    std::function<void(const Strings&, CommandResult&)> alter = [](auto&, auto&) {};

    CommandRunnerFunction function()
    {
        return [this](const fs::path& tool, const Strings& arguments, const CommandOptions& options) {
            runs.emplace_back(arguments, options.environment);
            CommandResult result = runCommand(tool, arguments, options);
            alter(arguments, result);
            return result;
        };
    }
    Strings commands() const
    {
        Strings first;
        for (const auto& run : runs)
            first.push_back(run.first.front());
        return first;
    }
};

class TLSIdentityStoreTest : public ::testing::Test {
protected:
    TLSIdentity load(RecordingRunner&& runner = {}) { return load(runner); }
    TLSIdentity load(RecordingRunner& runner)
    {
        return TLSIdentityStore::loadOrCreate(
            tls, names, TLSIdentityStore::defaultOpenSSL, runner.function());
    }
    std::string openssl(Strings arguments, const char* file)
    {
        arguments.insert(arguments.begin(), "openssl");
        arguments.insert(arguments.end(), { "-in", (tls / file).string() });
        return runPeer(arguments).output;
    }
    void expectPrivate()
    {
        EXPECT_EQ(modeOf(tls), 0700u);
        EXPECT_EQ(modeOf(tls / "key.pem"), 0600u);
        EXPECT_EQ(modeOf(tls / "cert.pem"), 0600u);
    }

    TemporaryFolder root;
    fs::path tls = root / "data" / "tls";
    SubjectAltNames names { .ipAddresses = { "192.168.1.20", "fe80::1" }, .dnsNames = { "my-mac.local" } };
};

TEST_F(TLSIdentityStoreTest, AnEmptyFolderEndsWithAPrivateIdentityAndThePasswordOnlyInTheExportsEnvironment)
{
    RecordingRunner runner;
    TLSIdentity identity = load(runner);

    EXPECT_EQ(namesIn(tls), (std::set<std::string> { "cert.pem", "key.pem" }));
    expectPrivate();
    EXPECT_EQ(openssl({ "x509", "-noout", "-subject", "-ext",
                          "subjectAltName,basicConstraints,keyUsage,extendedKeyUsage" },
                  "cert.pem"),
        "subject=CN = Vellumar for Mac\n"
        "X509v3 Subject Alternative Name: \n"
        "    IP Address:192.168.1.20, IP Address:FE80:0:0:0:0:0:0:1, DNS:my-mac.local\n"
        "X509v3 Basic Constraints: critical\n    CA:FALSE\n"
        "X509v3 Key Usage: critical\n    Digital Signature\n"
        "X509v3 Extended Key Usage: \n    TLS Web Server Authentication\n");
    EXPECT_NE(
        openssl({ "pkey", "-noout", "-text" }, "key.pem").find("ASN1 OID: prime256v1"), std::string::npos);
    std::string der = certificateDER(tls / "cert.pem");
    EXPECT_EQ(identity.certificateDER, std::vector<std::uint8_t>(der.begin(), der.end()));
    EXPECT_EQ(identity.pins, CertificatePins::fromCertificate(identity.certificateDER));

    ASSERT_EQ(runner.commands(), (Strings { "ecparam", "req", "pkcs12" }));
    const std::string& serial = runner.runs[1].first.at(13);
    EXPECT_TRUE(serial.size() == 34 && serial.starts_with("0x") && serial[2] >= '0' && serial[2] <= '7')
        << serial;

    const auto& [exportArguments, environment] = runner.runs[2];
    ASSERT_TRUE(environment);
    std::string password = environment->at("VELLUMAR_P12_PASSWORD");
    EXPECT_EQ(password.size(), 32u);
    EXPECT_EQ(environment->at("PATH"), std::getenv("PATH"));
    EXPECT_EQ(exportArguments,
        (Strings { "pkcs12", "-export", "-inkey", (tls / "key.pem").string(), "-in",
            (tls / "cert.pem").string(), "-name", "Vellumar for Mac", "-passout",
            "env:VELLUMAR_P12_PASSWORD" }));
    for (const auto& [arguments, runEnvironment] : runner.runs) {
        for (const auto& argument : arguments)
            EXPECT_EQ(argument.find(password), std::string::npos) << argument;
    }
    EXPECT_FALSE(runner.runs[0].second || runner.runs[1].second);
}

TEST_F(TLSIdentityStoreTest, ALostCertificateKeepsThePinALostKeyChangesItAndLooseModesAreNarrowed)
{
    TLSIdentity first = load();
    std::string key = readFile(tls / "key.pem");
    fs::remove(tls / "cert.pem");
    fs::permissions(tls, fs::perms(0755));
    fs::permissions(tls / "key.pem", fs::perms(0644));

    TLSIdentity renewed = load();
    EXPECT_EQ(readFile(tls / "key.pem"), key);
    EXPECT_EQ(renewed.pins.publicKeyBase64, first.pins.publicKeyBase64);
    EXPECT_NE(renewed.pins.certificateHex, first.pins.certificateHex);
    expectPrivate();

    fs::remove(tls / "key.pem");
    RecordingRunner runner;
    EXPECT_NE(load(runner).pins.publicKeyBase64, first.pins.publicKeyBase64);
    // The old certificate went with its key, so no expiry check was made of it.
    EXPECT_EQ(runner.commands(), (Strings { "ecparam", "req", "pkcs12" }));
}

TEST_F(TLSIdentityStoreTest, RenewsACertificateWithinThirtyDaysOfExpiryWithTheSameKey)
{
    TLSIdentity first = load();
    for (int daysLeft : { 29, 31 }) {
        SCOPED_TRACE(daysLeft);
        certifyKey(tls / "key.pem", tls / "cert.pem", daysLeft);
        std::string before = readFile(tls / "cert.pem");
        RecordingRunner runner;
        EXPECT_EQ(load(runner).pins.publicKeyBase64, first.pins.publicKeyBase64);
        EXPECT_EQ(readFile(tls / "cert.pem") != before, daysLeft == 29);
        EXPECT_EQ(runner.runs.front().first,
            (Strings { "x509", "-noout", "-checkend", "2592000", "-in", (tls / "cert.pem").string() }));
    }
}

TEST_F(TLSIdentityStoreTest, RefusesAMissingToolAndFoldersThatAreNotPrivateDirectories)
{
    writeBytes(root / "not-executable", "#!/bin/sh\n");
    for (const fs::path& tool : { root / "missing", root / "not-executable" }) {
        SCOPED_TRACE(tool);
        auto error
            = thrown<TLSIdentityError>([&] { TLSIdentityStore::loadOrCreate(tls, names, tool, runCommand); });
        EXPECT_EQ(error, TLSIdentityError(Kind::opensslMissing));
        EXPECT_FALSE(fs::exists(root / "data"));
    }

    fs::create_directories(root / "elsewhere");
    fs::create_directory_symlink(root / "elsewhere", root / "linked");
    writeBytes(root / "file", "");
    auto loadInto = [&](const char* folder) {
        return [&, folder] {
            TLSIdentityStore::loadOrCreate(root / folder, names, "/usr/bin/openssl", runCommand);
        };
    };
    EXPECT_EQ(thrown<TLSIdentityError>(loadInto("linked")), TLSIdentityError(Kind::insecureFolder));
    EXPECT_TRUE(namesIn(root / "elsewhere").empty());
    EXPECT_TRUE(thrown<fs::filesystem_error>(loadInto("file")));
}

TEST_F(TLSIdentityStoreTest, FakeFailuresOfOpenSSLLeaveNoTemporaryFileAndKeepAMadeKey)
{
    struct Case {
        const char* failing;
        void (*fail)(CommandResult&);
        std::set<std::string> left;
        TLSIdentityError error;
        std::size_t runs;
    } cases[] = {
        { "ecparam", [](CommandResult& result) { result.status = 1; }, {},
            TLSIdentityError(Kind::generationFailed), 1 },
        { "req", [](CommandResult& result) { result.timedOut = true; }, { "key.pem" },
            TLSIdentityError(Kind::generationFailed), 2 },
        // Three exports, each refused by the import.
        { "pkcs12", [](CommandResult& result) { result.output = "not a bundle"; }, { "cert.pem", "key.pem" },
            TLSIdentityError(Kind::importFailed, -26275), 5 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing);
        fs::remove_all(tls);
        RecordingRunner runner;
        runner.alter = [&](const Strings& arguments, CommandResult& result) {
            if (arguments.front() == c.failing)
                c.fail(result);
        };
        EXPECT_EQ(thrown<TLSIdentityError>([&] { load(runner); }), c.error);
        EXPECT_EQ(namesIn(tls), c.left);
        EXPECT_EQ(runner.runs.size(), c.runs);
    }
}

TEST(TLSIdentityStore, SerialsArePositive)
{
    struct Case {
        std::uint8_t first;
        const char* start;
    } cases[] = { { 0x00, "0x00" }, { 0x7f, "0x7f" }, { 0x80, "0x10" }, { 0xff, "0x1f" } };
    for (const auto& c : cases) {
        std::array<std::uint8_t, 16> bytes {};
        bytes.fill(0xab);
        bytes[0] = c.first;
        EXPECT_EQ(TLSIdentityStore::serialArgument(bytes), c.start + repeated("ab", 15));
    }
}

TEST(SubjectAltNames, KeepOnlyAddressLiteralsAndPlainHostNames)
{
    struct Case {
        SubjectAltNames names;
        std::string expected;
    } cases[] = {
        { { { "192.168.1.20", "fe80::1" }, { "my-mac.local" } },
            "IP:192.168.1.20,IP:fe80::1,DNS:my-mac.local" },
        { { { "fe80::1%en0", "", "10.0.0.2" }, {} }, "IP:10.0.0.2" },
        { { {},
              { "my_mac.local",
                  "m\xC3\xA4"
                  "c.local",
                  "", "a,DNS:evil", repeated("b", 254), "ok" } },
            "DNS:ok" },
        { { {}, { repeated("a", 253) } }, "DNS:" + repeated("a", 253) },
        { {}, "DNS:localhost" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(c.names.extensionValue(), c.expected);
    }
}

}
