// The update framework on Linux: checks the signed feed on a timer and when the user asks, keeps a
// newer package only when its signature verifies, and shows the user's checks through the alert
// port. "Installing" opens the folder of the verified package: the system's package tools, not
// this program, replace what they own.
#pragma once

#include "Vellumar_for_Mac/Model/AlertPresenter.h"
#include "Vellumar_for_Mac/Model/Texts.h"
#include "Vellumar_for_Mac/Updater/UpdaterController.h"

#include <QTimer>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace vellumar {

class FeedUpdaterController final : public UpdaterController {
    Q_OBJECT

public:
    struct Options {
        platform::UpdatePublicKey key {};
        // The bundle's "SUFeedURL"; without one every check fails.
        std::optional<std::string> feedURL;
        // The running version; without a readable one no update counts as newer.
        std::optional<std::string> appVersion;
        std::filesystem::path downloadFolder;
        std::chrono::milliseconds firstCheckDelay = std::chrono::minutes(1);
        std::chrono::milliseconds checkInterval = std::chrono::hours(24);
        std::shared_ptr<AlertPresenter> alerts;
        Texts texts = Texts({});
        // Shows a folder to the user (the desktop's file manager).
        std::function<void(const std::filesystem::path& folder)> openFolder;
    };

    // What an Updater takes to make this controller, given the key its gate let through.
    static std::function<std::unique_ptr<UpdaterController>(
        const platform::UpdatePublicKey&, UserDriverDelegate&)>
    factory(Options options);

    // Starts the updater at once: its first scheduled check comes after `firstCheckDelay`.
    FeedUpdaterController(Options options, UserDriverDelegate& delegate, QObject* parent = nullptr);
    // Waits for a check under way to end (a fetch gives up after its own time-outs).
    ~FeedUpdaterController() override;

    bool canCheckForUpdates() const override { return m_canCheck; }
    void checkForUpdates() override { startCheck(UserUpdateState { .userInitiated = true }); }

private:
    struct Outcome {
        // Set only for an update newer than the running version whose package verified.
        std::optional<platform::UpdateItem> update;
        std::filesystem::path package;
        std::optional<std::string> error;
    };
    struct Finished {
        UserUpdateState state;
        Outcome outcome;
    };

    void startCheck(UserUpdateState state);
    // On the main thread: hands the check's result, which its thread left under the lock, on.
    Q_INVOKABLE void deliverFinishedCheck();
    void finishCheck(UserUpdateState state, const Outcome& outcome);
    void showUpdate(const platform::UpdateItem& update, const std::filesystem::path& package);
    void setCanCheck(bool canCheck);

    Options m_options;
    UserDriverDelegate& m_delegate;
    QTimer m_schedule;
    bool m_canCheck = true;
    std::mutex m_finishedLock;
    std::optional<Finished> m_finished;
    std::jthread m_check;
};

}
