#include "VellumarMacCore/ConversationData/MediaPreviews.h"

#include "tests/support/MediaFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

namespace vellumar {
namespace {

    namespace fs = std::filesystem;
    using test::Colour;

    const Colour kBlack { 0, 0, 0 };
    const Colour kRed { 255, 0, 0 };
    const Colour kLime { 0, 255, 0 };
    const Colour kBlue { 0, 0, 255 };
    const Colour kYellow { 255, 255, 0 };

    unsigned permissions(const fs::path& path)
    {
        struct stat status { };
        if (::lstat(path.c_str(), &status) != 0)
            return 0;
        return status.st_mode & 07777;
    }

    std::vector<fs::path> frameFiles(const fs::path& folder, std::initializer_list<int> numbers)
    {
        std::vector<fs::path> files;
        for (int number : numbers)
            files.push_back(folder / MediaPreviews::frameFileName(number));
        return files;
    }

    Colour wholeColour(const fs::path& file)
    {
        auto picture = test::readPicture(file);
        return picture ? picture->meanColour(0, 0, 1, 1) : Colour { -1000, -1000, -1000 };
    }

    TEST(MediaPreviews, CopiesAHEICPhotoToAPrivateJPEG)
    {
        test::TemporaryFolder folder;
        auto photo = test::makeQuadrantHEIC(folder / "photo.heic", 320, 240);
        auto destination = folder / "photo-preview.jpg";

        auto copy = MediaPreviews::jpegCopy(photo, destination);

        ASSERT_EQ(copy, destination);
        std::string format;
        auto picture = test::readPicture(destination, &format);
        ASSERT_TRUE(picture);
        EXPECT_EQ(format, "JPEG");
        EXPECT_EQ(picture->width, 320);
        EXPECT_EQ(picture->height, 240);
        EXPECT_TRUE(test::isNear(picture->meanColour(0.1, 0.1, 0.4, 0.4), kRed));
        EXPECT_TRUE(test::isNear(picture->meanColour(0.6, 0.6, 0.9, 0.9), kYellow));
        EXPECT_EQ(permissions(destination), 0600u);
    }

    TEST(MediaPreviews, CopyReplacesAnOlderCopy)
    {
        test::TemporaryFolder folder;
        auto photo = test::makeQuadrantHEIC(folder / "photo.heic", 64, 64);
        auto destination = folder / "photo-preview.jpg";
        std::ofstream(destination) << "an older copy";
        ::chmod(destination.c_str(), 0644);

        ASSERT_TRUE(MediaPreviews::jpegCopy(photo, destination));

        EXPECT_TRUE(test::readPicture(destination));
        EXPECT_EQ(permissions(destination), 0600u);
    }

    TEST(MediaPreviews, CopyOfWhatIsNoPhotoWritesNothing)
    {
        test::TemporaryFolder folder;
        std::ofstream(folder / "notes.heic") << "not a photo at all";
        std::ofstream(folder / "empty.heic");

        for (const char* name : { "notes.heic", "empty.heic", "missing.heic" }) {
            SCOPED_TRACE(name);
            auto destination = folder / (std::string(name) + "-preview.jpg");
            EXPECT_FALSE(MediaPreviews::jpegCopy(folder / name, destination));
            EXPECT_FALSE(fs::exists(destination));
        }
    }

    TEST(MediaPreviews, CopyThatCannotBeWrittenLeavesNoFile)
    {
        test::TemporaryFolder folder;
        auto photo = test::makeQuadrantHEIC(folder / "photo.heic", 64, 64);
        std::ofstream(folder / "plain-file") << "in the way of a folder";
        auto destination = folder / "plain-file" / "photo-preview.jpg";

        EXPECT_FALSE(MediaPreviews::jpegCopy(photo, destination));

        EXPECT_EQ(test::readFile(folder / "plain-file"), "in the way of a folder");
        EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 2);
    }

    TEST(MediaPreviews, TakesFourFramesOfATenSecondVideoAtItsSampleTimes)
    {
        test::TemporaryFolder folder;
        auto video = test::makeColourVideo(folder / "clip.mp4", {});
        auto frames = folder / "clip-frames";

        auto written = MediaPreviews::videoFrames(video, frames);

        ASSERT_EQ(written, frameFiles(frames, { 1, 2, 3, 4 }));
        EXPECT_EQ(permissions(frames), 0700u);
        const Colour expected[] = { kRed, kLime, kBlue, kYellow };
        for (std::size_t index = 0; index < written.size(); ++index) {
            SCOPED_TRACE(written[index].filename().string());
            std::string format;
            auto picture = test::readPicture(written[index], &format);
            ASSERT_TRUE(picture);
            EXPECT_EQ(format, "JPEG");
            EXPECT_EQ(picture->width, 768);
            EXPECT_EQ(picture->height, 432);
            EXPECT_TRUE(test::isNear(picture->meanColour(0, 0, 1, 1), expected[index]));
            EXPECT_EQ(permissions(written[index]), 0600u);
        }
    }

