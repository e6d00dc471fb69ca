#include "Platform/QRCode.h"

#include <qrencode.h>

#include <algorithm>
#include <limits>
#include <memory>

namespace vellumar::platform {

namespace {

    struct QRcodeDeleter {
        void operator()(QRcode* code) const { QRcode_free(code); }
    };

    // libqrencode's module byte: bit 0 set means dark; the other bits describe the module's role.
    constexpr unsigned char kDarkModuleBit = 0x01;

}

std::optional<QRCodeBitmap> makeQRCode(std::string_view text)
{
    // The encoder takes an int length; nothing that long fits a symbol anyway.
    if (text.empty() || text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return std::nullopt;
    // Version 0 lets the encoder pick the smallest version that holds the bytes.
    std::unique_ptr<QRcode, QRcodeDeleter> code(QRcode_encodeData(
        static_cast<int>(text.size()), reinterpret_cast<const unsigned char*>(text.data()), 0, QR_ECLEVEL_M));
    if (!code || code->width <= 0)
        return std::nullopt;

    QRCodeBitmap bitmap;
    bitmap.modules = code->width;
    const int sideModules = code->width + 2 * qrCodeQuietZoneModules;
    bitmap.sidePixels = sideModules * qrCodeModulePixels;
    bitmap.pixels.assign(static_cast<std::size_t>(bitmap.sidePixels) * bitmap.sidePixels, 255);
    for (int moduleRow = 0; moduleRow < code->width; ++moduleRow) {
        for (int moduleColumn = 0; moduleColumn < code->width; ++moduleColumn) {
            if (!(code->data[moduleRow * code->width + moduleColumn] & kDarkModuleBit))
                continue;
            const int top = (moduleRow + qrCodeQuietZoneModules) * qrCodeModulePixels;
            const int left = (moduleColumn + qrCodeQuietZoneModules) * qrCodeModulePixels;
            for (int y = top; y < top + qrCodeModulePixels; ++y) {
                auto* row = bitmap.pixels.data() + static_cast<std::size_t>(y) * bitmap.sidePixels;
                std::fill(row + left, row + left + qrCodeModulePixels, std::uint8_t { 0 });
            }
        }
    }
    return bitmap;
}

}
