// The host's time zone as the application hands it to the core: asked from many threads at once, and
// asked anew after the host's zone changed.
#include "Vellumar_for_Mac/Model/HostTimeZone.h"

#include "VellumarMacCore/Schedule/ZonedCalendar.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <latch>
#include <optional>
#include <thread>
#include <vector>

using namespace vellumar;

namespace {

std::string identifier(const std::unique_ptr<icu::TimeZone>& zone)
{
    return zone ? timeZoneIdentifier(*zone) : "(none)";
}

}

// The routines' scheduler and the relay's workers ask at once, while the menu's dates have ICU find
// its default zone.
TEST(HostTimeZone, ThreadsAskingAtOnceWhileICUFindsItsDefaultAllGetTheSameZone)
{
    constexpr int kThreads = 8;
    constexpr int kCalls = 50;
    std::latch start(kThreads);
    std::vector<std::vector<std::string>> seen(kThreads);
    {
        std::vector<std::jthread> threads;
        for (int index = 0; index < kThreads; ++index)
            threads.emplace_back([&, index] {
                start.arrive_and_wait();
                for (int call = 0; call < kCalls; ++call)
                    seen[index].push_back(identifier(index % 2
                            ? hostTimeZone()
                            : std::unique_ptr<icu::TimeZone>(icu::TimeZone::createDefault())));
            });
    }
    const std::string expected = identifier(hostTimeZone());
    for (const auto& identifiers : seen)
        EXPECT_EQ(identifiers, std::vector<std::string>(kCalls, expected));
}

TEST(HostTimeZone, AChangeOfTheHostsZoneIsSeenWhileICUsDefaultKeepsTheFirst)
{
    const std::string first = identifier(std::unique_ptr<icu::TimeZone>(icu::TimeZone::createDefault()));
    const char* previous = std::getenv("TZ");
    const std::optional<std::string> saved = previous ? std::optional<std::string>(previous) : std::nullopt;
    for (const char* zone : { "Asia/Tokyo", "America/Sao_Paulo" }) {
        setenv("TZ", zone, 1);
        EXPECT_EQ(identifier(hostTimeZone()), zone);
    }
    EXPECT_EQ(identifier(std::unique_ptr<icu::TimeZone>(icu::TimeZone::createDefault())), first);
    if (saved)
        setenv("TZ", saved->c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}
