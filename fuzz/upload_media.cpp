// Decoding arbitrary bytes as an uploaded photo or video must never crash or hang, and what it
// gives must be a consistent picture within the frame box.
#include "Platform/Media.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

void checkPicture(const vellumar::platform::RGBImage& image, int maxSide)
{
    if (image.width <= 0 || image.height <= 0 || image.width > maxSide || image.height > maxSide
        || image.pixels.size() != static_cast<std::size_t>(image.width) * image.height * 3)
        std::abort();
    if (!vellumar::platform::encodeJPEG(image, 0.7))
        std::abort();
}

}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace vellumar::platform;
    char pattern[] = "/tmp/vellumar-fuzz-media-XXXXXX";
    int descriptor = ::mkstemp(pattern);
    if (descriptor < 0)
        std::abort();
    ::close(descriptor);
    std::filesystem::path file = pattern;
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

    if (auto photo = decodeHEIF(file))
        checkPicture(*photo, 1 << 16);
    constexpr int kBox = 64;
    if (auto video = VideoFrameSource::open(file, { .maxWidth = kBox, .maxHeight = kBox })) {
        double duration = video->durationSeconds();
        for (double seconds : { 0.0, 0.5, duration / 2, duration }) {
            if (auto frame = video->frameAt(seconds))
                checkPicture(*frame, kBox);
        }
    }
    std::filesystem::remove(file);
    return 0;
}
