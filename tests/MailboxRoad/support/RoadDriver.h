// One end of the two-process mailbox road as the test sees it: a driver program kept running, its
// commands answered in JSON lines, and the events it writes between answers kept in arrival order.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"
#include "tests/support/InteractivePeer.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vellumar::test {

class RoadDriver {
public:
    // Starts `argv`; a thread reads its output from then on, so a busy driver never blocks on a full pipe.
    explicit RoadDriver(const std::vector<std::string>& argv);
    // Ends the driver as kill -9 would, when it still runs.
    ~RoadDriver();
    RoadDriver(const RoadDriver&) = delete;
    RoadDriver& operator=(const RoadDriver&) = delete;

    // Sends the command with a fresh id and answers the line that repeats it; null when the driver
    // ended or `deadlineSeconds` passed first (a guard against a hang, not a measurement).
    JSON call(JSON::Object command, double deadlineSeconds = 120);
    // The first event named `name` at or after position `from` for which `holds` is true, waiting for
    // it up to `deadlineSeconds`; its position is in `position` when given.
    std::optional<JSON> awaitEvent(std::string_view name, const std::function<bool(const JSON&)>& holds = {},
        double deadlineSeconds = 60, std::size_t from = 0, std::size_t* position = nullptr);
    // Every event so far, in arrival order.
    std::vector<JSON> events() const;
    std::size_t eventCount() const;
    // The "line" of every "log" event so far that equals `line`.
    long logCount(std::string_view line) const;
    // Waits for the driver to end by itself; its exit status, or 128 + the signal that ended it. A driver
    // still running after `deadlineSeconds` is killed, and the answer is -1.
    int awaitExit(double deadlineSeconds = 120);
    // Closes the driver's input, which ends it in order, and answers awaitExit().
    int finish();
    // The "line" of every "log" event so far, one a line, for a failure's message.
    std::string logText() const;

private:
    void read();

    InteractivePeer m_peer;
    mutable std::mutex m_lock;
    std::condition_variable m_arrived;
    std::vector<JSON> m_events;
    std::vector<JSON> m_answers;
    bool m_ended = false;
    std::int64_t m_lastID = 0;
    std::jthread m_reader;
};

}
