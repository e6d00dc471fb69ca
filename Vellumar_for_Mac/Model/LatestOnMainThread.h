// Values that come from other threads faster than the main thread should redraw: the main thread is
// woken for the first at once, then at most once per interval, and each time gets only the newest.
#pragma once

#include <QCoreApplication>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace vellumar {

// A callable that any thread may call with a value; copies share the waiting value.
template <typename Value> class LatestOnMainThread {
public:
    static constexpr std::chrono::milliseconds interval { 250 };

    // `apply` runs on the main thread, one value at a time.
    explicit LatestOnMainThread(std::function<void(Value)> apply)
        : m_state(std::make_shared<State>(std::move(apply)))
    {
    }

    // Keeps `value` in place of a waiting one, and wakes the main thread unless a wake or a
    // delivery's interval is already under way. Dropped when no application runs.
    void operator()(const Value& value) const
    {
        std::unique_lock lock(m_state->lock);
        m_state->waiting = value;
        QCoreApplication* application = QCoreApplication::instance();
        if (m_state->awake || !application)
            return;
        m_state->awake = true;
        lock.unlock();
        QMetaObject::invokeMethod(
            application, [state = m_state] { deliver(state); }, Qt::QueuedConnection);
    }

private:
    struct State {
        explicit State(std::function<void(Value)> applying)
            : apply(std::move(applying))
        {
        }
        const std::function<void(Value)> apply;
        std::mutex lock;
        std::optional<Value> waiting;
        // A wake is queued or an interval runs; a value that comes meanwhile waits for it.
        bool awake = false;
    };

    // Main thread: applies the waiting value and looks again one interval later; with none waiting,
    // the next value wakes the main thread anew.
    static void deliver(const std::shared_ptr<State>& state)
    {
        std::unique_lock lock(state->lock);
        if (!state->waiting) {
            state->awake = false;
            return;
        }
        Value value = std::move(*std::exchange(state->waiting, std::nullopt));
        lock.unlock();
        state->apply(std::move(value));
        QTimer::singleShot(interval, QCoreApplication::instance(), [state] { deliver(state); });
    }

    std::shared_ptr<State> m_state;
};

}
