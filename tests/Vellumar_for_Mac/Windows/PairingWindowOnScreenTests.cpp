// The pairing window on a real X server (the ctest PairingWindowOnScreen runs this suite under
// xvfb-run): screenshots of every state for a person to look at, and a phone's pairing with the
// code zbarimg reads off the screen.
#include "tests/Vellumar_for_Mac/Windows/PairingViewFixture.h"

#include "tests/support/QRCodeReader.h"

#include <QAbstractButton>
#include <QKeyEvent>
#include <QPushButton>
#include <QScreen>
#include <QWindow>

#include <cstdlib>
#include <sstream>

using namespace vellumar;
using namespace vellumar::test;
using namespace std::chrono_literals;

namespace {

const InterfaceAddress kLAN { "eth0", "192.0.2.2" };

class PairingWindowOnScreen : public PairingViewTest {
protected:
    void SetUp() override
    {
        if (!onScreen())
            GTEST_SKIP() << "needs an X server: ctest runs it as PairingWindowOnScreen under xvfb-run";
    }

    PairingView& openOnScreen()
    {
        openView(true, Texts::bundled());
        m_view->move(40, 40);
        EXPECT_TRUE(processEventsUntil([this] { return m_view->windowHandle()->isExposed(); }));
        return *m_view;
    }

    // The whole screen as ImageMagick's import sees it, once everything the window drew has reached
    // the X server; also kept, cut to the window, as `name`.png in VELLUMAR_SCREENSHOTS when set.
    std::filesystem::path screenshot(const std::string& name)
    {
        m_view->repaint();
        QGuiApplication::sync();
        auto root = m_folder / (name + "-root.png");
        EXPECT_EQ(runPeer({ "import", "-window", "root", root.string() }).exitStatus, 0);
        if (const char* keep = std::getenv("VELLUMAR_SCREENSHOTS")) {
            std::filesystem::create_directories(keep);
            QRect frame = m_view->frameGeometry();
            std::ostringstream crop;
            crop << frame.width() << 'x' << frame.height() << '+' << frame.x() << '+' << frame.y();
            runPeer({ "convert", root.string(), "-crop", crop.str(), "+repage",
                (std::filesystem::path(keep) / (name + ".png")).string() });
        }
        return root;
    }

    // Every visible text of the window fits the room it was given, inside the window, inside the screen.
    void expectNothingCutOff()
    {
        const QRect screen = m_view->screen()->geometry();
        EXPECT_TRUE(screen.contains(m_view->frameGeometry()));
        for (auto* widget : m_view->findChildren<QWidget*>()) {
            if (!widget->isVisibleTo(m_view.get()))
                continue;
            auto* label = qobject_cast<QLabel*>(widget);
            auto* button = qobject_cast<QAbstractButton*>(widget);
            if (!label && !button)
                continue;
            QString text = label ? label->text() : button->text();
            SCOPED_TRACE(text.toStdString());
            QRect placed(widget->mapTo(m_view.get(), QPoint(0, 0)), widget->size());
            EXPECT_TRUE(m_view->rect().contains(placed));
            if (label && label->wordWrap()) {
                EXPECT_LE(label->heightForWidth(label->width()), label->height());
                EXPECT_LE(label->minimumSizeHint().width(), label->width());
            } else {
                EXPECT_LE(widget->sizeHint().width(), widget->width());
                EXPECT_LE(widget->sizeHint().height(), widget->height());
            }
        }
    }

    // The value after "key=" on the payload line that starts with it.
    static std::string payloadValue(const std::string& text, const std::string& key)
    {
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind(key + "=", 0) == 0)
                return line.substr(key.size() + 1);
        return {};
    }
};

struct ScreenCase {
    const char* name;
    std::vector<InterfaceAddress> addresses;
    bool started;
    std::function<void(PairingViewTest&)> act;
};

TEST_F(PairingWindowOnScreen, EveryStateShowsAllItsTexts)
{
    const std::vector<ScreenCase> cases {
        { "code", { kLAN }, true, {} },
        { "notReady", { kLAN }, false, {} },
        { "noAddress", {}, true, {} },
        { "expired", { kLAN }, true, {} },
        { "success", { kLAN }, true, {} },
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        m_view.reset();
        launchMac(row.addresses, row.started);
        openOnScreen();
        std::string name = row.name;
        if (name == "expired")
            setClock(m_model->pairing()->expiresAt);
        if (name == "success")
            m_model->devicePaired({ .id = "d-1", .name = "Pixel 9 Pro" });
        if (name == "code") {
            // Building the window may take over a second on a busy machine; the countdown starts where
            // the offer does, whose lifetime the pairing's own tests check.
            setClock(m_model->pairing()->expiresAt - 5min);
            EXPECT_EQ(labelText("expiresIn"), "Expires in 5:00");
            EXPECT_EQ(m_view->findChild<QLabel*>("qrCode")->size(), QSize(260, 260));
            const auto& pin = m_model->pairing()->pinSummary;
            EXPECT_EQ(QString::fromStdString(pin).size(), 8 + 1 + 6);
            EXPECT_EQ(labelText("pin"), "Certificate " + pin);
            EXPECT_EQ(labelText("macName"), "Mac: Büro-Mac");
        }
        expectNothingCutOff();
        auto shot = screenshot(row.name);
        if (name == "code") {
            EXPECT_EQ(readQRCode(shot), m_model->pairing()->payload.text());
        }
    }
}

TEST_F(PairingWindowOnScreen, APhonePairsWithTheCodeReadOffTheScreenAndReturnClosesTheWindow)
{
    launchMac({ kLAN });
    openOnScreen();
    auto decoded = readQRCode(screenshot("before-pairing"));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, m_model->pairing()->payload.text());
    EXPECT_EQ(payloadValue(*decoded, "vellumar-mac-name"), "B%C3%BCro-Mac");

    std::string pin = payloadValue(*decoded, "pin-sha256");
    ASSERT_GE(pin.size(), 2u);
    pin = pin.substr(1, pin.size() - 2); // quoted
    auto answer = pairWithCurl(payloadValue(*decoded, "vellumar-pair"), pin, "Pixel 9 Pro");
    ASSERT_EQ(answer.status, 200) << answer.body;

    EXPECT_TRUE(processEventsUntil([this] { return m_view->state() == PairingView::State::success; }));
    EXPECT_EQ(labelText("success"), "Pixel 9 Pro is paired");
    ASSERT_TRUE(m_model->lastAdded());
    EXPECT_EQ(m_model->lastAdded()->name, "Pixel 9 Pro");
    expectNothingCutOff();
    screenshot("after-pairing");

    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(m_view.get(), &press);
    EXPECT_FALSE(m_view->isVisible());
}

}
