// Reads QR codes out of image files with zbarimg, an independent decoder.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace vellumar::test {

// The bytes of the QR code zbarimg finds in the image (any format ImageMagick reads); absent when it
// finds none.
std::optional<std::string> readQRCode(const std::filesystem::path& image);

}
