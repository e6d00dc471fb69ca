#include "tests/MailboxRoad/support/RoadDriver.h"

#include <algorithm>
#include <chrono>

namespace vellumar::test {

namespace {

    std::chrono::steady_clock::time_point after(double seconds)
    {
        return std::chrono::steady_clock::now()
            + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(seconds));
    }

    bool named(const JSON& event, std::string_view name)
    {
        const auto* member = event.subscript("event");
        return member && member->stringValue() && *member->stringValue() == name;
    }

}

RoadDriver::RoadDriver(const std::vector<std::string>& argv)
    : m_peer(argv)
    , m_reader([this] { read(); })
{
}

RoadDriver::~RoadDriver()
{
    m_peer.closeInput();
    m_peer.kill();
    m_reader.join();
}

void RoadDriver::read()
{
    // A day stands for no deadline: the program's end (or its kill) ends the output.
    while (auto line = m_peer.readLine(86'400)) {
        auto decoded = JSON::decode(*line).value_or(JSON::object({ { "event", "text" }, { "line", *line } }));
        std::lock_guard lock(m_lock);
        (decoded.subscript("event") ? m_events : m_answers).push_back(std::move(decoded));
        m_arrived.notify_all();
    }
    std::lock_guard lock(m_lock);
    m_ended = true;
    m_arrived.notify_all();
}

JSON RoadDriver::call(JSON::Object command, double deadlineSeconds)
{
    std::int64_t id = 0;
    {
        std::lock_guard lock(m_lock);
        id = ++m_lastID;
    }
    command.insert_or_assign("id", JSON(static_cast<long long>(id)));
    if (!m_peer.send(JSON(std::move(command)).encoded() + "\n"))
        return JSON();
    std::unique_lock lock(m_lock);
    auto answer = [&] {
        return std::find_if(m_answers.begin(), m_answers.end(), [&](const JSON& line) {
            const auto* repeated = line.subscript("id");
            return repeated && repeated->intValue() == id;
        });
    };
    m_arrived.wait_until(
        lock, after(deadlineSeconds), [&] { return m_ended || answer() != m_answers.end(); });
    auto found = answer();
    return found == m_answers.end() ? JSON() : *found;
}

std::optional<JSON> RoadDriver::awaitEvent(std::string_view name,
    const std::function<bool(const JSON&)>& holds, double deadlineSeconds, std::size_t from,
    std::size_t* position)
{
    std::unique_lock lock(m_lock);
    std::optional<JSON> found;
    auto look = [&] {
        for (auto index = from; index < m_events.size(); ++index) {
            if (named(m_events[index], name) && (!holds || holds(m_events[index]))) {
                found = m_events[index];
                if (position)
                    *position = index;
                return true;
            }
        }
        return m_ended;
    };
    m_arrived.wait_until(lock, after(deadlineSeconds), look);
    return found;
}

std::vector<JSON> RoadDriver::events() const
{
    std::lock_guard lock(m_lock);
    return m_events;
}

std::size_t RoadDriver::eventCount() const
{
    std::lock_guard lock(m_lock);
    return m_events.size();
}

long RoadDriver::logCount(std::string_view line) const
{
    std::lock_guard lock(m_lock);
    return std::count_if(m_events.begin(), m_events.end(), [&](const JSON& event) {
        const auto* text = event.subscript("line");
        return named(event, "log") && text && text->stringValue() && *text->stringValue() == line;
    });
}

int RoadDriver::awaitExit(double deadlineSeconds)
{
    bool ended = false;
    {
        std::unique_lock lock(m_lock);
        ended = m_arrived.wait_until(lock, after(deadlineSeconds), [&] { return m_ended; });
    }
    if (!ended)
        m_peer.kill();
    int status = m_peer.wait();
    return ended ? status : -1;
}

std::string RoadDriver::logText() const
{
    std::lock_guard lock(m_lock);
    std::string text;
    for (const auto& event : m_events) {
        const auto* line = event.subscript("line");
        if (named(event, "log") && line && line->stringValue())
            text += *line->stringValue() + "\n";
    }
    return text;
}

int RoadDriver::finish()
{
    m_peer.closeInput();
    return awaitExit();
}

}
