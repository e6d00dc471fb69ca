#include "Vellumar_for_Mac/Windows/PairingView.h"

#include "Platform/QRCode.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

namespace vellumar {

namespace {

    using namespace std::chrono_literals;

    constexpr int kStateSpacing = 16;
    constexpr int kCountdownSpacing = 12;
    constexpr int kNameSpacing = 4;
    constexpr int kExpiredLookHeight = 120;

    // Relative to the body text, as the system's text styles are.
    constexpr double kCalloutScale = 16.0 / 17.0;
    constexpr double kFootnoteScale = 13.0 / 17.0;

    QVBoxLayout* stack(QWidget* owner, int spacing)
    {
        auto* layout = new QVBoxLayout(owner);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(spacing);
        return layout;
    }

    QLabel* textLabel(const QString& text, QWidget* parent)
    {
        auto* label = new QLabel(text, parent);
        label->setWordWrap(true);
        label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        label->setTextFormat(Qt::PlainText);
        return label;
    }

    void setFontScale(QWidget* widget, double scale, bool bold = false)
    {
        QFont font = widget->font();
        font.setPointSizeF(font.pointSizeF() * scale);
        font.setBold(bold);
        widget->setFont(font);
    }

    void makeSecondary(QWidget* widget)
    {
        QPalette palette = widget->palette();
        palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
        widget->setPalette(palette);
    }

    QLabel* symbol(const char* name, int side, QWidget* parent)
    {
        auto* label = new QLabel(parent);
        label->setObjectName(QString::fromLatin1(name));
        QPixmap image(QStringLiteral(":/vellumar/icons/%1.png").arg(QString::fromLatin1(name)));
        label->setPixmap(image.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation));
        label->setAlignment(Qt::AlignCenter);
        return label;
    }

}

PairingView::PairingView(AppModel& model, Texts texts, Clock clock, QWidget* parent)
    : QWidget(parent)
    , m_model(model)
    , m_texts(std::move(texts))
    , m_clock(std::move(clock))
    , m_timer(new QTimer(this))
{
    setWindowTitle(m_texts.text(QStringLiteral("mac.pair.window.title")));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    setFixedWidth(kWidth);

    m_timer->setInterval(1s);
    connect(m_timer, &QTimer::timeout, this, &PairingView::tick);
    for (auto changed :
        { &AppModel::justPairedChanged, &AppModel::pairingChanged, &AppModel::pairingProblemChanged })
        connect(&m_model, changed, this, &PairingView::rebuild);
    rebuild();
}

PairingView::~PairingView() = default;

std::optional<QImage> PairingView::qrImage(std::string_view text)
{
    auto bitmap = platform::makeQRCode(text);
    if (!bitmap)
        return std::nullopt;
    QImage image(bitmap->sidePixels, bitmap->sidePixels, QImage::Format_Grayscale8);
    for (int row = 0; row < bitmap->sidePixels; ++row)
        std::copy_n(bitmap->pixels.data() + static_cast<std::size_t>(row) * bitmap->sidePixels,
            bitmap->sidePixels, image.scanLine(row));
    return image;
}

int PairingView::secondsLeft(TimePoint expiresAt, TimePoint now)
{
    std::chrono::duration<double> left = expiresAt - now;
    return std::max(0, static_cast<int>(std::ceil(left.count())));
}

QString PairingView::countdownText(int secondsLeft)
{
    return QStringLiteral("%1:%2").arg(secondsLeft / 60).arg(secondsLeft % 60, 2, 10, QLatin1Char('0'));
}

void PairingView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous())
        m_model.startPairing();
}

void PairingView::closeEvent(QCloseEvent* event)
{
    QWidget::closeEvent(event);
    m_model.endPairing();
}

void PairingView::keyPressEvent(QKeyEvent* event)
{
    bool returnKey = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (returnKey && m_closeButton)
        m_closeButton->click();
    else
        QWidget::keyPressEvent(event);
}

