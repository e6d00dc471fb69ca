// A bounded set of worker threads for file-system checks that may hang (network volumes, pending
// privacy prompts), so that a hung check costs the caller a time-out and never an unbounded thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>

namespace vellumar {

class ProbePool {
public:
    static constexpr std::size_t defaultWorkerLimit = 64;

    // The process-wide pool that resolvers use unless given another one.
    static std::shared_ptr<ProbePool> shared();

    explicit ProbePool(std::size_t workerLimit = defaultWorkerLimit);
    // Idle workers end; busy ones end after their current work. Never waits for a hung worker.
    ~ProbePool();
    ProbePool(const ProbePool&) = delete;
    ProbePool& operator=(const ProbePool&) = delete;

    // Runs `work` on an idle worker, or on a new one while fewer than the limit exist. Returns
    // false, without running it, when every worker is busy or no thread could be started. An
    // exception that leaves `work` is dropped. Any thread may call it.
    bool submit(std::function<void()> work);

private:
    struct State;
    std::shared_ptr<State> m_state;
};

// The meeting point of a caller waiting for a probe and the worker running its body. Both hold
// it through a shared_ptr, so a worker that finishes after the caller gave up writes into a box
// that nobody reads any more, and the box goes with the last of them.
template <typename T> class ProbeBox {
public:
    using Result = std::variant<T, std::exception_ptr>;

    void finish(Result result)
    {
        {
            std::lock_guard lock(m_mutex);
            m_result.emplace(std::move(result));
        }
        m_finished.notify_all();
    }

    // The body's value or error, or nullopt when it has not finished by the deadline.
    template <typename Clock, typename Duration>
    std::optional<Result> waitUntil(const std::chrono::time_point<Clock, Duration>& deadline)
    {
        std::unique_lock lock(m_mutex);
        if (!m_finished.wait_until(lock, deadline, [this] { return m_result.has_value(); }))
            return std::nullopt;
        return std::move(m_result);
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_finished;
    std::optional<Result> m_result;
};

}
