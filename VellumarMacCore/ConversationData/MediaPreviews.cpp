#include "VellumarMacCore/ConversationData/MediaPreviews.h"

#include "Platform/Media.h"
#include "Platform/PrivateFiles.h"
#include "VellumarMacCore/Foundations/FileDescriptor.h"

#include <cmath>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace vellumar::MediaPreviews {

namespace {

    // A regular file of an open folder, opened without following a link, and the path by which a
    // decoder opens that very file again, whatever has become of its name since.
    struct Source {
        FileDescriptor file;
        std::filesystem::path path;
    };

    std::optional<Source> openSource(const FolderTree& folder, const std::string& name)
    {
        // Non-blocking, so that a FIFO in its place cannot hold the upload.
        FileDescriptor file(
            ::openat(folder.descriptor(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat status { };
        if (!file || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
            return std::nullopt;
        std::filesystem::path path = "/proc/self/fd/" + std::to_string(file.get());
        return Source { std::move(file), std::move(path) };
    }

    // Replaces the file whole, so a reader never sees half a picture; false when it could not.
    bool writePicture(const std::string& jpeg, const FolderTree& folder, const std::string& name)
    {
        try {
            platform::writeFileAtomicallyIn(folder.descriptor(), name, jpeg, platform::ExistingFile::replace);
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

bool jpegCopy(const FolderTree& folder, const std::string& photoName, const std::string& copyName)
{
    std::optional<std::string> jpeg;
    try {
        auto source = openSource(folder, photoName);
        if (auto image = source ? platform::decodeHEIF(source->path) : std::nullopt)
            jpeg = platform::encodeJPEG(*image, photoQuality);
    } catch (const std::exception&) {
        // Out of memory for a huge photo: no copy, like any other photo that cannot be read.
    }
    if (!jpeg)
        return false;
    if (writePicture(*jpeg, folder, copyName))
        return true;
    ::unlinkat(folder.descriptor(), copyName.c_str(), 0);
    return false;
}

std::vector<std::string> videoFrames(
    const FolderTree& folder, const std::string& videoName, const std::string& framesName)
{
    std::vector<std::string> written;
    try {
        auto file = openSource(folder, videoName);
        auto source = file ? platform::VideoFrameSource::open(file->path,
                          { .maxWidth = maxFrameSize,
                              .maxHeight = maxFrameSize,
                              .toleranceSeconds = frameToleranceSeconds })
                           : nullptr;
        if (!source)
            return written;
        double duration = source->durationSeconds();
        if (!std::isfinite(duration) || duration <= 0)
            return written;
        FolderTree frames = folder.privateChild(framesName);
        if (!frames.isOpen())
            return written;
        for (int index = 0; index < frameCount; ++index) {
            auto frame = source->frameAt(frameSeconds(duration, index));
            if (!frame)
                continue;
            auto jpeg = platform::encodeJPEG(*frame, frameQuality);
            std::string name = frameFileName(index + 1);
            if (jpeg && writePicture(*jpeg, frames, name))
                written.push_back(std::move(name));
        }
    } catch (const std::exception&) {
        // No memory left: the frames written so far stand.
    }
    return written;
}

}
