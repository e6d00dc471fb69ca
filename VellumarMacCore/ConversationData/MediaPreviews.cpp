#include "VellumarMacCore/ConversationData/MediaPreviews.h"

#include "Platform/Media.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"

#include <cmath>
#include <exception>
#include <system_error>

namespace vellumar::MediaPreviews {

namespace {

    // Replaces the file whole, so a reader never sees half a picture; false when it could not.
    bool writePicture(const std::string& jpeg, const std::filesystem::path& file)
    {
        try {
            writePrivateFile(jpeg, file);
            return true;
        } catch (const std::exception&) {
            return false;
        }
    }

    // Where frame `index` (from 0) of a video lasting `duration` seconds is asked for.
    double frameSeconds(double duration, int index)
    {
        double seconds = duration * (index + 0.5) / frameCount;
        return std::round(seconds * timeScale) / timeScale;
    }

}

std::string frameFileName(int number) { return "frame-" + std::to_string(number) + ".jpg"; }

std::optional<std::filesystem::path> jpegCopy(
    const std::filesystem::path& source, const std::filesystem::path& destination)
{
    std::optional<std::string> jpeg;
    try {
        if (auto image = platform::decodeHEIF(source))
            jpeg = platform::encodeJPEG(*image, photoQuality);
    } catch (const std::exception&) {
        // Out of memory for a huge photo: no copy, like any other photo that cannot be read.
    }
    if (!jpeg)
        return std::nullopt;
    if (writePicture(*jpeg, destination))
        return destination;
    std::error_code ignored;
    std::filesystem::remove(destination, ignored);
    return std::nullopt;
}

std::vector<std::filesystem::path> videoFrames(
    const std::filesystem::path& video, const std::filesystem::path& folder)
{
    std::vector<std::filesystem::path> written;
    try {
        auto source = platform::VideoFrameSource::open(video,
            { .maxWidth = maxFrameSize,
                .maxHeight = maxFrameSize,
                .toleranceSeconds = frameToleranceSeconds });
        if (!source)
            return written;
        double duration = source->durationSeconds();
        if (!std::isfinite(duration) || duration <= 0)
            return written;
        ensurePrivateDirectory(folder);
        for (int index = 0; index < frameCount; ++index) {
            auto frame = source->frameAt(frameSeconds(duration, index));
            if (!frame)
                continue;
            auto jpeg = platform::encodeJPEG(*frame, frameQuality);
            auto file = folder / frameFileName(index + 1);
            if (jpeg && writePicture(*jpeg, file))
                written.push_back(std::move(file));
        }
    } catch (const std::exception&) {
        // A folder that cannot be made private, or no memory left: the frames written so far stand.
    }
    return written;
}

}
