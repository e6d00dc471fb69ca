#include "Platform/QRCode.h"

#include "tests/support/FileFixtures.h"
#include "tests/support/QRCodeReader.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace vellumar::platform {
namespace {

    // Binary PGM: the simplest file zbarimg (through ImageMagick) reads a grey bitmap from.
    std::filesystem::path writePGM(const test::TemporaryFolder& folder, const QRCodeBitmap& bitmap)
    {
        auto file = folder / "code.pgm";
        std::string header = "P5\n" + std::to_string(bitmap.sidePixels) + " "
            + std::to_string(bitmap.sidePixels) + "\n255\n";
        test::writeBytes(file, header + std::string(bitmap.pixels.begin(), bitmap.pixels.end()));
        return file;
    }

    // Version 40 at level M holds 2,331 bytes in 8-bit mode (ISO/IEC 18004, table 7).
    constexpr std::size_t kLargestLevelMText = 2331;

    struct RoundTrip {
        const char* name;
        std::string text;
        int modules; // 17 + 4 * version
    };

    TEST(QRCode, DecodesBackToTheExactBytesInASquareOfTenPixelModulesAndAQuietZone)
    {
        const std::vector<RoundTrip> cases {
            { "one byte", "x", 21 },
            { "pairing text (174 bytes: version 9)",
                "# Vellumar pairing "
                "v1\nhttps://192.168.1.20:48788\nq1w2e3r4t5y6u7i8o9p0a1s2d3f4g5h6j7k8l9z0x1c2v=\n"
                "Zq3x-8_mNkTQpLr2VfYwBcHdJs9aUeGiOo1n5t7Ry0E\nmac-0123456789abcdef\nB%C3%BCro-Mac",
                53 },
            { "UTF-8 taken as bytes (23: version 2)", "Büro-Mac — Café ☕", 25 },
            { "largest level M text", std::string(kLargestLevelMText, 'a'), 177 },
        };
        for (const auto& row : cases) {
            SCOPED_TRACE(row.name);
            auto bitmap = makeQRCode(row.text);
            ASSERT_TRUE(bitmap);
            EXPECT_EQ(bitmap->modules, row.modules);
            EXPECT_EQ(bitmap->sidePixels, 10 * (row.modules + 8));
            ASSERT_EQ(
                bitmap->pixels.size(), static_cast<std::size_t>(bitmap->sidePixels) * bitmap->sidePixels);
            test::TemporaryFolder folder;
            EXPECT_EQ(test::readQRCode(writePGM(folder, *bitmap)), row.text);
        }
    }

    TEST(QRCode, LeavesFortyLightPixelsAroundTheSymbolAndDrawsItsFinderCornerDark)
    {
        auto bitmap = makeQRCode("corner");
        ASSERT_TRUE(bitmap);
        const int side = bitmap->sidePixels;
        auto at = [&](int x, int y) { return bitmap->pixels[static_cast<std::size_t>(y) * side + x]; };
        for (int along = 0; along < side; ++along) {
            for (int into = 0; into < 40; ++into) {
                ASSERT_EQ(at(along, into), 255);
                ASSERT_EQ(at(along, side - 1 - into), 255);
                ASSERT_EQ(at(into, along), 255);
                ASSERT_EQ(at(side - 1 - into, along), 255);
            }
        }
        // Every finder pattern's outer ring is dark, so the symbol's first module is a full dark square.
        for (int y = 40; y < 50; ++y)
            for (int x = 40; x < 50; ++x)
                EXPECT_EQ(at(x, y), 0);
    }

    TEST(QRCode, GivesNoneForTextsNoSymbolHolds)
    {
        const std::vector<std::pair<const char*, std::string>> cases {
            { "empty", "" },
            { "one byte over version 40 at level M", std::string(kLargestLevelMText + 1, 'a') },
            { "8,000 bytes", std::string(8000, 'a') },
        };
        for (const auto& [name, text] : cases) {
            SCOPED_TRACE(name);
            EXPECT_FALSE(makeQRCode(text));
        }
    }

}
}
