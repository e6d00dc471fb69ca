#include "Platform/DispatchQueue.h"

#include <atomic>
#include <cerrno>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vellumar::platform {

namespace {

    using Clock = std::chrono::steady_clock;
    using Work = std::function<void()>;

    [[noreturn]] void failSystem(const char* what)
    {
        throw std::system_error(errno, std::system_category(), what);
    }

    int openProcessDescriptor(int pid)
    {
        const long descriptor = syscall(SYS_pidfd_open, pid, 0);
        if (descriptor < 0)
            failSystem("pidfd_open");
        return static_cast<int>(descriptor);
    }

}

struct DispatchSource::State {
    Kind kind;
    int descriptor;
    bool ownsDescriptor;
    Work handler;
    Work cancelHandler;
    bool resumed = false;
    bool cancelled = false;

    std::uint32_t interest() const
    {
        if (cancelled || !resumed)
            return 0;
        return kind == Kind::writable ? EPOLLOUT : EPOLLIN;
    }
    // Hang-up and errors are reported whatever was asked for; whoever waits hears of them.
    bool firedBy(std::uint32_t events) const
    {
        return (events & (interest() | EPOLLHUP | EPOLLERR)) != 0 && interest() != 0;
    }
};

struct DispatchQueue::Loop {
    int epoll = -1;
    int wake = -1;
    std::thread thread;
    std::atomic<bool> stopped = false;

    std::mutex lock;
    std::deque<Work> work;
    std::multimap<Clock::time_point, Work> timers;
    // A descriptor may carry a read and a write source at once, but epoll takes it only once.
    std::map<int, std::vector<std::weak_ptr<DispatchSource::State>>> sources;
    std::map<int, std::uint32_t> registered;

