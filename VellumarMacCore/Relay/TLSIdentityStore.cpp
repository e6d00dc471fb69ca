#include "VellumarMacCore/Relay/TLSIdentityStore.h"

#include "VellumarMacCore/Foundations/PrivateFiles.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Foundations/Renames.h"
#include "VellumarMacCore/Foundations/TLSIdentityError.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;
    using Kind = TLSIdentityError::Kind;

    constexpr std::size_t kTemporaryRandomBytes = 6;
    constexpr std::size_t kSerialRandomBytes = 16;
    constexpr std::size_t kPasswordRandomBytes = 24;
    constexpr int kImportAttempts = 3;
    constexpr std::size_t kMaxDNSNameLength = 253;

    bool isHexDigit(char c)
    {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    }

    // An empty text would become a bare "IP:", which openssl refuses, failing the whole certificate.
    bool isAddressLiteral(const std::string& text)
    {
        return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
            return isHexDigit(c) || c == '.' || c == ':';
        });
    }

    bool isDNSName(const std::string& text)
    {
        return !text.empty() && text.size() <= kMaxDNSNameLength
            && std::all_of(text.begin(), text.end(), [](char c) {
                   return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
                       || c == '-' || c == '.';
               });
    }

    fs::path temporarySibling(const fs::path& file, std::string_view stem)
    {
        return file.parent_path()
            / (std::string(".") + std::string(stem) + "-" + RelayIDs::randomHex(kTemporaryRandomBytes)
                + ".pem");
    }

    // Removes the temporary file on every way out, whatever happened to it.
    struct TemporaryFile {
        fs::path path;
        ~TemporaryFile()
        {
            std::error_code ignored;
            fs::remove(path, ignored);
        }
    };

    CommandResult runOpenSSL(const CommandRunnerFunction& runner, const fs::path& openssl,
        const std::vector<std::string>& arguments,
        std::optional<CommandEnvironment> environment = std::nullopt)
    {
        return runner(openssl, arguments,
            { .environment = std::move(environment),
                .timeLimitSeconds = TLSIdentityStore::openSSLTimeLimitSeconds });
    }

    bool succeeded(const CommandResult& result) { return result.status == 0 && !result.timedOut; }

    bool isExecutableFile(const fs::path& file)
    {
        std::error_code error;
        return fs::is_regular_file(file, error) && ::access(file.c_str(), X_OK) == 0;
    }

    [[noreturn]] void throwFileError(const char* what, const fs::path& file, int error)
    {
        throw fs::filesystem_error(what, file, std::error_code(error, std::generic_category()));
    }

    // A key must never land on top of one another run made meanwhile.
    void moveWithoutReplacing(const fs::path& from, const fs::path& to)
    {
        if (const int error = Renames::withoutReplacing(AT_FDCWD, from.string(), AT_FDCWD, to.string());
            error != 0)
            throwFileError("rename", to, error);
    }

}

std::string SubjectAltNames::extensionValue() const
{
    std::string value;
    auto append = [&value](std::string_view kind, const std::string& entry) {
        if (!value.empty())
            value += ',';
        value.append(kind).append(entry);
    };
    for (const auto& address : ipAddresses) {
        if (isAddressLiteral(address))
            append("IP:", address);
    }
    for (const auto& name : dnsNames) {
        if (isDNSName(name))
            append("DNS:", name);
    }
    return value.empty() ? "DNS:localhost" : value;
}

namespace TLSIdentityStore {

    TLSIdentity loadOrCreate(const fs::path& folder, const SubjectAltNames& names, const fs::path& openssl,
        const CommandRunnerFunction& runner)
    {
        if (!isExecutableFile(openssl))
            throw TLSIdentityError(Kind::opensslMissing);
        ensurePrivateDirectory(folder);
        fs::path keyFile = folder / keyFileName;
        fs::path certificateFile = folder / certificateFileName;

        std::error_code error;
        if (!fs::exists(keyFile, error)) {
            // A certificate for a key that is gone can never be presented again.
            fs::remove(certificateFile, error);
            generateKey(keyFile, openssl, runner);
        }
        if (!fs::exists(certificateFile, error) || !certificateIsCurrent(certificateFile, openssl, runner))
            generateCertificate(keyFile, certificateFile, names, openssl, runner);
        makeFilePrivate(keyFile);
        makeFilePrivate(certificateFile);

        for (int attempt = 1;; ++attempt) {
            try {
                return importIdentity(keyFile, certificateFile, openssl, runner);
            } catch (...) {
                if (attempt == kImportAttempts)
                    throw;
            }
        }
    }

