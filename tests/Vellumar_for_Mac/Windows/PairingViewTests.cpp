#include "tests/Vellumar_for_Mac/Windows/PairingViewFixture.h"

#include "tests/support/QRCodeReader.h"

#include <QKeyEvent>
#include <QPushButton>
#include <QShowEvent>
#include <QSpontaneKeyEvent>

#include <tuple>

using namespace vellumar;
using namespace vellumar::test;
using namespace std::chrono_literals;

namespace {

using State = PairingView::State;

const InterfaceAddress kLAN { "eth0", "192.0.2.2" };
const InterfaceAddress kTailscale { "tailscale0", "100.100.1.2" };

TEST(PairingViewCountdown, RoundsUpToWholeSecondsAndWritesMinutesAndTwoDigitSeconds)
{
    const auto expiresAt = std::chrono::system_clock::now();
    const std::vector<std::pair<std::chrono::duration<double>, const char*>> cases {
        { 299.999s, "5:00" },
        { 299.0s, "4:59" },
        { 61.0s, "1:01" },
        { 9.0s, "0:09" },
        { 0.2s, "0:01" },
        { 0.0s, "0:00" },
        { -3.0s, "0:00" },
    };
    for (const auto& [left, expected] : cases) {
        SCOPED_TRACE(expected);
        auto now = expiresAt - std::chrono::duration_cast<std::chrono::system_clock::duration>(left);
        EXPECT_EQ(
            PairingView::countdownText(PairingView::secondsLeft(expiresAt, now)).toStdString(), expected);
    }
}

TEST(PairingViewQRImage, IsASquareOfTenPixelModulesThatDecodesToTheTextAndNoneForTooLongATexts)
{
    const std::string text
        = "# Vellumar pairing v1\nhttps://192.0.2.2:48788\nvellumar-mac-name=B%C3%BCro-Mac";
    auto image = PairingView::qrImage(text);
    ASSERT_TRUE(image);
    ASSERT_EQ(image->width(), image->height());
    // 10 × (modules + 8), modules being 17 + 4 × the version.
    EXPECT_EQ(image->width() % 10, 0);
    EXPECT_EQ((image->width() / 10 - 8 - 17) % 4, 0);
    TemporaryFolder folder;
    ASSERT_TRUE(image->save(QString::fromStdString((folder / "code.png").string())));
    EXPECT_EQ(readQRCode(folder / "code.png"), text);

    EXPECT_FALSE(PairingView::qrImage(std::string(8000, 'a')));
}

TEST_F(PairingViewTest, CountsDownFromFiveMinutesAndShowsTheExpiredLookOnceTheCodeRunsOut)
{
    launchMac({ kLAN });
    openView();
    ASSERT_EQ(m_view->state(), State::code);
    const auto expiresAt = m_model->pairing()->expiresAt;
    EXPECT_EQ(labelText("expiresIn"), "expiresIn 5:00");
    setClock(m_clock.now + 1s);
    EXPECT_EQ(labelText("expiresIn"), "expiresIn 4:59");
    setClock(expiresAt - 9s);
    EXPECT_EQ(labelText("expiresIn"), "expiresIn 0:09");
    setClock(expiresAt - 200ms);
    EXPECT_EQ(labelText("expiresIn"), "expiresIn 0:01");
    EXPECT_EQ(labelText("expired"), "(hidden)");

    setClock(expiresAt);
    EXPECT_EQ(labelText("expired"), "mac.pair.expired");
    EXPECT_EQ(labelText("qrCode"), "(hidden)");
    EXPECT_EQ(m_view->state(), State::code);
}

struct StateCase {
    const char* name;
    std::vector<InterfaceAddress> addresses;
    bool started;
    bool opened; // shown, which asks for a code
    std::function<void(AppModel&, PairingView&)> act; // after the window opened
    State expected;
    std::vector<std::pair<const char*, std::string>> labels; // object name, text
};

TEST_F(PairingViewTest, ShowsTheSuccessOverTheCodeOverTheProblemOverProgress)
{
    auto pixel = PairedDevice { .id = "d-1", .name = "Pixel" };
    const std::vector<StateCase> cases {
        { "nothing asked yet", { kLAN }, true, false, {}, State::progress, {} },
        { "server not started", { kLAN }, false, true, {}, State::problem,
            { { "problem", "mac.pair.notReady" } } },
        { "no address", {}, true, true, {}, State::problem, { { "problem", "mac.pair.noAddress" } } },
        { "LAN address", { kLAN }, true, true, {}, State::code,
            { { "network", "mac.pair.sameNetwork" }, { "macName", "macName Büro-Mac" } } },
        { "Tailscale chosen over the LAN", { kLAN, kTailscale }, true, true,
            [](AppModel& model, PairingView&) {
                model.setUseTailscale(true);
                model.startPairing();
            },
            State::code, { { "network", "mac.pair.tailscaleNote" } } },
        { "only a Tailscale address", { kTailscale }, true, true, {}, State::code,
            { { "network", "mac.pair.tailscaleNote" } } },
        { "code kept when the relay gives none", { kLAN }, true, true,
            [](AppModel& model, PairingView&) {
                model.host().stop();
                model.startPairing();
                EXPECT_EQ(model.pairingProblem(), AppModel::PairingProblem::notReady);
            },
            State::code, { { "network", "mac.pair.sameNetwork" } } },
        { "a phone paired", { kLAN }, true, true,
            [&](AppModel& model, PairingView&) { model.devicePaired(pixel); }, State::success,
            { { "success", "success Pixel" } } },
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        m_view.reset();
        launchMac(row.addresses, row.started);
        openView(row.opened);
        if (row.act)
            row.act(*m_model, *m_view);
        EXPECT_EQ(m_view->state(), row.expected);
        for (const auto& [name, text] : row.labels)
            EXPECT_EQ(labelText(name), text) << name;
        bool renewOffered = m_view->findChild<QPushButton*>("mac.pair.renew") != nullptr;
        EXPECT_EQ(renewOffered, row.expected == State::code || row.expected == State::problem);
    }
}

TEST_F(PairingViewTest, TheCodeCarriesThePreferredAddressAndTheShortenedPin)
{
    const std::vector<std::tuple<const char*, std::vector<InterfaceAddress>, bool, std::string>> cases {
        // name, addresses, useTailscale, the payload's host
        { "LAN", { kLAN, kTailscale }, false, "192.0.2.2" },
        { "Tailscale preferred", { kLAN, kTailscale }, true, "100.100.1.2" },
        { "Tailscale preferred but absent", { kLAN }, true, "192.0.2.2" },
    };
    for (const auto& [name, addresses, useTailscale, host] : cases) {
        SCOPED_TRACE(name);
        m_view.reset();
        launchMac(addresses);
        m_model->setUseTailscale(useTailscale);
        openView();
        ASSERT_TRUE(m_model->pairing());
        EXPECT_EQ(m_model->pairing()->payload.host, host);
        EXPECT_EQ(m_model->pairing()->usesTailscale, host == kTailscale.address);
        const std::string pin = relayPin();
        ASSERT_EQ(pin.size(), 44u);
        EXPECT_EQ(m_model->pairing()->pinSummary, pin.substr(0, 8) + "…" + pin.substr(38));
        EXPECT_EQ(labelText("pin"), "pin " + m_model->pairing()->pinSummary);
    }
}

TEST_F(PairingViewTest, APairingShowsTheSuccessEvenWhileTheCodeIsStillPublished)
{
    launchMac({ kLAN });
    openView();
    std::optional<State> whenJustPairedChanged;
    QObject::connect(
        m_model.get(), &AppModel::justPairedChanged, [&] { whenJustPairedChanged = m_view->state(); });
    m_model->devicePaired({ .id = "d-1", .name = "Pixel" });
    EXPECT_EQ(whenJustPairedChanged, State::success);
    EXPECT_EQ(m_model->lastAdded()->id, "d-1");
}

TEST_F(PairingViewTest, RenewOnceTheCauseIsGoneShowsACode)
{
    launchMac({ kLAN }, false);
    openView();
    ASSERT_EQ(m_view->state(), State::problem);
    m_model->start();
    m_view->findChild<QPushButton*>("mac.pair.renew")->click();
    EXPECT_EQ(m_view->state(), State::code);
}

TEST_F(PairingViewTest, OpeningAsksForACodeButTheSystemShowingItAgainAsksForNone)
{
    launchMac({ kLAN });
    openView();
    auto shownCode = m_model->pairing()->payload.code;
    // What a window restored from the dock or a minimised state gets.
    QShowEvent restored;
    QSpontaneKeyEvent::setSpontaneous(&restored);
    // sendEvent would clear the mark; the system's events reach the widget through notify.
    QApplication::instance()->notify(m_view.get(), &restored);
    EXPECT_EQ(m_model->pairing()->payload.code, shownCode);

    m_view->hide();
    m_view->show();
    EXPECT_NE(m_model->pairing()->payload.code, shownCode);
}

TEST_F(PairingViewTest, ReturnClosesTheWindowOnlyInTheSuccessState)
{
    auto pressReturn = [this] {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(m_view.get(), &press);
    };
    launchMac({ kLAN }, false);
    openView();
    ASSERT_EQ(m_view->state(), State::problem);
    pressReturn();
    EXPECT_TRUE(m_view->isVisible());

    m_model->start();
    m_model->startPairing();
    ASSERT_EQ(m_view->state(), State::code);
    pressReturn();
    EXPECT_TRUE(m_view->isVisible());
    EXPECT_TRUE(m_model->pairing());

    m_model->devicePaired({ .id = "d-1", .name = "Pixel" });
    pressReturn();
    EXPECT_FALSE(m_view->isVisible());
}

TEST_F(PairingViewTest, ATextNoQRCodeHoldsShowsTheExpiredLookAndTheRenewButton)
{
    std::string longName;
    while (longName.size() < 8000)
        longName += "Mac ";
    launchMac({ kLAN }, true, longName);
    openView();
    ASSERT_EQ(m_view->state(), State::code);
    EXPECT_GT(m_model->pairing()->payload.text().size(), 8000u);
    EXPECT_EQ(labelText("qrCode"), "(hidden)");
    EXPECT_EQ(labelText("expired"), "mac.pair.expired");
    EXPECT_TRUE(m_view->findChild<QPushButton*>("mac.pair.renew"));
}

TEST_F(PairingViewTest, ClosingWithACodeOnScreenMakesTheCodeUseless)
{
    launchMac({ kLAN });
    openView();
    ASSERT_TRUE(m_model->pairing());
    auto code = m_model->pairing()->payload.code;
    m_view->close();
    EXPECT_FALSE(m_model->pairing());
    auto answer = pairWithCurl(code, relayPin());
    EXPECT_EQ(answer.status, 401) << answer.body;
}

TEST_F(PairingViewTest, RenewAfterExpiryShowsANewCodeFromFiveMinutesAndTheOldOneIsRefused)
{
    launchMac({ kLAN });
    openView();
    auto oldCode = m_model->pairing()->payload.code;
    setClock(m_model->pairing()->expiresAt + 1s);
    ASSERT_EQ(labelText("expired"), "mac.pair.expired");

    m_view->findChild<QPushButton*>("mac.pair.renew")->click();
    setClock(std::chrono::system_clock::now());
    ASSERT_TRUE(m_model->pairing());
    EXPECT_NE(m_model->pairing()->payload.code, oldCode);
    EXPECT_EQ(labelText("expiresIn"), "expiresIn 5:00");
    EXPECT_EQ(labelText("expired"), "(hidden)");
    auto refused = pairWithCurl(oldCode, relayPin());
    EXPECT_EQ(refused.status, 401) << refused.body;
    auto paired = pairWithCurl(m_model->pairing()->payload.code, relayPin());
    EXPECT_EQ(paired.status, 200) << paired.body;
}

TEST_F(PairingViewTest, ReopeningRightAfterClosingShowsACodeTheRelayAccepts)
{
    launchMac({ kLAN });
    openView();
    m_view->close();
    m_view->show();
    // Whatever the close left queued runs before the phone scans the new code.
    QCoreApplication::processEvents();
    ASSERT_TRUE(m_model->pairing());
    auto answer = pairWithCurl(m_model->pairing()->payload.code, relayPin());
    EXPECT_EQ(answer.status, 200) << answer.body;
}

TEST_F(PairingViewTest, ReopeningAfterASuccessShowsANewCode)
{
    launchMac({ kLAN });
    openView();
    auto firstCode = m_model->pairing()->payload.code;
    ASSERT_EQ(pairWithCurl(firstCode, relayPin()).status, 200);
    ASSERT_TRUE(processEventsUntil([this] { return m_view->state() == State::success; }));
    m_view->close();
    m_view->show();
    EXPECT_EQ(m_view->state(), State::code);
    EXPECT_FALSE(m_model->justPaired());
    EXPECT_NE(m_model->pairing()->payload.code, firstCode);
}

}
