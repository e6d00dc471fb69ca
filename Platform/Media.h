// Still images from photos and videos, and their JPEG form: HEIC/HEIF decoding through libheif,
// JPEG encoding through libjpeg-turbo, and upright video frames through FFmpeg's libraries.
// Nothing here keeps shared state; every function may run on any thread at the same time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vellumar::platform {

// 8-bit RGB samples, row after row, with no padding between rows.
struct RGBImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels; // width * height * 3 bytes

    friend bool operator==(const RGBImage&, const RGBImage&) = default;
};

// Images with more pixels than this are refused before they are decoded: a small file can
// announce a picture that would take gigabytes to hold.
inline constexpr std::int64_t maxDecodedPixels = 100'000'000;

// The primary image of a HEIC or HEIF file, turned and mirrored as its container says so that it
// stands as it is shown. Absent when the file cannot be read, is no HEIF image, or is too large.
std::optional<RGBImage> decodeHEIF(const std::filesystem::path& file);

// The `height` rows of an interleaved 8-bit RGB plane that starts a row every `stride` bytes, packed
// without their padding: how a decoder's plane becomes an RGBImage. Absent for an implausible size
// or a stride shorter than a row's three bytes a pixel, which would read past the plane.
std::optional<RGBImage> packedRGBRows(const std::uint8_t* plane, int width, int height, int stride);

// The image as a baseline JPEG file's bytes; `quality` runs from 0 (smallest) to 1 (best) and is
// clamped to that range. Absent for an empty or inconsistent image or when encoding fails.
std::optional<std::string> encodeJPEG(const RGBImage& image, double quality);

// Still frames of one video file, taken one at a time. The file is read only through FFmpeg's
// MP4/QuickTime and Matroska/WebM demuxers and only from the local file itself, so an upload can
// never make the reader follow references to other files or to the network.
class VideoFrameSource {
public:
    struct Options {
        // The frame is scaled down, keeping its shown proportions, to fit in this box; never up.
        int maxWidth = 768;
        int maxHeight = 768;
        // When a video's first frame comes after a requested time, it stands in for that time if it
        // comes at most this many seconds later.
        double toleranceSeconds = 0.5;
    };

    // Absent when the file is not a video that can be opened and decoded.
    static std::unique_ptr<VideoFrameSource> open(const std::filesystem::path& file, Options options);
    ~VideoFrameSource();
    VideoFrameSource(const VideoFrameSource&) = delete;
    VideoFrameSource& operator=(const VideoFrameSource&) = delete;

    // The length of the presentation in seconds; NaN when the file does not say.
    double durationSeconds() const;

    // The upright frame on screen at `seconds` after the start of the presentation: the last
    // decodable frame at or before that time (so a damaged frame gives way to an earlier one), or
    // the first frame when it comes later, within the tolerance. Absent when there is none. Not for
    // concurrent calls on one source.
    std::optional<RGBImage> frameAt(double seconds);

private:
    struct State;
    explicit VideoFrameSource(std::unique_ptr<State> state);

    std::unique_ptr<State> m_state;
};

}
