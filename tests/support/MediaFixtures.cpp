#include "tests/support/MediaFixtures.h"

#include "tests/support/TestSupport.h"

#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace vellumar::test {

namespace {

    std::filesystem::path made(bool ran, const std::filesystem::path& file)
    {
        if (!ran || !std::filesystem::is_regular_file(file))
            throw std::runtime_error("could not make " + file.string());
        return file;
    }

    // Runs ffmpeg quietly, overwriting `file`, which must then be there.
    std::filesystem::path ffmpeg(std::vector<std::string> arguments, const std::filesystem::path& file)
    {
        arguments.insert(arguments.begin(), { "ffmpeg", "-nostdin", "-loglevel", "error", "-y" });
        arguments.push_back(file.string());
        return made(runTool(arguments), file);
    }

    // The four-quadrant picture as a PNG beside `file`, for the tools that take it as their input.
    std::filesystem::path quadrantSource(const std::filesystem::path& file, int width, int height)
    {
        auto png = file;
        png += ".source.png";
        return makeQuadrantImage(png, width, height);
    }

}

Colour Picture::meanColour(double x0, double y0, double x1, double y1) const
{
    long long sums[3] = { 0, 0, 0 };
    long long count = 0;
    for (int y = static_cast<int>(y0 * height); y < static_cast<int>(y1 * height); ++y) {
        for (int x = static_cast<int>(x0 * width); x < static_cast<int>(x1 * width); ++x, ++count) {
            for (int channel = 0; channel < 3; ++channel)
                sums[channel] += rgb[(static_cast<std::size_t>(y) * width + x) * 3 + channel];
        }
    }
    if (count == 0)
        return {};
    return { static_cast<int>(sums[0] / count), static_cast<int>(sums[1] / count),
        static_cast<int>(sums[2] / count) };
}

bool isNear(Colour actual, Colour expected, int tolerance)
{
    return std::abs(actual.red - expected.red) <= tolerance
        && std::abs(actual.green - expected.green) <= tolerance
        && std::abs(actual.blue - expected.blue) <= tolerance;
}

bool runTool(const std::vector<std::string>& argv) { return runPeer(argv).exitStatus == 0; }

std::optional<Picture> readPicture(const std::filesystem::path& file, std::string* format)
{
    std::string source = file.string() + "[0]";
    PeerResult described = runPeer({ "identify", "-format", "%w %h %m", source });
    if (described.exitStatus != 0)
        return std::nullopt;
    Picture picture;
    std::string formatName;
    std::istringstream(described.output) >> picture.width >> picture.height >> formatName;
    PeerResult samples = runPeer({ "convert", source, "-depth", "8", "rgb:-" });
    if (samples.exitStatus != 0 || picture.width <= 0 || picture.height <= 0
        || samples.output.size() != static_cast<std::size_t>(picture.width) * picture.height * 3)
        return std::nullopt;
    picture.rgb.assign(samples.output.begin(), samples.output.end());
    if (format)
        *format = formatName;
    return picture;
}

std::filesystem::path makeQuadrantImage(const std::filesystem::path& file, int width, int height)
{
    std::string half = std::to_string(width / 2) + "x" + std::to_string(height / 2);
    return made(runTool({ "convert", "(", "-size", half, "xc:red", "-size", half, "xc:lime", "+append", ")",
                    "(", "-size", half, "xc:blue", "-size", half, "xc:yellow", "+append", ")", "-append",
                    "+repage", file.string() }),
        file);
}

std::filesystem::path makeQuadrantHEIC(const std::filesystem::path& file, int width, int height)
{
    auto png = quadrantSource(file, width, height);
    // heif-enc misreads palette PNGs, which ImageMagick writes for pictures of so few colours.
    made(runTool({ "convert", png.string(), "PNG24:" + png.string() }), png);
    made(runTool({ "heif-enc", "-q", "90", "-o", file.string(), png.string() }), file);
    std::filesystem::remove(png);
    return file;
}

std::filesystem::path makeColourVideo(const std::filesystem::path& file, const VideoRecipe& recipe)
{
    std::vector<std::string> arguments;
    std::string size = std::to_string(recipe.width) + "x" + std::to_string(recipe.height);
    std::string joined;
    for (std::size_t index = 0; index < recipe.colours.size(); ++index) {
        arguments.insert(arguments.end(),
            { "-f", "lavfi", "-i",
                "color=c=" + recipe.colours[index] + ":s=" + size
                    + ":r=25:d=" + std::to_string(recipe.segmentSeconds) });
        joined += "[" + std::to_string(index) + ":v]";
    }
    arguments.insert(arguments.end(),
        { "-filter_complex", joined + "concat=n=" + std::to_string(recipe.colours.size()) + ":v=1:a=0",
            "-pix_fmt", "yuv420p" });
    arguments.insert(arguments.end(), recipe.outputArguments.begin(), recipe.outputArguments.end());
    return ffmpeg(arguments, file);
}

std::filesystem::path makeQuadrantVideo(const std::filesystem::path& file, int width, int height,
    double seconds, const std::vector<std::string>& outputArguments)
{
    auto png = quadrantSource(file, width, height);
    std::vector<std::string> arguments { "-loop", "1", "-framerate", "25", "-i", png.string(), "-t",
        std::to_string(seconds), "-pix_fmt", "yuv420p" };
    arguments.insert(arguments.end(), outputArguments.begin(), outputArguments.end());
    ffmpeg(arguments, file);
    std::filesystem::remove(png);
    return file;
}

std::filesystem::path withRotationTag(
    const std::filesystem::path& source, const std::filesystem::path& file, int degrees)
{
    return ffmpeg(
        { "-i", source.string(), "-c", "copy", "-metadata:s:v", "rotate=" + std::to_string(degrees) }, file);
}

}
