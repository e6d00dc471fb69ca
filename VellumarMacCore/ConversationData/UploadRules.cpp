#include "VellumarMacCore/ConversationData/UploadRules.h"

#include "VellumarMacCore/ConversationData/PathText.h"
#include "VellumarMacCore/ConversationData/ReadableFile.h"
#include "VellumarMacCore/Foundations/Graphemes.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/UnicodeScalars.h"
#include "VellumarMacCore/Foundations/Whitespace.h"

#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <memory>

namespace vellumar {

namespace {

    constexpr std::size_t kSniffedBytes = 64;
    constexpr std::size_t kTextChunkBytes = 262'144;

    // The bytes at the end of a chunk that begin a sequence the chunk cuts short; they are judged
    // together with the next chunk.
    std::size_t unfinishedSequenceLength(std::string_view chunk)
    {
        for (std::size_t back = 1; back <= std::min<std::size_t>(3, chunk.size()); ++back) {
            auto byte = static_cast<unsigned char>(chunk[chunk.size() - back]);
            if (byte >= 0x80 && byte <= 0xBF)
                continue;
            std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
            return length > back ? back : 0;
        }
        return 0;
    }

    std::string lowercased(std::string_view text)
    {
        std::string result;
        detail::unicodeString(text).toLower(icu::Locale::getRoot()).toUTF8String(result);
        return result;
    }

    // The text after the last "." of the last component, trailing "/" ignored; a leading "." marks a
    // hidden name, not an extension.
    std::string_view pathExtension(std::string_view name)
    {
        name = detail::lastPathPiece(name);
        auto dot = name.rfind('.');
        if (dot == std::string_view::npos || dot == 0)
            return {};
        return name.substr(dot + 1);
    }

    std::string lowercasedExtension(std::string_view name) { return lowercased(pathExtension(name)); }

    // Runs of whitespace and characters that file systems or shells treat specially.
    const icu::RegexPattern* unsafeNameRuns()
    {
        static const std::unique_ptr<icu::RegexPattern> pattern = [] {
            UErrorCode status = U_ZERO_ERROR;
            std::unique_ptr<icu::RegexPattern> compiled(
                icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(R"([\s/:*?"<>|]+)"), 0, status));
            return U_SUCCESS(status) ? std::move(compiled) : nullptr;
        }();
        return pattern.get();
    }

    icu::UnicodeString replacingUnsafeRuns(const icu::UnicodeString& text)
    {
        UErrorCode status = U_ZERO_ERROR;
        const icu::RegexPattern* pattern = unsafeNameRuns();
        std::unique_ptr<icu::RegexMatcher> matcher(pattern ? pattern->matcher(text, status) : nullptr);
        if (!matcher || U_FAILURE(status))
            return text;
        icu::UnicodeString replaced = matcher->replaceAll(u"_", status);
        return U_SUCCESS(status) ? replaced : text;
    }

    // Keeps the name within `maxNameLength` grapheme clusters while keeping (up to 12 characters of)
    // its extension, so a long name still opens with the right program.
    std::string shortenedName(std::string_view name)
    {
        if (characterPrefixLength(name, UploadRules::maxNameLength) == name.size())
            return std::string(name);
        std::string_view fullExtension = pathExtension(name);
        if (fullExtension.empty())
            return prefixCharacters(name, UploadRules::maxNameLength);
        std::string extension = prefixCharacters(fullExtension, 12);
        std::string_view base = name.substr(0, name.size() - fullExtension.size() - 1);
        return prefixCharacters(base, UploadRules::maxNameLength - characterCount(extension) - 1) + "."
            + extension;
    }

    RelayHTTPError unsupportedKind()
    {
        return { 415, "unsupported_type",
            "This kind of file cannot be sent (images, videos, PDF and text only)." };
    }

    RelayHTTPError contentMismatch()
    {
        return { 415, "unsupported_type", "The file's contents do not match its type." };
    }

    // Up to the first `kSniffedBytes` bytes; empty when the file cannot be opened or read.
    std::string readHead(const std::filesystem::path& file)
    {
        std::string head;
        auto opened = ReadableFile::open(file);
        if (!opened)
            return head;
        std::array<char, kSniffedBytes> buffer {};
        while (head.size() < kSniffedBytes) {
            auto count = opened->read(std::span(buffer).first(kSniffedBytes - head.size()));
            if (!count || *count == 0)
                break;
            head.append(buffer.data(), *count);
        }
        return head;
    }

    const std::string* groupOfDeclaredType(const std::string& declared)
    {
        const auto& groups = UploadRules::mimeGroups();
        auto found = groups.find(declared);
        return found == groups.end() ? nullptr : &found->second;
    }

