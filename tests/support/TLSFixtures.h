// P-256 keys, self-signed certificates and PKCS#12 bundles made by the openssl tool, the way a Mac's
// TLS identity is made, for the suites that check what reads them.
#pragma once

#include <filesystem>
#include <string>

namespace vellumar::test {

struct TestCertificate {
    std::filesystem::path key;
    std::filesystem::path certificate;
};

// A new key and a self-signed certificate valid for `days` from now, as `<name>.key` and `<name>.pem`
// in `folder`; fails the test when openssl fails.
TestCertificate makeCertificate(const std::filesystem::path& folder, const std::string& name, int days);

// A self-signed certificate valid for `days` for an existing key, written to `certificate`.
void certifyKey(const std::filesystem::path& key, const std::filesystem::path& certificate, int days);

// The DER PKCS#12 bundle of the key and certificate, protected by `password`.
std::string pkcs12Bundle(const TestCertificate& identity, const std::string& password);

// The DER form of a PEM certificate.
std::string certificateDER(const std::filesystem::path& certificate);

}
