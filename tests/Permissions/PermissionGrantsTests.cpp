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
    grants.add("c1", "/Users/u/p/.claude/skills");
    grants.add("c1", "/Users/u/notes.txt");
    grants.add("c3", "");
    grants.add("c3", "/");
    struct Case {
        std::string key;
        std::string file;
        bool covered;
    };
    for (const auto& testCase : std::vector<Case> {
             { "c1", "/Users/u/p/.claude/skills/x/SKILL.md", true },
             { "c1", "/Users/u/p/.claude/skills", true },
             { "c1", "/Users/u/notes.txt", true },
             { "c1", "/Users/u/notes.txt.bak", false },
             { "c1", "/Users/u/p/.claude/skillsets/x", false },
             { "c1", "/Users/u/p/.claude", false },
             { "c2", "/Users/u/notes.txt", false },
             { "", "/Users/u/notes.txt", false },
             { "c3", "/Users/u/notes.txt", false },
             { "c3", "/", false },
         }) {
        SCOPED_TRACE(testCase.key + " " + testCase.file);
        EXPECT_EQ(grants.covers(testCase.key, testCase.file), testCase.covered);
    }
}

TEST(PermissionGrants, RemovingAConversationForgetsOnlyItsGrants)
{
    PermissionGrants grants;
    grants.add("c1", "/F/a.txt");
    grants.add("c1", "/F/a.txt");
    grants.add("c2", "/F/a.txt");
    grants.remove("c1");
    EXPECT_FALSE(grants.covers("c1", "/F/a.txt"));
    EXPECT_TRUE(grants.covers("c2", "/F/a.txt"));
    grants.remove("unknown");
    grants.add("c1", "/G");
    EXPECT_TRUE(grants.covers("c1", "/G/b.txt"));
}

TEST(PermissionGrants, AddsAndChecksFromManyThreadsAtOnce)
{
    PermissionGrants grants;
    constexpr int kThreads = 8;
    constexpr int kGrantsEach = 200;
    std::atomic<int> uncovered { 0 };
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back([&, thread] {
            std::string key = "c" + std::to_string(thread % 2);
            for (int index = 0; index < kGrantsEach; ++index) {
                std::string scope = "/F/" + std::to_string(thread) + "/" + std::to_string(index);
                grants.add(key, scope);
                if (!grants.covers(key, scope + "/file.txt"))
                    ++uncovered;
                if (thread == 0 && index % 50 == 0)
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
