#include "tests/support/MediaFixtures.h"

#include "tests/support/TestSupport.h"

#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace vellumar::test {

namespace {

    std::string number(double value)
    {
        std::ostringstream text;
        text << value;
        return text.str();
    }

    void require(bool made, const std::filesystem::path& file)
    {
        if (!made || !std::filesystem::is_regular_file(file))
            throw std::runtime_error("could not make " + file.string());
    }

}

Colour Picture::meanColour(double x0, double y0, double x1, double y1) const
{
    int left = static_cast<int>(x0 * width);
    int right = static_cast<int>(x1 * width);
    int top = static_cast<int>(y0 * height);
    int bottom = static_cast<int>(y1 * height);
    long long sums[3] = { 0, 0, 0 };
    long long count = 0;
    for (int y = top; y < bottom; ++y) {
        for (int x = left; x < right; ++x) {
            for (int channel = 0; channel < 3; ++channel)
                sums[channel] += rgb[(static_cast<std::size_t>(y) * width + x) * 3 + channel];
            ++count;
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
    require(runTool({ "convert", "(", "-size", half, "xc:red", "-size", half, "xc:lime", "+append", ")", "(",
                "-size", half, "xc:blue", "-size", half, "xc:yellow", "+append", ")", "-append", "+repage",
                file.string() }),
        file);
    return file;
}

std::filesystem::path makeQuadrantHEIC(const std::filesystem::path& file, int width, int height)
{
    std::filesystem::path png = file;
    png += ".source.png";
    makeQuadrantImage(png, width, height);
    // heif-enc misreads palette PNGs, which ImageMagick writes for pictures of so few colours.
    require(runTool({ "convert", png.string(), "PNG24:" + png.string() }), png);
    require(runTool({ "heif-enc", "-q", "90", "-o", file.string(), png.string() }), file);
    std::filesystem::remove(png);
    return file;
}

std::filesystem::path makeColourVideo(const std::filesystem::path& file, const VideoRecipe& recipe)
{
    std::vector<std::string> argv { "ffmpeg", "-nostdin", "-loglevel", "error", "-y" };
    std::string size = std::to_string(recipe.width) + "x" + std::to_string(recipe.height);
    std::string joined;
    for (std::size_t index = 0; index < recipe.colours.size(); ++index) {
        argv.insert(argv.end(),
            { "-f", "lavfi", "-i",
                "color=c=" + recipe.colours[index] + ":s=" + size
                    + ":r=25:d=" + number(recipe.segmentSeconds) });
        joined += "[" + std::to_string(index) + ":v]";
    }
    argv.insert(argv.end(),
        { "-filter_complex", joined + "concat=n=" + std::to_string(recipe.colours.size()) + ":v=1:a=0",
            "-pix_fmt", "yuv420p" });
    argv.insert(argv.end(), recipe.outputArguments.begin(), recipe.outputArguments.end());
    argv.push_back(file.string());
    require(runTool(argv), file);
    return file;
}

std::filesystem::path makeQuadrantVideo(const std::filesystem::path& file, int width, int height,
    double seconds, const std::vector<std::string>& outputArguments)
{
    std::filesystem::path png = file;
    png += ".source.png";
    makeQuadrantImage(png, width, height);
    std::vector<std::string> argv { "ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-loop", "1",
        "-framerate", "25", "-i", png.string(), "-t", number(seconds), "-pix_fmt", "yuv420p" };
    argv.insert(argv.end(), outputArguments.begin(), outputArguments.end());
    argv.push_back(file.string());
    require(runTool(argv), file);
    std::filesystem::remove(png);
    return file;
}

std::filesystem::path withRotationTag(
    const std::filesystem::path& source, const std::filesystem::path& file, int degrees)
{
    require(runTool({ "ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", source.string(), "-c", "copy",
                "-metadata:s:v", "rotate=" + std::to_string(degrees), file.string() }),
        file);
    return file;
}

}