    const UploadRules::Kind* kindOfExtension(const std::string& extension)
    {
        const auto& kinds = UploadRules::kinds();
        auto found = kinds.find(extension);
        return found == kinds.end() ? nullptr : &found->second;
    }

}

namespace UploadRules {

    const std::unordered_map<std::string, Kind>& kinds()
    {
        static const std::unordered_map<std::string, Kind> table {
            { "jpg", { "jpeg", "image/jpeg", "image" } },
            { "jpeg", { "jpeg", "image/jpeg", "image" } },
            { "png", { "png", "image/png", "image" } },
            { "webp", { "webp", "image/webp", "image" } },
            { "gif", { "gif", "image/gif", "image" } },
            { "heic", { "heic", "image/heic", "image" } },
            { "heif", { "heic", "image/heif", "image" } },
            { "mp4", { "mp4", "video/mp4", "video" } },
            { "m4v", { "mp4", "video/x-m4v", "video" } },
            { "mov", { "mov", "video/quicktime", "video" } },
            { "webm", { "webm", "video/webm", "video" } },
            { "pdf", { "pdf", "application/pdf", "document" } },
            { "txt", { "text", "text/plain", "text" } },
            { "md", { "text", "text/markdown", "text" } },
            { "markdown", { "text", "text/markdown", "text" } },
            { "csv", { "text", "text/csv", "text" } },
        };
        return table;
    }

    const std::unordered_map<std::string, Kind>& sniffedKinds()
    {
        static const std::unordered_map<std::string, Kind> table {
            { "jpeg", { "jpg", "image/jpeg", "image" } },
            { "png", { "png", "image/png", "image" } },
            { "webp", { "webp", "image/webp", "image" } },
            { "gif", { "gif", "image/gif", "image" } },
            { "heic", { "heic", "image/heic", "image" } },
            { "mp4", { "mp4", "video/mp4", "video" } },
            { "mov", { "mov", "video/quicktime", "video" } },
            { "webm", { "webm", "video/webm", "video" } },
            { "pdf", { "pdf", "application/pdf", "document" } },
        };
        return table;
    }

    const std::unordered_map<std::string, std::string>& mimeGroups()
    {
        static const std::unordered_map<std::string, std::string> table {
            { "image/jpeg", "image" },
            { "image/jpg", "image" },
            { "image/png", "image" },
            { "image/webp", "image" },
            { "image/gif", "image" },
            { "image/heic", "image" },
            { "image/heif", "image" },
            { "video/mp4", "video" },
            { "video/x-m4v", "video" },
            { "video/quicktime", "video" },
            { "video/webm", "video" },
            { "application/pdf", "document" },
            { "text/plain", "text" },
            { "text/markdown", "text" },
            { "text/x-markdown", "text" },
            { "text/csv", "text" },
        };
        return table;
    }

    const std::unordered_set<std::string>& heifBrands()
    {
        static const std::unordered_set<std::string> brands { "heic", "heix", "hevc", "hevx", "heim", "heis",
            "mif1", "msf1" };
        return brands;
    }

    const std::unordered_set<std::string>& mp4Brands()
    {
        static const std::unordered_set<std::string> brands { "isom", "iso2", "iso3", "iso4", "iso5", "iso6",
            "mp41", "mp42", "avc1", "M4V ", "mmp4", "dash", "3gp4", "3gp5", "3gp6", "3g2a", "MSNV" };
        return brands;
    }

    const std::unordered_set<std::string>& quickTimeAtoms()
    {
        static const std::unordered_set<std::string> atoms { "moov", "mdat", "wide", "free", "skip" };
        return atoms;
    }

    const std::vector<std::string>& keptExtensions()
    {
        static const std::vector<std::string> extensions { "jpeg", "heif", "m4v" };
        return extensions;
    }

    std::string mimeType(std::string_view fileName)
    {
        std::string extension = lowercasedExtension(fileName);
        if (const Kind* kind = kindOfExtension(extension))
            return kind->mime;
        if (extension == "json")
            return "application/json";
        static const std::unordered_set<std::string> plainText { "html", "htm", "svg", "js", "xml", "py",
            "swift", "kt", "log", "sh", "yaml", "yml", "toml" };
        if (plainText.contains(extension))
            return "text/plain";
        if (extension == "tsv")
            return "text/tab-separated-values";
        if (extension == "zip")
            return "application/zip";
        return "application/octet-stream";
    }

