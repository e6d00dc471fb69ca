#include "VellumarMacCore/Terminal/TerminalBridge.h"

#include "Platform/ProcessSession.h"
#include "VellumarMacCore/Foundations/JSON.h"

#include <cerrno>
#include <csignal>
#include <system_error>
#include <utility>

#include <sys/ioctl.h>
#include <unistd.h>

namespace vellumar {

namespace {

    constexpr std::chrono::milliseconds kExitPollInterval { 100 };

    void setWindowSize(int master, TerminalSize size)
    {
        winsize window {};
        window.ws_row = static_cast<unsigned short>(size.rows);
        window.ws_col = static_cast<unsigned short>(size.columns);
        ioctl(master, TIOCSWINSZ, &window);
    }

}

std::shared_ptr<TerminalBridge> TerminalBridge::make(std::shared_ptr<WebSocketConnection> socket,
    std::unique_ptr<PTYProcess> process, std::function<void()> onEnd)
{
    return std::shared_ptr<TerminalBridge>(
        new TerminalBridge(std::move(socket), std::move(process), std::move(onEnd)));
}

TerminalBridge::TerminalBridge(std::shared_ptr<WebSocketConnection> socket,
    std::unique_ptr<PTYProcess> process, std::function<void()> onEnd)
    : m_queue(kQueueLabel)
    , m_socket(std::move(socket))
    , m_process(std::move(process))
    , m_onEnd(std::move(onEnd))
{
}

void TerminalBridge::start()
{
    m_queue.async([self = shared_from_this()] { self->begin(); });
}

std::optional<TerminalSize> TerminalBridge::decodeResize(std::string_view text)
{
    if (text.size() > kMaxControlMessageBytes)
        return std::nullopt;
    const auto message = JSON::decode(text);
    if (!message || !message->objectValue())
        return std::nullopt;
    const JSON* type = message->subscript("type");
    if (!type || !type->stringValue() || *type->stringValue() != "resize")
        return std::nullopt;
    const JSON* columns = message->subscript("cols");
    const JSON* rows = message->subscript("rows");
    if (!columns || !rows)
        return std::nullopt;
    return TerminalSize::make(columns->intValue(), rows->intValue());
}

std::string TerminalBridge::exitReport(const ShellExit& exit)
{
    JSON::Object members { { "type", "exit" } };
    if (exit.status)
        members["status"] = *exit.status;
    if (exit.signal)
        members["signal"] = *exit.signal;
    return JSON(std::move(members)).encoded();
}

const std::string& TerminalBridge::readyText()
{
    static const std::string text = JSON::object({ { "type", "ready" } }).encoded();
    return text;
}

void TerminalBridge::begin()
{
    m_socket->start([weak = weak_from_this()](WebSocketConnection::Event event) {
        if (auto self = weak.lock()) {
            self->m_queue.async([weak, event = std::move(event)]() mutable {
                if (auto bridge = weak.lock())
                    bridge->handle(std::move(event));
            });
        }
    });
    m_socket->sendText(readyText());
    startReadSource();
    startExitSource();
}

void TerminalBridge::handle(WebSocketConnection::Event event)
{
    if (auto* text = std::get_if<WebSocketMessageReader::Text>(&event)) {
        if (auto size = decodeResize(text->text); size && !m_exit && m_masterOpen && !m_closeRequested)
            setWindowSize(m_process->master(), *size);
    } else if (auto* binary = std::get_if<WebSocketMessageReader::Binary>(&event)) {
        input(std::move(binary->bytes));
    } else {
        m_socketEnded = true;
        requestClose();
        finishIfDone();
    }
}

void TerminalBridge::input(std::string data)
{
    if (m_exit || !m_masterOpen || m_closeRequested || data.empty())
        return;
    if (m_pendingInput.size() + data.size() > kMaxPendingInputBytes) {
        m_socket->close(WebSocketCloseCode::tooBig, "Too much input at once.");
        return;
    }
    m_pendingInput += data;
    flushInput();
}

void TerminalBridge::flushInput()
{
    while (!m_pendingInput.empty() && m_masterOpen && !m_closeRequested) {
        const ssize_t written = ::write(m_process->master(), m_pendingInput.data(), m_pendingInput.size());
        if (written > 0) {
            m_pendingInput.erase(0, static_cast<std::size_t>(written));
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && errno == EAGAIN) {
            startWriteSource();
            return;
        } else {
            m_pendingInput.clear();
        }
    }
    cancelWriteSource();
}

void TerminalBridge::readOutput()
{
    if (!m_masterOpen)
        return;
    auto bytes = readMaster();
    if (!bytes)
        return;
    if (bytes->empty()) {
        stopReading();
        handleExit();
        return;
    }
    sendOutput(std::move(*bytes));
}

std::optional<std::string> TerminalBridge::readMaster()
{
    std::string bytes(kReadBytes, '\0');
    const ssize_t count = ::read(m_process->master(), bytes.data(), bytes.size());
    if (count < 0 && (errno == EAGAIN || errno == EINTR))
        return std::nullopt;
    // Linux reports a terminal whose last slave closed with EIO: the same end as end of file.
    bytes.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    return bytes;
}

void TerminalBridge::sendOutput(std::string bytes)
{
    if (m_socketEnded)
        return;
    const auto count = static_cast<std::int64_t>(bytes.size());
    m_unsentOutput += count;
    m_socket->sendBinary(std::move(bytes), [weak = weak_from_this(), count] {
        if (auto self = weak.lock()) {
            self->m_queue.async([weak, count] {
                if (auto bridge = weak.lock())
                    bridge->outputSent(count);
            });
        }
    });
    if (m_unsentOutput >= kPauseReadingBytes && !m_readingPaused && m_readSource) {
        m_readingPaused = true;
        m_readSource->suspend();
    }
}

void TerminalBridge::outputSent(std::int64_t count)
{
    m_unsentOutput -= count;
    if (m_unsentOutput <= kResumeReadingBytes && m_readingPaused && m_readSource) {
        m_readingPaused = false;
        m_readSource->resume();
    }
}

void TerminalBridge::handleExit()
{
    if (m_exit)
        return;
    auto exit = m_process->waitForExit();
    if (!exit)
        return;
    m_exit = exit;
    m_exitSource.reset();
    std::int64_t drained = 0;
    while (m_readSource && drained <= kMaxDrainBytes && m_masterOpen) {
        auto bytes = readMaster();
        if (!bytes)
            break;
        if (bytes->empty()) {
            stopReading();
            break;
        }
        drained += static_cast<std::int64_t>(bytes->size());
        sendOutput(std::move(*bytes));
    }
    stopReading();
    if (!m_socketEnded) {
        m_socket->sendText(exitReport(*m_exit));
        m_socket->close(WebSocketCloseCode::normal, "");
    }
    finishIfDone();
}

void TerminalBridge::requestClose()
{
    stopReading();
    m_pendingInput.clear();
    cancelWriteSource();
    m_closeRequested = true;
    closeMasterIfUnwatched();
    if (!m_exit) {
        // The whole session, not only the shell's group: under job control a foreground job has a
        // group of its own, and one that ignores the hang-up would outlive its terminal.
        platform::signalSession(m_process->pid(), SIGHUP);
        m_queue.after(kHangUpToKill, [self = shared_from_this()] { self->kill(); });
    }
}

void TerminalBridge::kill()
{
    if (m_exit)
        return;
    platform::signalSession(m_process->pid(), SIGKILL);
}

void TerminalBridge::finishIfDone()
{
    if (m_ended || !m_exit || !m_socketEnded)
        return;
    m_ended = true;
    stopReading();
    m_closeRequested = true;
    closeMasterIfUnwatched();
    if (auto onEnd = std::exchange(m_onEnd, {}))
        onEnd();
}

std::unique_ptr<platform::DispatchSource> TerminalBridge::masterSource(
    platform::DispatchSource::Kind kind, void (TerminalBridge::*fired)())
{
    auto source = std::make_unique<platform::DispatchSource>(
        m_queue, kind, m_process->master(),
        [weak = weak_from_this(), fired] {
            if (auto self = weak.lock())
                ((*self).*fired)();
        },
        [self = shared_from_this()] { self->sourceCancelled(); });
    ++m_openSources;
    source->resume();
    return source;
}

void TerminalBridge::startReadSource()
{
    m_readSource = masterSource(platform::DispatchSource::Kind::readable, &TerminalBridge::readOutput);
}

void TerminalBridge::startWriteSource()
{
    if (!m_writeSource)
        m_writeSource = masterSource(platform::DispatchSource::Kind::writable, &TerminalBridge::flushInput);
}

void TerminalBridge::startExitSource()
{
    try {
        m_exitSource = std::make_unique<platform::DispatchSource>(m_queue,
            platform::DispatchSource::Kind::processExit, m_process->pid(), [weak = weak_from_this()] {
                if (auto self = weak.lock())
                    self->handleExit();
            });
        m_exitSource->resume();
    } catch (const std::system_error&) {
        // Without a descriptor for the process (none left), its end is looked for now and then.
        m_queue.after(kExitPollInterval, [weak = weak_from_this()] {
            if (auto self = weak.lock(); self && !self->m_exit)
                self->startExitSource();
        });
    }
    handleExit();
}

void TerminalBridge::stopReading()
{
    auto source = std::move(m_readSource);
    if (!source)
        return;
    m_readingPaused = false;
    source->cancel();
}

void TerminalBridge::cancelWriteSource()
{
    if (auto source = std::move(m_writeSource))
        source->cancel();
}

void TerminalBridge::sourceCancelled()
{
    --m_openSources;
    closeMasterIfUnwatched();
}

void TerminalBridge::closeMasterIfUnwatched()
{
    if (m_openSources == 0 && m_closeRequested && m_masterOpen) {
        m_masterOpen = false;
        ::close(m_process->master());
    }
}

}
