// The window "pair", where the user pairs a phone: a one-time code as a QR code with its countdown,
// the Mac's name and certificate pin; why no code could be made; or the phone that just paired.
// Everything it shows is read from the model, and its buttons call the model.
//
// X11 (and Wayland, for a client) has no way to keep a window out of screen captures, so unlike on
// macOS this window's contents can be captured: the README warns users not to share the code so.
#pragma once

#include "Vellumar_for_Mac/Model/AppModel.h"
#include "Vellumar_for_Mac/Model/Texts.h"

#include <QImage>
#include <QWidget>

#include <chrono>
#include <functional>
#include <optional>
#include <string_view>

class QLabel;
class QPushButton;
class QTimer;

namespace vellumar {

class PairingView final : public QWidget {
    Q_OBJECT

public:
    using TimePoint = std::chrono::system_clock::time_point;
    using Clock = std::function<TimePoint()>;

    enum class State { progress, problem, code, success };

    static constexpr int kWidth = 380;
    static constexpr int kPadding = 24;
    static constexpr int kQRSide = 260;

    // Main thread only; the model outlives the view. `clock` drives the countdown.
    PairingView(AppModel& model, Texts texts, Clock clock = std::chrono::system_clock::now,
        QWidget* parent = nullptr);
    ~PairingView() override;

    // The text's bytes as a QR code, ten pixels a module inside a four-module quiet zone; none when no
    // symbol holds the text.
    static std::optional<QImage> qrImage(std::string_view text);
    // Whole seconds until `expiresAt`, rounded up, and 0 once it has passed.
    static int secondsLeft(TimePoint expiresAt, TimePoint now);
    // Minutes, a colon and two digits of seconds ("5:00", "0:09").
    static QString countdownText(int secondsLeft);

    State state() const noexcept { return m_state; }
    // What the one-second timer runs: the countdown anew from the clock, and the expired look in place
    // of the QR code once no time is left.
    void tick();

protected:
    // Opening the window asks for a code; a window the system shows again (restored) asks for none.
    void showEvent(QShowEvent* event) override;
    // Closing it in any state withdraws the code.
    void closeEvent(QCloseEvent* event) override;
    // Return closes the window in the success state and does nothing in the others.
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Replaces the shown state with the one the model's pairing properties choose.
    void rebuild();
    QWidget* makeProgress();
    QWidget* makeProblem(AppModel::PairingProblem problem);
    QWidget* makeSuccess(const PairedDevice& device);
    QWidget* makeCode(const AppModel::PairingSession& session);
    QPushButton* makeRenewButton();
    // The window's height for its fixed width, so that it hugs what it shows.
    void fitHeight();

    AppModel& m_model;
    const Texts m_texts;
    const Clock m_clock;
    State m_state = State::progress;
    QWidget* m_page = nullptr;
    QTimer* m_timer = nullptr;
    // Of the code state; null in the others.
    QWidget* m_liveCode = nullptr;
    QWidget* m_expiredLook = nullptr;
    QLabel* m_expiresIn = nullptr;
    std::optional<TimePoint> m_expiresAt;
    bool m_hasQRImage = false;
    // Of the success state; null in the others.
    QPushButton* m_closeButton = nullptr;
};

}