    std::string cleanFileName(std::string_view name)
    {
        std::string normalized(name);
        std::replace(normalized.begin(), normalized.end(), '\\', '/');
        icu::UnicodeString cleaned = detail::unicodeString(
            trimmingBlanks(removeControlCharacters(detail::lastPathPiece(normalized))));
        std::int32_t leadingDots = 0;
        while (leadingDots < cleaned.length() && cleaned[leadingDots] == u'.')
            ++leadingDots;
        std::string replaced;
        replacingUnsafeRuns(icu::UnicodeString(cleaned, leadingDots)).toUTF8String(replaced);
        std::string result = shortenedName(replaced);
        return result.empty() ? "file" : result;
    }

    std::string removeControlCharacters(std::string_view text)
    {
        std::string result;
        result.reserve(text.size());
        for (std::size_t index = 0; index < text.size();) {
            std::size_t start = index;
            std::int32_t scalar = detail::nextScalar(text, index);
            if (scalar == detail::kMalformedScalar)
                result.append("\xEF\xBF\xBD");
            else if (!detail::isControlScalar(scalar))
                result.append(text.substr(start, index - start));
        }
        return result;
    }

    std::optional<std::string> sniff(std::string_view head)
    {
        head = head.substr(0, kSniffedBytes);
        auto bytesAt = [&](std::size_t offset, std::size_t count) {
            return head.size() >= offset + count ? head.substr(offset, count) : std::string_view {};
        };
        if (head.starts_with("\xFF\xD8\xFF"))
            return "jpeg";
        if (head.starts_with("\x89PNG\r\n\x1A\n"))
            return "png";
        if (head.starts_with("GIF87a") || head.starts_with("GIF89a"))
            return "gif";
        if (head.starts_with("RIFF") && bytesAt(8, 4) == "WEBP")
            return "webp";
        if (head.starts_with("%PDF-"))
            return "pdf";
        if (head.starts_with("\x1A\x45\xDF\xA3") && head.find("webm") != std::string_view::npos)
            return "webm";
        std::string box(bytesAt(4, 4));
        if (box == "ftyp") {
            // Only the major brand counts: compatible brands say what a reader may try, not what it is.
            std::string brand(bytesAt(8, 4));
            if (heifBrands().contains(brand))
                return "heic";
            if (brand == "qt  ")
                return "mov";
            if (mp4Brands().contains(brand))
                return "mp4";
            return std::nullopt;
        }
        if (quickTimeAtoms().contains(box))
            return "mov";
        return std::nullopt;
    }

    bool isUTF8Text(const std::filesystem::path& file)
    {
        auto opened = ReadableFile::open(file);
        if (!opened)
            return false;
        std::string pending; // an unfinished sequence carried over from the previous chunk
        std::string chunk(kTextChunkBytes, '\0');
        std::int64_t gathered = 0;
        for (;;) {
            auto count = opened->read(chunk);
            if (!count || *count == 0)
                break;
            std::string_view bytes(chunk.data(), *count);
            if (bytes.find('\0') != std::string_view::npos)
                return false;
            gathered += static_cast<std::int64_t>(*count);
            if (gathered > maxUploadBytes)
                return false;
            pending.append(bytes);
            std::size_t unfinished = unfinishedSequenceLength(pending);
            if (!detail::isValidUTF8(std::string_view(pending).substr(0, pending.size() - unfinished)))
                return false;
            pending.erase(0, pending.size() - unfinished);
        }
        return pending.empty();
    }

    Kind validate(const std::filesystem::path& file, std::string_view name, std::string_view declaredMIMEType)
    {
        std::string extension = lowercasedExtension(name);
        std::string declared = lowercased(declaredMIMEType);
        const Kind* extensionKind = kindOfExtension(extension);
        const std::string* declaredGroup = groupOfDeclaredType(declared);
        if (!extension.empty() && !extensionKind)
            throw unsupportedKind();
        if (!declared.empty() && declared != "application/octet-stream" && !declaredGroup)
            throw unsupportedKind();

        Kind candidate;
        auto content = sniff(readHead(file));
        auto sniffed = content ? sniffedKinds().find(*content) : sniffedKinds().end();
        if (sniffed != sniffedKinds().end()) {
            candidate = sniffed->second;
            // Some phones name JPEGs ".jpeg" and HEIF files ".heif"; such a name is kept as sent.
            bool keptExtension = std::ranges::find(keptExtensions(), extension) != keptExtensions().end();
            if (keptExtension && extensionKind->key == *content)
                candidate = { extension, extensionKind->mime, candidate.group };
        } else if (extensionKind && extensionKind->key == "text" && isUTF8Text(file)) {
            candidate = { extension, extensionKind->mime, "text" };
        } else {
            throw contentMismatch();
        }

        if (declaredGroup && *declaredGroup != candidate.group)
            throw contentMismatch();
        if (extensionKind && extensionKind->group != candidate.group)
            throw contentMismatch();
        return candidate;
    }

}

}
