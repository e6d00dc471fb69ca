// QR code symbols of a text as a grey bitmap, through libqrencode, ready for a camera to read off a
// screen. Keeps no state; may be called on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace vellumar::platform {

// Each module of the symbol is this many pixels wide and high.
inline constexpr int qrCodeModulePixels = 10;
// Light modules around the symbol on every side; readers need them to find the symbol's edge.
inline constexpr int qrCodeQuietZoneModules = 4;

// A square 8-bit grey image: 0 for a dark module, 255 for a light one, row after row, no padding.
struct QRCodeBitmap {
    int modules = 0; // modules on one side of the symbol, quiet zone not counted
    int sidePixels = 0; // qrCodeModulePixels * (modules + 2 * qrCodeQuietZoneModules)
    std::vector<std::uint8_t> pixels; // sidePixels * sidePixels bytes
};

// The text's bytes, as they are, in 8-bit mode at error-correction level M, in the smallest symbol
// version that holds them. Absent when no symbol can hold the text (empty, or more than a version 40
// symbol carries at level M) or the encoder fails.
std::optional<QRCodeBitmap> makeQRCode(std::string_view text);

}
