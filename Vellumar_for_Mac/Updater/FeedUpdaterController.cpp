#include "Vellumar_for_Mac/Updater/FeedUpdaterController.h"

namespace vellumar {

namespace {

    struct CheckSettings {
        platform::UpdatePublicKey key;
        std::optional<std::string> feedURL;
        std::optional<std::string> appVersion;
        std::filesystem::path downloadFolder;
    };

}

std::function<std::unique_ptr<UpdaterController>(const platform::UpdatePublicKey&, UserDriverDelegate&)>
FeedUpdaterController::factory(Options options)
{
    return
        [options = std::move(options)](const platform::UpdatePublicKey& key, UserDriverDelegate& delegate) {
            Options withKey = options;
            withKey.key = key;
            return std::make_unique<FeedUpdaterController>(std::move(withKey), delegate);
        };
}

FeedUpdaterController::FeedUpdaterController(Options options, UserDriverDelegate& delegate, QObject* parent)
    : UpdaterController(parent)
    , m_options(std::move(options))
    , m_delegate(delegate)
{
    connect(&m_schedule, &QTimer::timeout, this, [this] {
        m_schedule.setInterval(m_options.checkInterval);
        startCheck(UserUpdateState { .userInitiated = false });
    });
    m_schedule.start(m_options.firstCheckDelay);
}

FeedUpdaterController::~FeedUpdaterController()
{
    // Joined before the QObject goes, which drops the result it may have posted.
    if (m_check.joinable())
        m_check.join();
}

void FeedUpdaterController::setCanCheck(bool canCheck)
{
    if (m_canCheck == canCheck)
        return;
    m_canCheck = canCheck;
    emit canCheckForUpdatesChanged(canCheck);
}

void FeedUpdaterController::startCheck(UserUpdateState state)
{
    if (!m_canCheck)
        return;
    setCanCheck(false);
    if (m_check.joinable())
        m_check.join(); // the last check's thread, which has posted its result already
    CheckSettings settings { m_options.key, m_options.feedURL, m_options.appVersion,
        m_options.downloadFolder };
    m_check = std::jthread([this, state, settings = std::move(settings)] {
        Outcome outcome;
        try {
            if (!settings.feedURL)
                throw platform::UpdateError(
                    platform::UpdateError::Kind::network, "This build names no update feed.");
            platform::UpdateItem item = platform::fetchUpdateFeed(*settings.feedURL);
            auto order = settings.appVersion ? platform::compareVersions(item.version, *settings.appVersion)
                                             : std::nullopt;
            if (order && *order > 0) {
                outcome.package = platform::downloadUpdate(item, settings.key, settings.downloadFolder);
                outcome.update = std::move(item);
            }
        } catch (const std::exception& error) {
            outcome.error = error.what();
        }
        {
            std::lock_guard guard(m_finishedLock);
            m_finished = Finished { state, std::move(outcome) };
        }
        // Only the receiver and the method's name travel in Qt's event, which Qt alone makes and
        // deletes; the result crosses under the lock, where thread checkers see it cross.
        QMetaObject::invokeMethod(this, "deliverFinishedCheck", Qt::QueuedConnection);
    });
}

void FeedUpdaterController::deliverFinishedCheck()
{
    std::optional<Finished> finished;
    {
        std::lock_guard guard(m_finishedLock);
        finished.swap(m_finished);
    }
    if (finished)
        finishCheck(finished->state, finished->outcome);
}

void FeedUpdaterController::finishCheck(UserUpdateState state, const Outcome& outcome)
{
    setCanCheck(true);
    const Texts& texts = m_options.texts;
    if (outcome.update) {
        bool gentle = !state.userInitiated && m_delegate.supportsGentleScheduledUpdateReminders();
        m_delegate.standardUserDriverWillHandleShowingUpdate(!gentle, *outcome.update, state);
        // A gentle reminder keeps the session open until the user asks for the update.
        if (!gentle)
            showUpdate(*outcome.update, outcome.package);
        return;
    }
    if (state.userInitiated) {
        Alert alert { .buttons = { texts.text("mac.common.ok") } };
        if (outcome.error) {
            alert.style = Alert::Style::critical;
            alert.message = texts.text("mac.update.failed.title");
            alert.informative = QString::fromStdString(*outcome.error);
        } else {
            alert.message = texts.text("mac.update.upToDate.title");
            alert.informative = texts.text("mac.update.upToDate.message",
                { QString::fromStdString(m_options.appVersion.value_or("?")) });
        }
        m_options.alerts->run(alert);
    }
    m_delegate.standardUserDriverWillFinishUpdateSession();
}

void FeedUpdaterController::showUpdate(
    const platform::UpdateItem& update, const std::filesystem::path& package)
{
    const Texts& texts = m_options.texts;
    int chosen = m_options.alerts->run(
        { .message = texts.text("mac.update.available.title", { QString::fromStdString(update.version) }),
            .informative = texts.text("mac.update.available.message"),
            .buttons = { texts.text("mac.update.showPackage"), texts.text("mac.update.later") },
            .safeButton = 1 });
    m_delegate.standardUserDriverDidReceiveUserAttentionForUpdate(update);
    if (chosen == 0)
        m_options.openFolder(package.parent_path());
    m_delegate.standardUserDriverWillFinishUpdateSession();
}

}
