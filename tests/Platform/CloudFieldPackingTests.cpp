#include "Platform/CloudFieldPacking.h"

#include <gtest/gtest.h>

#include <limits>
#include <type_traits>

using namespace vellumar::platform;

namespace {

using Limits = std::numeric_limits<std::int64_t>;

CloudDate dateAt(std::int64_t nanoseconds)
{
    return CloudDate(std::chrono::duration_cast<CloudDate::duration>(std::chrono::nanoseconds(nanoseconds)));
}

// One field "k" of kind 0 holding "v", as version 1 packs it.
const CloudBytes kOneText { 1, 1, 1, 'k', 0, 1, 'v' };

CloudBytes with(CloudBytes bytes, std::size_t at, std::uint8_t value)
{
    bytes[at] = value;
    return bytes;
}

// The packing read back as it was packed, each asset as its name.
std::optional<CloudStoredFields> unpackCloudFields(const CloudBytes& packed)
{
    auto values = unpackCloudValues(packed, std::nullopt,
        [](const std::string& name) -> std::optional<CloudValue> { return CloudAsset { name }; });
    if (!values)
        return std::nullopt;
    CloudStoredFields stored;
    for (auto& [key, value] : *values) {
        stored.emplace(key,
            std::visit(
                [](auto& plain) -> CloudStoredValue {
                    if constexpr (std::is_same_v<std::decay_t<decltype(plain)>, CloudAsset>)
                        return CloudAssetName { plain.fileURL.string() };
                    else
                        return std::move(plain);
                },
                value));
    }
    return stored;
}

CloudBytes plus(CloudBytes bytes, std::initializer_list<std::uint8_t> more)
{
    bytes.insert(bytes.end(), more);
    return bytes;
}

}

TEST(CloudFieldPacking, ReadsBackEveryKindAtItsLimitsAndRefusesDamagedBytes)
{
    const CloudStoredFields everyKind {
        { "", std::string() },
        { "bytes", CloudBytes(70000, 0xff) },
        { "empty bytes", CloudBytes() },
        { "first", dateAt(Limits::min()) },
        { "last", dateAt(Limits::max()) },
        { "least", Limits::min() },
        { "most", Limits::max() },
        { std::string("text\0nul", 8), std::string("a\0\xff", 3) },
        { "asset", CloudAssetName { std::string(32, 'a') } },
    };
    const CloudBytes packed = packCloudFields(everyKind);
    EXPECT_EQ(unpackCloudFields(packed), everyKind);
    EXPECT_EQ(unpackCloudAssetNames(packed), std::vector { std::string(32, 'a') });
    EXPECT_EQ(unpackCloudFields(packCloudFields({})), CloudStoredFields {});
    EXPECT_EQ(unpackCloudFields(kOneText), (CloudStoredFields { { "k", std::string("v") } }));
    int assetsLookedFor = 0;
    auto assetFile = [&](const std::string& name) -> std::optional<CloudValue> {
        ++assetsLookedFor;
        return CloudAsset { "/assets/" + name };
    };
    EXPECT_EQ(unpackCloudValues(packed, std::set<std::string> { "asset", "most", "absent" }, assetFile),
        (std::map<std::string, CloudValue, std::less<>> {
            { "asset", CloudAsset { "/assets/" + std::string(32, 'a') } }, { "most", Limits::max() } }));
    auto withoutAssets
        = unpackCloudValues(packed, std::nullopt, [](const std::string&) { return std::nullopt; });
    EXPECT_EQ(withoutAssets ? withoutAssets->size() : 0, everyKind.size() - 1);

    struct Case {
        std::string name;
        CloudBytes bytes;
    };
    std::vector<Case> damaged {
        { "empty", {} },
        { "unknown version", with(kOneText, 0, 2) },
        { "count past the end", with(kOneText, 1, 100) },
        { "count one more than held", with(kOneText, 1, 2) },
        { "key length past the end", with(kOneText, 2, 9) },
        { "value length past the end", with(kOneText, 5, 2) },
        { "length of eleven groups",
            plus({ 1, 1, 1, 'k', 0 }, { 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00 }) },
        { "length past 64 bits",
            plus({ 1, 1, 1, 'k', 0 }, { 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02 }) },
        { "unknown kind", with(kOneText, 4, 5) },
        { "kind 255", with(kOneText, 4, 255) },
        { "keys out of order", { 1, 2, 1, 'k', 0, 0, 1, 'a', 0, 0 } },
        { "repeated key", { 1, 2, 1, 'k', 0, 0, 1, 'k', 0, 0 } },
        { "bytes left over", plus(kOneText, { 0 }) },
    };
    // Every cut of a packing of every kind, at every length short of the whole.
    for (std::size_t length = 0; length < packed.size(); length += length < 100 ? 1 : 997)
        damaged.push_back(
            { "cut to " + std::to_string(length), CloudBytes(packed.begin(), packed.begin() + length) });
    for (const auto& row : damaged) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(unpackCloudFields(row.bytes), std::nullopt);
        EXPECT_EQ(unpackCloudAssetNames(row.bytes), std::nullopt);
        EXPECT_EQ(unpackCloudValues(row.bytes, std::nullopt, assetFile), std::nullopt);
    }
    // Once for the whole packing; never for a damaged one, whose asset names are not to be trusted.
    EXPECT_EQ(assetsLookedFor, 1);
}
