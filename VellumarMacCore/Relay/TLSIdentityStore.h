// The TLS identity the relay's listener presents: a P-256 key and a self-signed certificate kept as
// "key.pem" and "cert.pem" in a private folder, made and renewed with the openssl tool, and opened
// through a PKCS#12 bundle that only ever exists in memory.
#pragma once

#include "Platform/TLS.h"
#include "VellumarMacCore/Foundations/CommandRunner.h"
#include "VellumarMacCore/Relay/CertificatePins.h"

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace vellumar {

// The names a new certificate carries.
struct SubjectAltNames {
    std::vector<std::string> ipAddresses;
    std::vector<std::string> dnsNames;

    // What follows "subjectAltName=" for openssl: "IP:" entries for the texts made only of hex digits,
    // "." and ":", then "DNS:" entries for the names of 1 to 253 ASCII letters, digits, "-" and ".",
    // joined by ","; "DNS:localhost" when none is left. Nothing else reaches openssl's command line.
    std::string extensionValue() const;

    friend bool operator==(const SubjectAltNames&, const SubjectAltNames&) = default;
};

struct TLSIdentity {
    // What the listener hands its connections.
    platform::TLSServerContext identity;
    std::vector<std::uint8_t> certificateDER;
    CertificatePins pins;
};

// Every operation blocks the calling thread while openssl runs (at most 20 seconds a run) and takes no
// lock: one caller at a time per folder. Failures throw TLSIdentityError, the file system's
// std::filesystem::filesystem_error, or CommandLaunchError when openssl cannot be started.
namespace TLSIdentityStore {
    inline const std::filesystem::path defaultOpenSSL = "/usr/bin/openssl";
    inline constexpr int certificateLifetimeDays = 730;
    inline constexpr int renewalMarginSeconds = 30 * 24 * 60 * 60;
    inline constexpr double openSSLTimeLimitSeconds = 20;
    inline constexpr std::string_view keyFileName = "key.pem";
    inline constexpr std::string_view certificateFileName = "cert.pem";
    inline constexpr std::string_view certificateSubject = "/CN=Vellumar for Mac";
    inline constexpr std::string_view bundleFriendlyName = "Vellumar for Mac";
    inline constexpr std::string_view passwordVariable = "VELLUMAR_P12_PASSWORD";

    // Keeps a current certificate even when `names` changed since it was made; renews one that
    // expires within the margin with the same key, so the public-key pin stays; makes everything anew
    // when the key is missing. Leaves both files 0600 in a 0700 folder, and no temporary file.
    TLSIdentity loadOrCreate(const std::filesystem::path& folder, const SubjectAltNames& names,
        const std::filesystem::path& openssl, const CommandRunnerFunction& runner = runCommand);

    void generateKey(const std::filesystem::path& keyFile, const std::filesystem::path& openssl,
        const CommandRunnerFunction& runner);
    // Whether the certificate is still valid a renewal margin from now; false on any failure.
    bool certificateIsCurrent(const std::filesystem::path& certificateFile,
        const std::filesystem::path& openssl, const CommandRunnerFunction& runner);
    void generateCertificate(const std::filesystem::path& keyFile,
        const std::filesystem::path& certificateFile, const SubjectAltNames& names,
        const std::filesystem::path& openssl, const CommandRunnerFunction& runner);
    // The "-set_serial" argument made of random bytes (16 of them): "0x" and their lower-case
    // hexadecimal digits, a first digit from 8 to f turned into 1 so that the number is positive.
    std::string serialArgument(std::span<const std::uint8_t> randomBytes);

    TLSIdentity importIdentity(const std::filesystem::path& keyFile,
        const std::filesystem::path& certificateFile, const std::filesystem::path& openssl,
        const CommandRunnerFunction& runner);
}

}