void PairingView::rebuild()
{
    // The old state may be the one whose button is being pressed: it leaves the window now and is
    // deleted once that press is over.
    if (m_page) {
        layout()->removeWidget(m_page);
        m_page->hide();
        m_page->setParent(nullptr);
        m_page->deleteLater();
    }
    m_liveCode = m_expiredLook = nullptr;
    m_expiresIn = nullptr;
    m_closeButton = nullptr;
    m_expiresAt.reset();
    m_timer->stop();

    if (const auto& device = m_model.justPaired()) {
        m_state = State::success;
        m_page = makeSuccess(*device);
    } else if (const auto& session = m_model.pairing()) {
        m_state = State::code;
        m_page = makeCode(*session);
    } else if (auto problem = m_model.pairingProblem()) {
        m_state = State::problem;
        m_page = makeProblem(*problem);
    } else {
        m_state = State::progress;
        m_page = makeProgress();
    }
    layout()->addWidget(m_page);
    // A child made after its window was shown stays hidden until it is shown itself.
    m_page->show();
    if (m_state == State::code) {
        tick();
        m_timer->start();
    }
    fitHeight();
}

QWidget* PairingView::makeProgress()
{
    auto* page = new QWidget(this);
    auto* busy = new QProgressBar(page);
    busy->setObjectName(QStringLiteral("progress"));
    busy->setRange(0, 0);
    busy->setTextVisible(false);
    stack(page, kStateSpacing)->addWidget(busy);
    return page;
}

QWidget* PairingView::makeProblem(AppModel::PairingProblem problem)
{
    auto* page = new QWidget(this);
    auto* layout = stack(page, kStateSpacing);
    auto* icon = symbol("exclamationmark.triangle", 40, page);
    layout->addWidget(icon);
    bool noAddress = problem == AppModel::PairingProblem::noAddress;
    auto* reason = textLabel(
        m_texts.text(noAddress ? QStringLiteral("mac.pair.noAddress") : QStringLiteral("mac.pair.notReady")),
        page);
    reason->setObjectName(QStringLiteral("problem"));
    layout->addWidget(reason);
    layout->addWidget(makeRenewButton(), 0, Qt::AlignHCenter);
    return page;
}

QWidget* PairingView::makeSuccess(const PairedDevice& device)
{
    auto* page = new QWidget(this);
    auto* layout = stack(page, kStateSpacing);
    layout->addWidget(symbol("checkmark.circle.fill", 48, page));
    auto* title = textLabel(
        m_texts.text(QStringLiteral("mac.pair.success"), { QString::fromStdString(device.name) }), page);
    title->setObjectName(QStringLiteral("success"));
    setFontScale(title, 1.0, true);
    layout->addWidget(title);
    auto* detail = textLabel(m_texts.text(QStringLiteral("mac.pair.successDetail")), page);
    makeSecondary(detail);
    layout->addWidget(detail);
    m_closeButton = new QPushButton(m_texts.text(QStringLiteral("mac.pair.close")), page);
    m_closeButton->setObjectName(QStringLiteral("mac.pair.close"));
    m_closeButton->setDefault(true);
    // Closes this window, the one whose button was pressed.
    connect(m_closeButton, &QPushButton::clicked, this, [this] { window()->close(); });
    layout->addWidget(m_closeButton, 0, Qt::AlignHCenter);
    return page;
}