    TEST(MediaPreviews, FrameTimesFollowTheDuration)
    {
        // Twenty short black segments, coloured only where an eighth, three eighths, five eighths
        // and seven eighths of the duration fall, so a frame from any other time shows black.
        test::TemporaryFolder folder;
        for (double duration : { 10.0, 4.0 }) {
            SCOPED_TRACE(duration);
            test::VideoRecipe recipe {
                .width = 160, .height = 120, .colours = {}, .segmentSeconds = duration / 20
            };
            for (int segment = 0; segment < 20; ++segment)
                recipe.colours.push_back(segment == 2 ? "red"
                        : segment == 7                ? "lime"
                        : segment == 12               ? "blue"
                        : segment == 17               ? "yellow"
                                                      : "black");
            auto video = test::makeColourVideo(folder / "timed.mp4", recipe);

            auto written = MediaPreviews::videoFrames(video, folder / "timed-frames");

            ASSERT_EQ(written.size(), 4u);
            const Colour expected[] = { kRed, kLime, kBlue, kYellow };
            for (std::size_t index = 0; index < written.size(); ++index) {
                SCOPED_TRACE(index);
                Colour colour = wholeColour(written[index]);
                EXPECT_TRUE(test::isNear(colour, expected[index]));
                EXPECT_FALSE(test::isNear(colour, kBlack));
            }
        }
    }

    TEST(MediaPreviews, FramesOfARotatedVideoStandUpright)
    {
        test::TemporaryFolder folder;
        auto stored = test::makeQuadrantVideo(folder / "stored.mp4", 1280, 720, 4);
        auto rotated = test::withRotationTag(stored, folder / "portrait.mp4", 90);
        ASSERT_TRUE(test::runTool({ "ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", rotated.string(),
            "-frames:v", "1", (folder / "reference.png").string() }));
        auto reference = test::readPicture(folder / "reference.png");
        ASSERT_TRUE(reference);
        ASSERT_GT(reference->height, reference->width);

        auto written = MediaPreviews::videoFrames(rotated, folder / "portrait-frames");

        ASSERT_EQ(written.size(), 4u);
        for (const auto& file : written) {
            SCOPED_TRACE(file.filename().string());
            auto picture = test::readPicture(file);
            ASSERT_TRUE(picture);
            EXPECT_EQ(picture->width, 432);
            EXPECT_EQ(picture->height, 768);
            for (auto [x, y] : { std::pair { 0.1, 0.1 }, { 0.6, 0.1 }, { 0.1, 0.6 }, { 0.6, 0.6 } })
                EXPECT_TRUE(test::isNear(picture->meanColour(x, y, x + 0.3, y + 0.3),
                    reference->meanColour(x, y, x + 0.3, y + 0.3)));
        }
    }

    TEST(MediaPreviews, VideoWithoutFramesGivesNoFramesAndNoFolder)
    {
        test::TemporaryFolder folder;
        auto real = test::makeColourVideo(folder / "real.mp4", { .width = 160, .height = 120 });
        std::string bytes = test::readFile(real);
        std::ofstream(folder / "damaged.mp4", std::ios::binary) << bytes.substr(bytes.size() / 2);
        std::ofstream(folder / "words.mov") << "not a video";
        ASSERT_TRUE(test::runTool({ "ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
            "color=c=red:s=64x64:d=1", "-frames:v", "0", (folder / "nothing.mp4").string() }));

        for (const char* name : { "damaged.mp4", "words.mov", "nothing.mp4", "missing.mp4" }) {
            SCOPED_TRACE(name);
            auto frames = folder / (std::string(name) + "-frames");
            EXPECT_TRUE(MediaPreviews::videoFrames(folder / name, frames).empty());
            EXPECT_FALSE(fs::exists(frames));
        }
    }

    TEST(MediaPreviews, SkipsAFrameThatCannotBeWrittenAndKeepsTheOthers)
    {
        test::TemporaryFolder folder;
        auto video = test::makeColourVideo(folder / "clip.mp4", { .width = 160, .height = 120 });
        auto frames = folder / "clip-frames";
        // A folder with content where the second frame would go: no file can replace it.
        fs::create_directories(frames / MediaPreviews::frameFileName(2) / "inside");

        auto written = MediaPreviews::videoFrames(video, frames);

        EXPECT_EQ(written, frameFiles(frames, { 1, 3, 4 }));
        EXPECT_TRUE(fs::is_directory(frames / MediaPreviews::frameFileName(2) / "inside"));
        EXPECT_TRUE(test::isNear(wholeColour(written[1]), kBlue));
    }

    TEST(MediaPreviews, FramesWrittenAgainReplaceTheOldOnes)
    {
        test::TemporaryFolder folder;
        auto frames = folder / "clip-frames";
        auto first = test::makeColourVideo(folder / "first.mp4", { .width = 160, .height = 120 });
        auto second = test::makeColourVideo(folder / "second.mp4",
            { .width = 160, .height = 120, .colours = { "yellow", "blue", "lime", "red" } });

        ASSERT_EQ(MediaPreviews::videoFrames(first, frames).size(), 4u);
        ASSERT_EQ(MediaPreviews::videoFrames(second, frames).size(), 4u);

        EXPECT_TRUE(test::isNear(wholeColour(frames / "frame-1.jpg"), kYellow));
        EXPECT_TRUE(test::isNear(wholeColour(frames / "frame-4.jpg"), kRed));
        EXPECT_EQ(std::distance(fs::directory_iterator(frames), fs::directory_iterator()), 4);
    }

}
}
