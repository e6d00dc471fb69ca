#include "Platform/Updater.h"

#include "Platform/Crypto.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UpdateFeedServer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

namespace vellumar::platform {
namespace {

    using test::UpdateFeedServer;
    using test::UpdateSigningKey;

    UpdateError::Kind failureOf(const std::function<void()>& work)
    {
        try {
            work();
        } catch (const UpdateError& error) {
            return error.kind();
        }
        ADD_FAILURE() << "no UpdateError";
        return UpdateError::Kind::file;
    }

    // The rest of the gate's table runs through the Updater that stands on it.
    TEST(UpdatePublicKey, RefusesWhatStrictStandardBase64DoesNotRead)
    {
        std::string key32 = base64Encode(std::vector<std::uint8_t>(32, 0xff));
        std::string urlSafe = key32;
        std::replace(urlSafe.begin(), urlSafe.end(), '/', '_');
        const struct {
            const char* name;
            nlohmann::json value;
            bool accepted;
        } cases[] = {
            { "a list", nlohmann::json::array({ key32 }), false },
            { "a line break inside", key32.substr(0, 20) + "\n" + key32.substr(20), false },
            { "URL-safe alphabet", urlSafe, false },
            { "without padding", key32.substr(0, key32.size() - 1), false },
            { "standard", key32, true },
        };
        for (const auto& entry : cases)
            EXPECT_EQ(updatePublicKey(&entry.value).has_value(), entry.accepted) << entry.name;
    }

    TEST(UpdateVersions, CompareNumberByNumber)
    {
        struct Case {
            const char* lhs;
            const char* rhs;
            std::optional<int> order;
        } cases[] = {
            { "1.10", "1.9", 1 },
            { "1.2", "1.2.0", 0 },
            { "1.2", "1.2.1", -1 },
            { "2.0.0", "2.0.0", 0 },
            { "1.2.x", "1.2", std::nullopt },
            { "", "1", std::nullopt },
            { "1..2", "1", std::nullopt },
            { "1.2.", "1", std::nullopt },
            { "-1", "1", std::nullopt },
        };
        for (const auto& entry : cases) {
            SCOPED_TRACE(std::string(entry.lhs) + " vs " + entry.rhs);
            EXPECT_EQ(compareVersions(entry.lhs, entry.rhs), entry.order);
        }
    }

    class UpdateDownload : public ::testing::Test {
    protected:
        UpdateSigningKey key;
        UpdateFeedServer server;
        test::TemporaryFolder downloads;
        std::string package = std::string(100'000, 'p') + "the new Vellumar";
    };

    TEST_F(UpdateDownload, KeepsAPackageSignedByTheKeyPrivately)
    {
        server.publish("3.1.0", "vellumar_3.1.0_amd64.deb", package, key);
        UpdateItem item = fetchUpdateFeed(server.feedURL());
        EXPECT_EQ(item.version, "3.1.0");
        EXPECT_EQ(item.sizeBytes, package.size());
        auto file = downloadUpdate(item, key.publicKey(), downloads / "updates");
        EXPECT_EQ(file, downloads / "updates" / "vellumar_3.1.0_amd64.deb");
        EXPECT_EQ(test::readFile(file), package);
        struct stat status { };
        ASSERT_EQ(::stat(file.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0600u);
    }

    TEST_F(UpdateDownload, RefusesAFlippedByteAnotherKeyAndMoreThanTheStatedSize)
    {
        server.publish("3.1.0", "update.deb", package, key);
        UpdateItem item = fetchUpdateFeed(server.feedURL());
        UpdateSigningKey other;
        EXPECT_EQ(failureOf([&] { downloadUpdate(item, other.publicKey(), downloads / "updates"); }),
            UpdateError::Kind::badSignature);

        std::string flipped = package;
        flipped[50'000] ^= 0x01;
        server.put("update.deb", flipped);
        EXPECT_EQ(failureOf([&] { downloadUpdate(item, key.publicKey(), downloads / "updates"); }),
            UpdateError::Kind::badSignature);

        server.put("update.deb", package + "x");
        EXPECT_EQ(failureOf([&] { downloadUpdate(item, key.publicKey(), downloads / "updates"); }),
            UpdateError::Kind::tooLarge);

        item.url = server.url("missing.deb");
        EXPECT_EQ(failureOf([&] { downloadUpdate(item, key.publicKey(), downloads / "updates"); }),
            UpdateError::Kind::network);
        EXPECT_FALSE(std::filesystem::exists(downloads / "updates" / "update.deb"));
        EXPECT_FALSE(std::filesystem::exists(downloads / "updates" / "missing.deb"));
    }

    TEST_F(UpdateDownload, RefusesFeedsAPublisherWouldNotMake)
    {
        std::string signature = base64Encode(std::vector<std::uint8_t>(64, 1));
        std::string url = server.url("p.deb");
        struct Case {
            const char* name;
            std::string feed;
            UpdateError::Kind kind;
        } cases[] = {
            { "not JSON", "<html>", UpdateError::Kind::malformedFeed },
            { "a list", "[]", UpdateError::Kind::malformedFeed },
            { "no signature", R"({"version":"1.0","url":")" + url + R"(","size":3})",
                UpdateError::Kind::malformedFeed },
            { "short signature",
                R"({"version":"1.0","url":")" + url + R"(","size":3,"signature":")"
                    + base64Encode(std::vector<std::uint8_t>(63, 1)) + "\"}",
                UpdateError::Kind::malformedFeed },
            { "negative size",
                R"({"version":"1.0","url":")" + url + R"(","size":-3,"signature":")" + signature + "\"}",
                UpdateError::Kind::malformedFeed },
            { "a word for a version",
                R"({"version":"latest","url":")" + url + R"(","size":3,"signature":")" + signature + "\"}",
                UpdateError::Kind::malformedFeed },
            { "one byte over 64 KiB", std::string(kUpdateFeedLimitBytes + 1, ' ') + "{}",
                UpdateError::Kind::malformedFeed },
        };
        for (const auto& entry : cases) {
            SCOPED_TRACE(entry.name);
            server.put("feed.json", entry.feed);
            EXPECT_EQ(failureOf([&] { fetchUpdateFeed(server.feedURL()); }), entry.kind);
        }
        EXPECT_EQ(
            failureOf([&] { fetchUpdateFeed(server.url("nowhere.json")); }), UpdateError::Kind::network);
        EXPECT_EQ(failureOf([&] { fetchUpdateFeed("file:///etc/passwd"); }), UpdateError::Kind::network);
    }

    TEST_F(UpdateDownload, AFeedOfExactly64KiBIsRead)
    {
        std::string feed = server.publish("3.1.0", "p.deb", "abc", key);
        server.put("feed.json", std::string(kUpdateFeedLimitBytes - feed.size(), ' ') + feed);
        EXPECT_EQ(fetchUpdateFeed(server.feedURL()).version, "3.1.0");
    }

}
}
