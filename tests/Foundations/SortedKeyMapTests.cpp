#include "VellumarMacCore/Foundations/SortedKeyMap.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using Map = vellumar::SortedKeyMap<int>;

namespace {

std::vector<std::pair<std::string, int>> members(const Map& map) { return { map.begin(), map.end() }; }

TEST(SortedKeyMap, KeepsTheFirstOrTheLastOfRepeatedKeysAsAsked)
{
    // Unsorted, sorted, and runs of one key at the start, middle and end.
    const std::vector<std::pair<std::string, int>> input
        = { { "b", 1 }, { "a", 2 }, { "b", 3 }, { "a", 4 }, { "c", 5 }, { "c", 6 }, { "c", 7 } };
    EXPECT_EQ(members(Map(input, Map::RepeatedKey::keepFirst)),
        (std::vector<std::pair<std::string, int>> { { "a", 2 }, { "b", 1 }, { "c", 5 } }));
    EXPECT_EQ(members(Map(input, Map::RepeatedKey::keepLast)),
        (std::vector<std::pair<std::string, int>> { { "a", 4 }, { "b", 3 }, { "c", 7 } }));
    EXPECT_EQ(
        members(Map({ { "x", 1 }, { "x", 2 } })), (std::vector<std::pair<std::string, int>> { { "x", 1 } }));
}

TEST(SortedKeyMap, OrdersKeysByUnsignedBytes)
{
    // A byte from 0x80 on sorts after every ASCII one, whatever the signedness of char; a prefix comes first.
    Map map({ { "\xC3\xA9", 1 }, { "z", 2 }, { "", 3 }, { "zz", 4 }, { std::string("\0", 1), 5 } });
    std::vector<std::string> keys;
    for (const auto& [key, value] : map)
        keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string> { "", std::string("\0", 1), "z", "zz", "\xC3\xA9" }));
    EXPECT_EQ(map.at("\xC3\xA9"), 1);
    EXPECT_EQ(map.count(std::string_view("\0", 1)), 1u);
}

TEST(SortedKeyMap, ChangesKeepTheOrderAndAnswerAsStdMapDoes)
{
    Map map;
    EXPECT_TRUE(map.try_emplace("m", 1).second);
    EXPECT_FALSE(map.try_emplace("m", 2).second);
    EXPECT_FALSE(map.insert({ "m", 3 }).second);
    EXPECT_FALSE(map.insert_or_assign("m", 4).second);
    map["a"] = 5;
    map.insert_or_assign("z", 6);
    EXPECT_EQ(
        members(map), (std::vector<std::pair<std::string, int>> { { "a", 5 }, { "m", 4 }, { "z", 6 } }));
    EXPECT_EQ(map.erase("m"), 1u);
    EXPECT_EQ(map.erase("m"), 0u);
    EXPECT_EQ(erase_if(map, [](const auto& member) { return member.second == 6; }), 1u);
    EXPECT_EQ(members(map), (std::vector<std::pair<std::string, int>> { { "a", 5 } }));
    const Map more({ { "b", 7 }, { "a", 8 } });
    map.insert(more.begin(), more.end());
    EXPECT_EQ(members(map), (std::vector<std::pair<std::string, int>> { { "a", 5 }, { "b", 7 } }));
    EXPECT_EQ(map.find("c"), map.end());
    EXPECT_THROW(static_cast<void>(map.at("c")), std::out_of_range);
}

}
