// Which files the phone may send to the Mac and what they really are: the accepted kinds, MIME
// types for names, safe file names, content signatures and the check of one received file.
// Everything here is stateless and may be called from any thread at the same time.
#pragma once

#include "VellumarMacCore/Foundations/CleanText.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace vellumar {

namespace UploadRules {

    struct Kind {
        // In `kinds`, the content kind the extension stands for ("text" for text files); in
        // `sniffedKinds` and in what `validate` answers, the extension the upload is stored under.
        std::string key;
        std::string mime;
        // "image", "video", "document" or "text".
        std::string group;

        friend bool operator==(const Kind&, const Kind&) = default;
    };

    inline constexpr std::int64_t maxUploadBytes = 52'428'800;
    // The most uploaded files one chat message may name.
    inline constexpr int maxAttachments = 10;
    // The longest name, in grapheme clusters, that `cleanFileName` answers.
    inline constexpr int maxNameLength = 80;

    // Fixed tables, built once on first use. Keys are lower case except the brands, which are
    // compared exactly.
    const std::unordered_map<std::string, Kind>& kinds(); // by file extension
    const std::unordered_map<std::string, Kind>& sniffedKinds(); // by content kind from `sniff`
    const std::unordered_map<std::string, std::string>& mimeGroups(); // declared MIME type -> group
    const std::unordered_set<std::string>& heifBrands();
    const std::unordered_set<std::string>& mp4Brands();
    const std::unordered_set<std::string>& quickTimeAtoms();
    // Extensions whose own name and MIME type a matching upload keeps.
    const std::vector<std::string>& keptExtensions();

    // The MIME type used for listings, prompts and downloads; "application/octet-stream" when the
    // extension says nothing.
    std::string mimeType(std::string_view fileName);

    // A non-empty single path component of at most `maxNameLength` grapheme clusters, never
    // beginning with ".": the last piece of what the phone sent, with controls removed and the
    // characters that file systems or shells treat specially turned into "_".
    std::string cleanFileName(std::string_view name);

    // The text without its control characters; bytes that are not UTF-8 become U+FFFD, so the
    // answer is always valid UTF-8.
    std::string removeControlCharacters(std::string_view text);

    // The content kind ("jpeg", "png", "webp", "gif", "pdf", "webm", "heic", "mp4" or "mov") that
    // the first bytes of a file show; only the first 64 bytes are looked at.
    std::optional<std::string> sniff(std::string_view head);

    // True when the file is a regular file of valid UTF-8 without a zero byte and at most
    // `maxUploadBytes` long. Reads on the caller's thread; a file that cannot be opened is not text.
    bool isUTF8Text(const std::filesystem::path& file);

    // The kind under which a received file is stored. `name` is an already cleaned file name;
    // `declaredMIMEType` is the request's media type, possibly empty. Throws RelayHTTPError 415
    // "unsupported_type" when the name or declared type is not accepted or the content does not
    // match them.
    Kind validate(
        const std::filesystem::path& file, std::string_view name, std::string_view declaredMIMEType);

}

}
