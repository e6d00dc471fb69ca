// A pairing window over a model launched in a temporary folder, with the machine's addresses and name
// chosen by the test and a countdown clock it moves by hand. One Qt application serves the whole
// suite: offscreen, or on the X server of VELLUMAR_ON_SCREEN runs.
#pragma once

#include "Vellumar_for_Mac/Windows/PairingView.h"

#include "tests/Vellumar_for_Mac/AppModelFixture.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/ManualClock.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QLabel>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vellumar::test {

inline bool onScreen() { return QGuiApplication::platformName() == QLatin1String("xcb"); }

class PairingViewTest : public AppModelTest {
protected:
    // The model of a Mac named `macName` with these interface addresses; started (its relay listening)
    // when asked.
    AppModel& launchMac(
        std::vector<InterfaceAddress> addresses, bool started = true, std::string macName = "Büro-Mac")
    {
        writeBytes(m_folder / "machine-info", "PRETTY_HOSTNAME=" + macName + "\n");
        auto launch = launchIn(m_folder);
        launch.interfaceAddresses = [addresses] { return addresses; };
        m_model = std::make_unique<AppModel>(std::move(launch));
        if (started)
            m_model->start();
        return *m_model;
    }

    // Texts that show each value after the key's last part.
    static Texts valueTexts()
    {
        return Texts({ { "mac.pair.expiresIn", "expiresIn %s" }, { "mac.pair.macName", "macName %s" },
            { "mac.pair.pin", "pin %s" }, { "mac.pair.success", "success %s" } });
    }

    // A window on the model, shown (which asks for a code) when asked; the countdown's clock then
    // stands at the real now, just after the relay made its offer.
    PairingView& openView(bool show = true, Texts texts = valueTexts())
    {
        m_view = std::make_unique<PairingView>(*m_model, std::move(texts), m_clock.function());
        if (show)
            m_view->show();
        setClock(std::chrono::system_clock::now());
        return *m_view;
    }

    void setClock(std::chrono::system_clock::time_point now)
    {
        m_clock.now = now;
        m_view->tick();
    }

    // curl as a phone pairing with `code` at the model's relay, pinned to `pin` (its base64 SHA-256).
    PhoneAnswer pairWithCurl(
        const std::string& code, const std::string& pin, const std::string& deviceName = "Pixel")
    {
        return pairAsPhone(*m_model, code, deviceName, pin);
    }

    std::string relayPin() const { return m_model->host().identity()->pins.publicKeyBase64; }

    // The text of the view's visible label with that object name; "(hidden)" or "(none)" otherwise.
    std::string labelText(const char* name) const
    {
        auto* label = m_view->findChild<QLabel*>(QLatin1String(name));
        if (!label)
            return "(none)";
        return label->isVisibleTo(m_view.get()) ? label->text().toStdString() : "(hidden)";
    }

    // Delivers queued calls until `done` holds or the time runs out.
    static bool processEventsUntil(const std::function<bool()>& done, int milliseconds = 10'000)
    {
        QDeadlineTimer deadline(milliseconds);
        while (!done() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return done();
    }

    void TearDown() override
    {
        m_view.reset();
        m_model.reset();
    }

    ManualClock m_clock;
    std::unique_ptr<AppModel> m_model;
    std::unique_ptr<PairingView> m_view;
};

}
