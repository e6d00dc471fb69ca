// The first-run window "setup": the five things this computer needs (Claude Code installed and
// current, logged in, the phone on the same network, launch at login, iCloud), each shown done or
// not from the model, and two ways to finish, the second going straight on to pairing.
#pragma once

#include "Vellumar_for_Mac/Scenes/WindowPort.h"

#include <QWidget>

class QCheckBox;
class QLabel;
class QVBoxLayout;

namespace vellumar {

class AppModel;

// Main thread only. Redraws its steps whenever the model publishes a change; its own state is only
// the launch-at-login choice.
class OnboardingView final : public QWidget {
    Q_OBJECT

public:
    static constexpr int kWidth = 520;

    OnboardingView(AppModel& model, WindowPort windows, QWidget* parent = nullptr);

    // "mac.onboarding.later": completes onboarding with the choice and closes the window.
    void finish();
    // "mac.onboarding.addPhone" and the Return key: as finish, then opens "pair" in front.
    void finishAndAddPhone();

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct Step;

    // On each appearance: the toggle starts from the model, and Claude Code is checked unless
    // logged in.
    void prepare();
    void redraw();
    // Moves a window that runs off its screen's bottom back onto the screen.
    void keepOnScreen();
    QWidget* makeStep(int number, const QString& titleKey, bool done, QWidget* content);
    QWidget* claudeStep();
    QWidget* loginStep();
    QWidget* loginInstructions();
    QWidget* networkStep();
    QWidget* iCloudStep();
    QWidget* checkAgainButton();
    QWidget* commandBox(const QString& command);
    QLabel* text(const QString& text, bool secondary = false, bool footnote = false);
    QWidget* button(const QString& key, const std::function<void()>& action);
    void openTerminal();

    bool claudeReady() const;
    bool claudeLoggedIn() const;
    bool iCloudReady() const;

    AppModel& m_model;
    WindowPort m_windows;
    QVBoxLayout* m_steps = nullptr;
    QCheckBox* m_launchAtLogin = nullptr;
};

}
