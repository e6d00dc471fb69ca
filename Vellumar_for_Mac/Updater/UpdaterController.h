// What the application relies on of the update framework: a controller that starts checking by
// itself, tells whether a check may start now, starts one for the user, and reports to a
// user-driver delegate. The feed controller is the real one; tests give fakes.
#pragma once

#include "Platform/Updater.h"

#include <QObject>

namespace vellumar {

struct UserUpdateState {
    bool userInitiated = false; // false for a scheduled check
};

// Called by the framework on the main thread or any other; implementations hop to the main thread
// before touching their state.
class UserDriverDelegate {
public:
    virtual ~UserDriverDelegate() = default;
    // True: a scheduled check that finds an update shows nothing itself and leaves the reminder to
    // the application.
    virtual bool supportsGentleScheduledUpdateReminders() const = 0;
    virtual void standardUserDriverWillHandleShowingUpdate(
        bool handleShowingUpdate, const platform::UpdateItem& update, const UserUpdateState& state)
        = 0;
    virtual void standardUserDriverDidReceiveUserAttentionForUpdate(const platform::UpdateItem& update) = 0;
    virtual void standardUserDriverWillFinishUpdateSession() = 0;
};

// Main thread only.
class UpdaterController : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    virtual bool canCheckForUpdates() const = 0;
    // A user-initiated check with the framework's own alerts; ignored while one may not start.
    virtual void checkForUpdates() = 0;

signals:
    void canCheckForUpdatesChanged(bool canCheck);
};

}
