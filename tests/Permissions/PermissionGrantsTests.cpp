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
    grants.add("c1", "/u/p/.claude/skills");
    grants.add("c1", "/u/notes.txt");
    grants.add("c2", "/u/p");
    grants.add("c3", "");
    grants.add("c3", "/");
    grants.remove("c2");
    grants.remove("unknown");
    struct Case {
        std::string key, file;
        bool covered;
    };
    for (const auto& c :
        std::vector<Case> { { "c1", "/u/p/.claude/skills/x/SKILL.md", true }, { "c1", "/u/notes.txt", true },
            { "c1", "/u/notes.txt.bak", false }, { "c1", "/u/p/.claude", false }, { "c2", "/u/p/x", false },
            { "c4", "/u/notes.txt", false }, { "c3", "/u/notes.txt", false }, { "c3", "/", false } }) {
        SCOPED_TRACE(c.key + " " + c.file);
        EXPECT_EQ(grants.covers(c.key, c.file), c.covered);
    }
}

TEST(PermissionGrants, AddsAndChecksFromManyThreadsAtOnce)
{
    PermissionGrants grants;
    std::atomic<int> uncovered { 0 };
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 8; ++thread) {
        threads.emplace_back([&, thread] {
            const std::string key = "c" + std::to_string(thread % 2);
            for (int index = 0; index < 200; ++index) {
                std::string scope = "/F/" + std::to_string(thread) + "/" + std::to_string(index);
                grants.add(key, scope);
                uncovered += grants.covers(key, scope + "/file.txt") ? 0 : 1;
                if (index % 50 == 0)
                    grants.remove("other");
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(uncovered.load(), 0);
    EXPECT_TRUE(grants.covers("c1", "/F/7/199/file.txt"));
    EXPECT_FALSE(grants.covers("c0", "/F/7/199/file.txt"));
}