QWidget* PairingView::makeCode(const AppModel::PairingSession& session)
{
    auto* page = new QWidget(this);
    auto* layout = stack(page, kStateSpacing);

    auto* instructions = textLabel(m_texts.text(QStringLiteral("mac.pair.instructions")), page);
    setFontScale(instructions, 1.0, true);
    layout->addWidget(instructions);

    auto* countdown = new QWidget(page);
    auto* countdownLayout = stack(countdown, 0);
    m_liveCode = new QWidget(countdown);
    auto* liveLayout = stack(m_liveCode, kCountdownSpacing);
    auto image = qrImage(session.payload.text());
    m_hasQRImage = image.has_value();
    auto* code = new QLabel(m_liveCode);
    code->setObjectName(QStringLiteral("qrCode"));
    code->setAccessibleName(m_texts.text(QStringLiteral("mac.pair.window.title")));
    code->setFixedSize(kQRSide, kQRSide);
    if (image) // Modules stay sharp squares: no smoothing between them.
        code->setPixmap(QPixmap::fromImage(
            image->scaled(kQRSide, kQRSide, Qt::IgnoreAspectRatio, Qt::FastTransformation)));
    liveLayout->addWidget(code, 0, Qt::AlignHCenter);
    m_expiresIn = textLabel(QString(), m_liveCode);
    m_expiresIn->setObjectName(QStringLiteral("expiresIn"));
    m_expiresIn->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    makeSecondary(m_expiresIn);
    liveLayout->addWidget(m_expiresIn);
    countdownLayout->addWidget(m_liveCode);

    m_expiredLook = new QWidget(countdown);
    auto* expiredLayout = stack(m_expiredLook, kCountdownSpacing);
    auto* clock = symbol("clock.badge.xmark", 40, m_expiredLook);
    clock->setFixedHeight(kExpiredLookHeight);
    expiredLayout->addWidget(clock);
    auto* expired = textLabel(m_texts.text(QStringLiteral("mac.pair.expired")), m_expiredLook);
    expired->setObjectName(QStringLiteral("expired"));
    expiredLayout->addWidget(expired);
    countdownLayout->addWidget(m_expiredLook);
    layout->addWidget(countdown);

    auto* names = new QWidget(page);
    auto* namesLayout = stack(names, kNameSpacing);
    auto* macName = textLabel(
        m_texts.text(QStringLiteral("mac.pair.macName"), { QString::fromStdString(session.payload.macName) }),
        names);
    macName->setObjectName(QStringLiteral("macName"));
    setFontScale(macName, kCalloutScale);
    namesLayout->addWidget(macName);
    auto* pin = textLabel(
        m_texts.text(QStringLiteral("mac.pair.pin"), { QString::fromStdString(session.pinSummary) }), names);
    pin->setObjectName(QStringLiteral("pin"));
    pin->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    namesLayout->addWidget(pin);
    layout->addWidget(names);

    auto* network = textLabel(m_texts.text(session.usesTailscale ? QStringLiteral("mac.pair.tailscaleNote")
                                                                 : QStringLiteral("mac.pair.sameNetwork")),
        page);
    network->setObjectName(QStringLiteral("network"));
    auto* oneTime = textLabel(m_texts.text(QStringLiteral("mac.pair.oneTime")), page);
    for (auto* note : { network, oneTime }) {
        setFontScale(note, kFootnoteScale);
        makeSecondary(note);
        layout->addWidget(note);
    }
    layout->addWidget(makeRenewButton(), 0, Qt::AlignHCenter);
    m_expiresAt = session.expiresAt;
    return page;
}

QPushButton* PairingView::makeRenewButton()
{
    auto* button = new QPushButton(m_texts.text(QStringLiteral("mac.pair.renew")));
    button->setObjectName(QStringLiteral("mac.pair.renew"));
    button->setAutoDefault(false);
    connect(button, &QPushButton::clicked, &m_model, &AppModel::startPairing);
    return button;
}

void PairingView::tick()
{
    if (!m_expiresAt)
        return;
    int left = secondsLeft(*m_expiresAt, m_clock());
    bool live = left > 0 && m_hasQRImage;
    m_expiresIn->setText(m_texts.text(QStringLiteral("mac.pair.expiresIn"), { countdownText(left) }));
    if (m_liveCode->isVisibleTo(this) != live || m_expiredLook->isVisibleTo(this) == live) {
        m_liveCode->setVisible(live);
        m_expiredLook->setVisible(!live);
        fitHeight();
    }
}

void PairingView::fitHeight()
{
    layout()->activate();
    int height = layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(kWidth)
                                               : layout()->totalSizeHint().height();
    setFixedHeight(height);
}

}
