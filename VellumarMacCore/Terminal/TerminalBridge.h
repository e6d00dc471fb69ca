// Joins one running shell to one WebSocket: the shell's output goes out as binary messages paced by
// their send completions, keyboard input and resize requests come in, the phone hears that the
// terminal is ready and how the shell ended, and both sides are torn down in order whichever ends first.
#pragma once

#include "Platform/DispatchQueue.h"
#include "VellumarMacCore/Foundations/TerminalSize.h"
#include "VellumarMacCore/Terminal/PTYProcess.h"
#include "VellumarMacCore/Terminal/WebSocketConnection.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar {

class TerminalBridge : public std::enable_shared_from_this<TerminalBridge> {
public:
    static constexpr std::string_view kQueueLabel = "vellumar.terminal.session";
    static constexpr std::size_t kReadBytes = 32'768;
    // Output waiting in the socket at which reading the shell pauses, and at which it resumes.
    static constexpr std::int64_t kPauseReadingBytes = 262'144;
    static constexpr std::int64_t kResumeReadingBytes = 65'536;
    // After the shell exits, what it left in the terminal is sent up to about this much.
    static constexpr std::int64_t kMaxDrainBytes = 262'143;
    static constexpr std::size_t kMaxPendingInputBytes = 1'048'576;
    static constexpr std::size_t kMaxControlMessageBytes = 4'096;
    static constexpr std::chrono::duration<double> kHangUpToKill { 3.0 };

    // Does nothing yet; `onEnd` runs once, on the bridge's queue, when both the shell has been reaped
    // and the socket has closed. The socket must not have been started.
    static std::shared_ptr<TerminalBridge> make(std::shared_ptr<WebSocketConnection> socket,
        std::unique_ptr<PTYProcess> process, std::function<void()> onEnd);

    // Any thread, once: starts the socket, says ready and starts pumping.
    void start();

    // The size a resize message asks for; absent for anything else, which is then ignored.
    static std::optional<TerminalSize> decodeResize(std::string_view text);
    static std::string exitReport(const ShellExit& exit);
    static const std::string& readyText();

private:
    TerminalBridge(std::shared_ptr<WebSocketConnection> socket, std::unique_ptr<PTYProcess> process,
        std::function<void()> onEnd);

    void begin();
    void handle(WebSocketConnection::Event event);
    void input(std::string data);
    void flushInput();
    void readOutput();
    void sendOutput(std::string bytes);
    void outputSent(std::int64_t count);
    void handleExit();
    void requestClose();
    void kill();
    void finishIfDone();

    // A source on the master counted in m_openSources, resumed; `fired` runs while the bridge lives.
    std::unique_ptr<platform::DispatchSource> masterSource(
        platform::DispatchSource::Kind kind, void (TerminalBridge::*fired)());
    void startReadSource();
    void startWriteSource();
    void startExitSource();
    void stopReading();
    void cancelWriteSource();
    void sourceCancelled();
    void closeMasterIfUnwatched();
    std::optional<std::string> readMaster(); // absent on EAGAIN/EINTR; empty at end or on an error

    // First: every source below is gone before its queue stops.
    platform::DispatchQueue m_queue;
    std::shared_ptr<WebSocketConnection> m_socket;
    std::unique_ptr<PTYProcess> m_process;
    std::function<void()> m_onEnd;
    std::unique_ptr<platform::DispatchSource> m_readSource;
    std::unique_ptr<platform::DispatchSource> m_writeSource;
    std::unique_ptr<platform::DispatchSource> m_exitSource;
    bool m_readingPaused = false;
    std::int64_t m_unsentOutput = 0;
    std::string m_pendingInput;
    int m_openSources = 0;
    bool m_closeRequested = false;
    bool m_masterOpen = true;
    std::optional<ShellExit> m_exit;
    bool m_socketEnded = false;
    bool m_ended = false;
};

}