    void generateKey(const fs::path& keyFile, const fs::path& openssl, const CommandRunnerFunction& runner)
    {
        TemporaryFile temporary { temporarySibling(keyFile, "key") };
        // Created 0600 before openssl writes, so the key is never readable by others, not even briefly.
        int descriptor
            = ::open(temporary.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
        if (descriptor < 0)
            throw TLSIdentityError(Kind::generationFailed);
        ::close(descriptor);

        auto result = runOpenSSL(runner, openssl,
            { "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-param_enc", "named_curve", "-out",
                temporary.path.string() });
        if (!succeeded(result))
            throw TLSIdentityError(Kind::generationFailed);
        makeFilePrivate(temporary.path);
        moveWithoutReplacing(temporary.path, keyFile);
    }

    bool certificateIsCurrent(
        const fs::path& certificateFile, const fs::path& openssl, const CommandRunnerFunction& runner)
    {
        try {
            return succeeded(runOpenSSL(runner, openssl,
                { "x509", "-noout", "-checkend", std::to_string(renewalMarginSeconds), "-in",
                    certificateFile.string() }));
        } catch (const CommandLaunchError&) {
            return false;
        }
    }

    void generateCertificate(const fs::path& keyFile, const fs::path& certificateFile,
        const SubjectAltNames& names, const fs::path& openssl, const CommandRunnerFunction& runner)
    {
        TemporaryFile temporary { temporarySibling(certificateFile, "cert") };
        auto result = runOpenSSL(runner, openssl,
            { "req", "-new", "-x509", "-sha256", "-key", keyFile.string(), "-out", temporary.path.string(),
                "-days", std::to_string(certificateLifetimeDays), "-subj", std::string(certificateSubject),
                "-set_serial", serialArgument(Random::bytes(kSerialRandomBytes)), "-addext",
                "subjectAltName=" + names.extensionValue(), "-addext", "basicConstraints=critical,CA:FALSE",
                "-addext", "keyUsage=critical,digitalSignature", "-addext", "extendedKeyUsage=serverAuth" });
        std::error_code error;
        if (!succeeded(result) || !fs::exists(temporary.path, error))
            throw TLSIdentityError(Kind::generationFailed);
        makeFilePrivate(temporary.path);
        // rename(2) replaces an existing certificate in one step, so a reader sees the old or the new.
        if (::rename(temporary.path.c_str(), certificateFile.c_str()) != 0)
            throwFileError("rename", certificateFile, errno);
    }

    // A serial whose top bit is set would read as negative (RFC 5280 §4.1.2.2 wants it positive).
    std::string serialArgument(std::span<const std::uint8_t> randomBytes)
    {
        std::string digits = hexString(randomBytes);
        if (!digits.empty() && digits[0] >= '8')
            digits[0] = '1';
        return "0x" + digits;
    }

    TLSIdentity importIdentity(const fs::path& keyFile, const fs::path& certificateFile,
        const fs::path& openssl, const CommandRunnerFunction& runner)
    {
        // Only the child's environment carries it: a command line is visible to every user.
        std::string password = RelayIDs::randomToken(kPasswordRandomBytes);
        CommandEnvironment passwordEnvironment = currentEnvironment();
        passwordEnvironment[std::string(passwordVariable)] = password;
        auto result = runOpenSSL(runner, openssl,
            { "pkcs12", "-export", "-inkey", keyFile.string(), "-in", certificateFile.string(), "-name",
                std::string(bundleFriendlyName), "-passout", "env:" + std::string(passwordVariable) },
            std::move(passwordEnvironment));
        if (!succeeded(result) || result.output.empty())
            throw TLSIdentityError(Kind::generationFailed);

        auto bundle
            = std::span(reinterpret_cast<const std::uint8_t*>(result.output.data()), result.output.size());
        auto imported = platform::TLSServerContext::importPKCS12(bundle, password);
        if (!imported.context)
            throw TLSIdentityError(Kind::importFailed, imported.status);
        std::vector<std::uint8_t> certificateDER = imported.context->certificateDER();
        auto pins = CertificatePins::fromCertificate(certificateDER);
        if (certificateDER.empty() || !pins)
            throw TLSIdentityError(Kind::unreadableCertificate);
        return TLSIdentity { .identity = std::move(*imported.context),
            .certificateDER = std::move(certificateDER),
            .pins = std::move(*pins) };
    }

}

}
