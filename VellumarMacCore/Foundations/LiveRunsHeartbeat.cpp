#include "VellumarMacCore/Foundations/LiveRunsHeartbeat.h"

#include "Platform/Log.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"

#include <charconv>
#include <ctime>
#include <exception>
#include <string_view>
#include <system_error>
#include <utility>

namespace vellumar {

namespace {

    namespace fs = std::filesystem;

    // Far beyond a beat's few dozen bytes.
    constexpr std::size_t kBeatBytesLimit = 256;

    std::chrono::nanoseconds clockTime(clockid_t clock)
    {
        timespec time {};
        ::clock_gettime(clock, &time);
        return std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec);
    }

    std::string bootID()
    {
        std::string id = readPrivateFile("/proc/sys/kernel/random/boot_id", kBeatBytesLimit);
        return id.substr(0, id.find('\n'));
    }

    std::optional<std::chrono::nanoseconds> number(std::string_view text)
    {
        long long value = 0;
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || end != text.data() + text.size())
            return std::nullopt;
        return std::chrono::nanoseconds(value);
    }

}

LiveRunsHeartbeat::Beat LiveRunsHeartbeat::now()
{
    // The wall clock read between two reads of the boot clock, of a few tries the closest two: a
    // thread preempted between the reads would otherwise show as a setting of the wall clock.
    constexpr int kTries = 4;
    Beat beat { bootID(), {}, {} };
    auto closest = std::chrono::nanoseconds::max();
    for (int attempt = 0; attempt < kTries; ++attempt) {
        auto before = clockTime(CLOCK_BOOTTIME);
        auto wallTime = clockTime(CLOCK_REALTIME);
        auto after = clockTime(CLOCK_BOOTTIME);
        if (after - before < closest) {
            closest = after - before;
            beat.wallTime = wallTime;
            beat.bootTime = before + closest / 2;
        }
    }
    return beat;
}

void LiveRunsHeartbeat::write(const Beat& beat, const fs::path& file)
{
    writePrivateFile(beat.bootID + " " + std::to_string(beat.wallTime.count()) + " "
            + std::to_string(beat.bootTime.count()) + "\n",
        file, Durability::untilRestart);
}

std::optional<LiveRunsHeartbeat::Beat> LiveRunsHeartbeat::read(const fs::path& file)
{
    const std::string bytes = readPrivateFile(file, kBeatBytesLimit);
    std::string_view text = bytes;
    if (!text.ends_with('\n'))
        return std::nullopt;
    text.remove_suffix(1);
    const auto first = text.find(' ');
    const auto second = text.find(' ', first + 1);
    if (first == std::string_view::npos || second == std::string_view::npos)
        return std::nullopt;
    auto wallTime = number(text.substr(first + 1, second - first - 1));
    auto bootTime = number(text.substr(second + 1));
    if (!wallTime || !bootTime)
        return std::nullopt;
    return Beat { std::string(text.substr(0, first)), *wallTime, *bootTime };
}

std::optional<std::chrono::nanoseconds> LiveRunsHeartbeat::commandsEndedBy(const fs::path& file)
{
    auto last = read(file);
    if (!last)
        return std::nullopt;
    auto ended = last->wallTime + margin;
    // Since boot, the wall clock minus the boot clock moves only when someone sets the wall clock; after
    // a reboot the two beats share no boot clock to tell it by.
    const Beat current = now();
    if (current.bootID == last->bootID) {
        auto setForward = (current.wallTime - current.bootTime) - (last->wallTime - last->bootTime);
        if (setForward > std::chrono::nanoseconds::zero())
            ended += setForward;
    }
    return ended;
}

LiveRunsHeartbeat::LiveRunsHeartbeat(fs::path file)
    : m_file(std::move(file))
{
    beat();
    m_thread = std::jthread([this](std::stop_token stop) {
        std::unique_lock lock(m_lock);
        while (!m_wake.wait_for(lock, stop, period, [] { return false; }) && !stop.stop_requested())
            beat();
    });
}

void LiveRunsHeartbeat::beat()
{
    try {
        write(now(), m_file);
        return;
    } catch (const std::exception& error) {
        std::error_code ignored;
        fs::remove(m_file, ignored);
        if (!std::exchange(m_failureLogged, true))
            platform::logError("The sign of life of the live runs, " + m_file.string()
                + ", could not be written (" + error.what()
                + "); after a kill, the next start puts back every change it finds there, the user's too.");
    }
}

}
