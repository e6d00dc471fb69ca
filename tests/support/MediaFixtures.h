// Real photos and videos made by ImageMagick, libheif's heif-enc and ffmpeg, and pictures read back
// through ImageMagick, so media code is checked against tools that share none of its code.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vellumar::test {

struct Colour {
    int red = 0;
    int green = 0;
    int blue = 0;
};

// 8-bit RGB samples as ImageMagick decoded them.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;

    // The mean colour of the rectangle [x0, x1) x [y0, y1), given as fractions of the size.
    Colour meanColour(double x0, double y0, double x1, double y1) const;
};

// True when each channel differs by at most `tolerance`.
bool isNear(Colour actual, Colour expected, int tolerance = 40);

// Runs a tool without a shell; true when it exits with 0.
bool runTool(const std::vector<std::string>& argv);

// The file's first image as ImageMagick reads it (format from the content), with its format name
// ("JPEG", "PNG", ...); absent when ImageMagick cannot read it.
std::optional<Picture> readPicture(const std::filesystem::path& file, std::string* format = nullptr);

// A picture of four quadrants (top left red, top right lime, bottom left blue, bottom right
// yellow) written by ImageMagick in the format the file name's extension says.
std::filesystem::path makeQuadrantImage(const std::filesystem::path& file, int width, int height);

// A HEIC photo of four quadrants, encoded by heif-enc from a PNG made by ImageMagick.
std::filesystem::path makeQuadrantHEIC(const std::filesystem::path& file, int width, int height);

struct VideoRecipe {
    int width = 1280;
    int height = 720;
    // One plain-coloured segment per colour, each `segmentSeconds` long, in order.
    std::vector<std::string> colours { "red", "lime", "blue", "yellow" };
    double segmentSeconds = 2.5;
    // Given after the inputs and before the output file, e.g. a codec or "-metadata:s:v" "rotate=90".
    std::vector<std::string> outputArguments {};
};

// A video of plain-coloured segments made by ffmpeg from its lavfi colour source.
std::filesystem::path makeColourVideo(const std::filesystem::path& file, const VideoRecipe& recipe);

// A video that shows the four-quadrant picture for `seconds`.
std::filesystem::path makeQuadrantVideo(const std::filesystem::path& file, int width, int height,
    double seconds, const std::vector<std::string>& outputArguments = {});

// A copy of an MP4 video whose track says it is to be shown turned by `degrees` (ffmpeg's "rotate"
// tag, written into the track's display matrix); the pictures themselves are copied unchanged.
std::filesystem::path withRotationTag(
    const std::filesystem::path& source, const std::filesystem::path& file, int degrees);

}