    Loop()
        : epoll(epoll_create1(EPOLL_CLOEXEC))
        , wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        if (epoll < 0 || wake < 0)
            failSystem("epoll");
        epoll_event event { .events = EPOLLIN, .data = { .fd = wake } };
        epoll_ctl(epoll, EPOLL_CTL_ADD, wake, &event);
    }
    ~Loop()
    {
        ::close(wake);
        ::close(epoll);
    }

    void wakeUp()
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(wake, &one, sizeof one);
    }

    void post(Work item)
    {
        {
            std::lock_guard guard(lock);
            if (!stopped) {
                work.push_back(std::move(item));
                item = nullptr;
            }
        }
        // Destroyed outside the lock: it may hold what queues more work when it goes.
        item = nullptr;
        wakeUp();
    }

    void schedule(Clock::time_point due, Work item)
    {
        {
            std::lock_guard guard(lock);
            if (!stopped) {
                timers.emplace(due, std::move(item));
                item = nullptr;
            }
        }
        item = nullptr;
        wakeUp();
    }

    // Under `lock`: tells epoll what the live sources of `descriptor` wait for.
    void updateInterest(int descriptor)
    {
        std::uint32_t interest = 0;
        auto& list = sources[descriptor];
        std::erase_if(list, [](const auto& weak) { return weak.expired(); });
        for (const auto& weak : list)
            interest |= weak.lock()->interest();
        if (list.empty())
            sources.erase(descriptor);
        const auto found = registered.find(descriptor);
        epoll_event event { .events = interest, .data = { .fd = descriptor } };
        if (interest == 0) {
            // Left registered, a hung-up descriptor would wake the loop for nobody, forever.
            if (found != registered.end()) {
                epoll_ctl(epoll, EPOLL_CTL_DEL, descriptor, nullptr);
                registered.erase(found);
            }
        } else if (found == registered.end()) {
            epoll_ctl(epoll, EPOLL_CTL_ADD, descriptor, &event);
            registered[descriptor] = interest;
        } else if (found->second != interest) {
            epoll_ctl(epoll, EPOLL_CTL_MOD, descriptor, &event);
            found->second = interest;
        }
    }

    void fire(int descriptor, std::uint32_t events)
    {
        std::vector<std::shared_ptr<DispatchSource::State>> fired;
        {
            std::lock_guard guard(lock);
            if (auto found = sources.find(descriptor); found != sources.end()) {
                for (const auto& weak : found->second) {
                    if (auto state = weak.lock())
                        fired.push_back(std::move(state));
                }
            }
        }
        // Checked again before each call: an earlier handler may have suspended or cancelled a later one.
        for (const auto& state : fired) {
            bool due;
            {
                std::lock_guard guard(lock);
                due = !stopped && state->firedBy(events);
            }
            if (due)
                state->handler();
        }
    }

    // The next piece of work that is due; none when nothing is.
    Work nextDue(int& timeoutMillis)
    {
        std::lock_guard guard(lock);
        timeoutMillis = -1;
        if (!work.empty()) {
            Work item = std::move(work.front());
            work.pop_front();
            return item;
        }
        if (timers.empty())
            return {};
        const auto now = Clock::now();
        auto first = timers.begin();
        if (first->first <= now) {
            Work item = std::move(first->second);
            timers.erase(first);
            return item;
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(first->first - now);
        timeoutMillis = static_cast<int>(std::min<std::int64_t>(wait.count(), 60'000));
        return {};
    }

    void run()
    {
        epoll_event events[16];
        while (!stopped) {
            int timeoutMillis = -1;
            // Work and due timers first, then readiness without waiting while more work waits.
            for (int ran = 0; ran < 64 && !stopped; ++ran) {
                Work item = nextDue(timeoutMillis);
                if (!item)
                    break;
                item();
                timeoutMillis = 0;
            }
            if (stopped)
                break;
            const int count = epoll_wait(epoll, events, 16, timeoutMillis);
            for (int index = 0; index < count && !stopped; ++index) {
                if (events[index].data.fd == wake) {
                    std::uint64_t drained;
                    [[maybe_unused]] auto read = ::read(wake, &drained, sizeof drained);
                } else {
                    fire(events[index].data.fd, events[index].events);
                }
            }
        }
        std::deque<Work> leftWork;
        std::multimap<Clock::time_point, Work> leftTimers;
        {
            std::lock_guard guard(lock);
            leftWork.swap(work);
            leftTimers.swap(timers);
        }
    }
};

DispatchQueue::DispatchQueue(std::string_view label)
    : m_loop(std::make_shared<Loop>())
{
    m_loop->thread = std::thread([loop = m_loop] { loop->run(); });
    pthread_setname_np(m_loop->thread.native_handle(), std::string(label.substr(0, 15)).c_str());
}

DispatchQueue::~DispatchQueue()
{
    m_loop->stopped = true;
    m_loop->wakeUp();
    // Its last owner may let go from inside one of its own work items: the thread then ends by itself
    // once that item returns.
    if (m_loop->thread.get_id() == std::this_thread::get_id())
        m_loop->thread.detach();
    else if (m_loop->thread.joinable())
        m_loop->thread.join();
}

void DispatchQueue::async(std::function<void()> work) { m_loop->post(std::move(work)); }

void DispatchQueue::after(std::chrono::duration<double> delay, std::function<void()> work)
{
    m_loop->schedule(Clock::now() + std::chrono::duration_cast<Clock::duration>(delay), std::move(work));
}

DispatchSource::DispatchSource(DispatchQueue& queue, Kind kind, int identifier, std::function<void()> handler,
    std::function<void()> cancelHandler)
    : m_loop(queue.m_loop)
{
    const bool ownsDescriptor = kind == Kind::processExit;
    const int descriptor = ownsDescriptor ? openProcessDescriptor(identifier) : identifier;
    m_state = std::make_shared<State>(
        State { kind, descriptor, ownsDescriptor, std::move(handler), std::move(cancelHandler) });
    std::lock_guard guard(m_loop->lock);
    m_loop->sources[descriptor].push_back(m_state);
}

DispatchSource::~DispatchSource()
{
    {
        std::lock_guard guard(m_loop->lock);
        m_state->cancelled = true;
        const int descriptor = m_state->descriptor;
        auto& list = m_loop->sources[descriptor];
        std::erase_if(list, [this](const auto& weak) { return weak.lock() == m_state; });
        m_loop->updateInterest(descriptor);
    }
    if (m_state->ownsDescriptor)
        ::close(m_state->descriptor);
}

void DispatchSource::resume()
{
    std::lock_guard guard(m_loop->lock);
    m_state->resumed = true;
    m_loop->updateInterest(m_state->descriptor);
}

void DispatchSource::suspend()
{
    std::lock_guard guard(m_loop->lock);
    m_state->resumed = false;
    m_loop->updateInterest(m_state->descriptor);
}

void DispatchSource::cancel()
{
    Work cancelHandler;
    {
        std::lock_guard guard(m_loop->lock);
        if (m_state->cancelled)
            return;
        m_state->cancelled = true;
        m_loop->updateInterest(m_state->descriptor);
        cancelHandler = std::exchange(m_state->cancelHandler, {});
    }
    if (cancelHandler)
        m_loop->post(std::move(cancelHandler));
}

}
