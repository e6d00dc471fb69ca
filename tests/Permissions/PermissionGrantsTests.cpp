#include "VellumarMacCore/Permissions/PermissionGrants.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace vellumar;

TEST(PermissionGrants, CoversWhatWasGrantedForTheSameConversationOnly)
{
    PermissionGrants grants;
    for (const auto& [key, scope] :
        std::vector<std::pair<std::string, std::string>> { { "c1", "/u/p/.claude/skills" },
            { "c1", "/u/notes.txt" }, { "c2", "/u/p" }, { "c3", "" }, { "c3", "/" } })
        grants.add(key, scope);
    grants.remove("c2");
    grants.remove("unknown");
    for (const auto& [key, file] : std::vector<std::pair<std::string, std::string>> {
             { "c1", "/u/p/.claude/skills/x/SKILL.md" }, { "c1", "/u/notes.txt" } })
        EXPECT_TRUE(grants.covers(key, file)) << key << " " << file;
    for (const auto& [key, file] : std::vector<std::pair<std::string, std::string>> {
             { "c1", "/u/notes.txt.bak" }, { "c1", "/u/p/.claude" }, { "c2", "/u/p/x" },
             { "c4", "/u/notes.txt" }, { "c3", "/u/notes.txt" }, { "c3", "/" } })
        EXPECT_FALSE(grants.covers(key, file)) << key << " " << file;
}

TEST(PermissionGrants, AddsAndChecksFromManyThreadsAtOnce)
{
    PermissionGrants grants;
    std::atomic<int> uncovered { 0 };
    std::vector<std::jthread> threads;
    for (int thread = 0; thread < 8; ++thread) {
        threads.emplace_back([&, thread] {
            for (int index = 0; index < 200; ++index) {
                std::string scope = "/F/" + std::to_string(thread) + "/" + std::to_string(index);
                grants.add("c" + std::to_string(thread % 2), scope);
                uncovered += grants.covers("c" + std::to_string(thread % 2), scope + "/file.txt") ? 0 : 1;
                if (index % 50 == 0)
                    grants.remove("other");
            }
        });
    }
    threads.clear();
    EXPECT_EQ(uncovered.load(), 0);
    EXPECT_TRUE(grants.covers("c1", "/F/7/199/file.txt"));
    EXPECT_FALSE(grants.covers("c0", "/F/7/199/file.txt"));
}
