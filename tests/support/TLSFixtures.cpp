#include "tests/support/TLSFixtures.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace vellumar::test {

namespace {

    std::string openssl(const std::vector<std::string>& arguments)
    {
        std::vector<std::string> argv { "openssl" };
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        PeerResult result = runPeer(argv);
        EXPECT_EQ(result.exitStatus, 0) << "openssl " << arguments.front();
        return result.output;
    }

}

void certifyKey(const std::filesystem::path& key, const std::filesystem::path& certificate, int days)
{
    openssl({ "req", "-new", "-x509", "-sha256", "-key", key.string(), "-out", certificate.string(), "-days",
        std::to_string(days), "-subj", "/CN=test" });
}

TestCertificate makeCertificate(const std::filesystem::path& folder, const std::string& name, int days)
{
    TestCertificate made { .key = folder / (name + ".key"), .certificate = folder / (name + ".pem") };
    openssl({ "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", made.key.string() });
    certifyKey(made.key, made.certificate, days);
    return made;
}

std::string pkcs12Bundle(const TestCertificate& identity, const std::string& password)
{
    return openssl({ "pkcs12", "-export", "-inkey", identity.key.string(), "-in",
        identity.certificate.string(), "-passout", "pass:" + password });
}

std::string certificateDER(const std::filesystem::path& certificate)
{
    return openssl({ "x509", "-in", certificate.string(), "-outform", "der" });
}

}
