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
    grants.add("c1", "/u/notes.txt");
    grants.add("c2", "/u/p");
    grants.add("c3", "/");
    grants.remove("c2");
    EXPECT_TRUE(grants.covers("c1", "/u/notes.txt"));
    for (const auto& [key, file] : std::vector<std::pair<std::string, std::string>> {
             { "c1", "/u/notes.txt.bak" }, { "c2", "/u/p/x" }, { "c4", "/u/notes.txt" }, { "c3", "/u/x" } })
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
                grants.add("c", scope);
                uncovered += grants.covers("c", scope + "/file.txt") ? 0 : 1;
                grants.remove("other");
            }
        });
    }
    threads.clear();
    EXPECT_EQ(uncovered.load(), 0);
}
