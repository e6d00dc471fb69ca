#include "Vellumar_for_Mac/Onboarding/OnboardingView.h"

#include "Vellumar_for_Mac/Model/AppModel.h"
#include "Vellumar_for_Mac/Onboarding/StepSymbol.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QStandardPaths>
#include <QVBoxLayout>

#include <algorithm>

namespace vellumar {

namespace {

    // The font of titles two steps above body text, and of the small print below it.
    constexpr double kTitleScale = 1.45;
    constexpr double kFootnoteScale = 0.85;

    QWidget* column(std::initializer_list<QWidget*> items, int spacing = 6)
    {
        auto* widget = new QWidget;
        auto* layout = new QVBoxLayout(widget);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(spacing);
        for (QWidget* item : items) {
            if (item)
                layout->addWidget(item);
        }
        return widget;
    }

    QWidget* row(std::initializer_list<QWidget*> items)
    {
        auto* widget = new QWidget;
        auto* layout = new QHBoxLayout(widget);
        layout->setContentsMargins(0, 0, 0, 0);
        for (QWidget* item : items)
            layout->addWidget(item);
        layout->addStretch();
        return widget;
    }

    QWidget* spinner()
    {
        auto* bar = new QProgressBar;
        bar->setObjectName("spinner");
        bar->setRange(0, 0); // busy: no known end
        bar->setTextVisible(false);
        bar->setFixedSize(48, 10);
        return bar;
    }

    QString versionText(const ClaudeCodeStatus& status)
    {
        return QString::fromStdString(status.version.value_or("?"));
    }

}

OnboardingView::OnboardingView(AppModel& model, WindowPort windows, QWidget* parent)
    : QWidget(parent)
    , m_model(model)
    , m_windows(std::move(windows))
{
    const Texts& texts = m_model.texts();
    setWindowTitle(texts.text("mac.onboarding.window.title"));
    setFixedWidth(kWidth);

    auto* content = new QVBoxLayout(this);
    content->setContentsMargins(24, 24, 24, 24);
    content->setSpacing(18);

    auto* title = text(texts.text("mac.onboarding.title"));
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * kTitleScale);
    titleFont.setBold(true);
    title->setFont(titleFont);
    content->addWidget(column({ title, text(texts.text("mac.onboarding.intro"), true) }));

    m_launchAtLogin = new QCheckBox(texts.text("mac.onboarding.launchAtLogin"));
    m_launchAtLogin->setObjectName("launchAtLogin");
    m_launchAtLogin->setChecked(true);
    auto* steps = new QWidget;
    m_steps = new QVBoxLayout(steps);
    m_steps->setContentsMargins(0, 0, 0, 0);
    m_steps->setSpacing(18);
    content->addWidget(steps);

    auto* divider = new QFrame;
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    content->addWidget(divider);

    auto* later = new QPushButton(texts.text("mac.onboarding.later"));
    later->setObjectName("later");
    connect(later, &QPushButton::clicked, this, &OnboardingView::finish);
    auto* addPhone = new QPushButton(texts.text("mac.onboarding.addPhone"));
    addPhone->setObjectName("addPhone");
    addPhone->setDefault(true);
    connect(addPhone, &QPushButton::clicked, this, &OnboardingView::finishAndAddPhone);
    auto* footer = new QHBoxLayout;
    footer->addWidget(later);
    footer->addStretch();
    footer->addWidget(addPhone);
    content->addLayout(footer);

    for (auto changed : { &AppModel::claudeStatusChanged, &AppModel::checkingClaudeChanged,
             &AppModel::mailboxStatusChanged, &AppModel::launchAtLoginChanged })
        connect(&m_model, changed, this, &OnboardingView::redraw);
    redraw();
}

void OnboardingView::keyPressEvent(QKeyEvent* event)
{
    // A plain window has no default button of its own: Return that no child took finishes here.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        finishAndAddPhone();
    else
        QWidget::keyPressEvent(event);
}

void OnboardingView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous())
        prepare();
}

void OnboardingView::prepare()
{
    m_launchAtLogin->setChecked(m_model.onboardingCompleted() ? m_model.launchAtLogin() : true);
    if (!claudeLoggedIn())
        m_model.checkClaude();
}

void OnboardingView::finish()
{
    m_model.completeOnboarding(m_launchAtLogin->isChecked());
    m_windows.dismissWindow("setup");
}

void OnboardingView::finishAndAddPhone()
{
    finish();
    m_windows.openWindow("pair");
    m_windows.activate();
}

bool OnboardingView::claudeReady() const
{
    const auto& status = m_model.claudeStatus();
    return status && status->path && status->meetsMinimumVersion();
}

bool OnboardingView::claudeLoggedIn() const
{
    return claudeReady() && m_model.claudeStatus()->login == ClaudeCodeStatus::Login::loggedIn;
}

bool OnboardingView::iCloudReady() const
{
    const auto& status = m_model.mailboxStatus();
    if (!status)
        return false;
    const auto* state = std::get_if<movrane::MailboxAccountState>(&status->availability);
    return state && *state == movrane::MailboxAccountState::available;
}

void OnboardingView::redraw()
{
    // The toggle outlives the rows: it holds the one choice of the view's own.
    m_launchAtLogin->setParent(nullptr);
    while (QLayoutItem* item = m_steps->takeAt(0)) {
        // Later: the button whose click led here may still be inside its signal.
        QWidget* old = item->widget();
        old->hide();
        old->setParent(nullptr);
        old->deleteLater();
        delete item;
    }
    for (QWidget* step : { makeStep(1, "mac.onboarding.claude.title", claudeReady(), claudeStep()),
             makeStep(2, "mac.onboarding.login.title", claudeLoggedIn(), loginStep()),
             makeStep(3, "mac.onboarding.network.title", false, networkStep()),
             makeStep(4, "mac.onboarding.login.item.title", false, m_launchAtLogin),
             makeStep(5, "mac.onboarding.icloud.title", iCloudReady(), iCloudStep()) }) {
        m_steps->addWidget(step);
        // Now, not when the window next shows its new children: the height below counts them.
        step->show();
    }
    // As tall as the content at the fixed width, so that no text is cut.
    setFixedHeight(layout()->totalHeightForWidth(kWidth));
    keepOnScreen();
}

void OnboardingView::keepOnScreen()
{
    if (!isWindow() || !isVisible())
        return;
    // Grown past its screen's bottom (the steps a check shows are taller than its spinner): up as far
    // as it must, its title bar never past the screen's top.
    const QRect available = screen()->availableGeometry();
    const int top
        = std::max(available.top(), std::min(y(), available.bottom() + 1 - frameGeometry().height()));
    if (top != y())
        move(x(), top);
}

QWidget* OnboardingView::makeStep(int number, const QString& titleKey, bool done, QWidget* content)
{
    const Texts& texts = m_model.texts();
    QString title = texts.text(titleKey);
    auto* step = new QWidget;
    step->setObjectName(QString("step%1").arg(number));
    step->setAccessibleName(done ? texts.text("mac.onboarding.stepDone", { title }) : title);
    auto* layout = new QHBoxLayout(step);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    layout->setAlignment(Qt::AlignTop);

    auto* icon = new QLabel;
    icon->setObjectName("stepIcon");
    StepSymbol symbol = done ? StepSymbol::done() : StepSymbol::numbered(number);
    icon->setProperty("symbol", symbol.name);
    icon->setPixmap(symbol.pixmap(palette(), font()));
    icon->setAccessibleName({}); // the row speaks for it
    layout->addWidget(icon, 0, Qt::AlignTop);

    auto* heading = text(title);
    QFont headline = heading->font();
    headline.setBold(true);
    heading->setFont(headline);
    layout->addWidget(column({ heading, content }), 1);
    return step;
}

QWidget* OnboardingView::claudeStep()
{
    const Texts& texts = m_model.texts();
    const auto& status = m_model.claudeStatus();
    if (m_model.checkingClaude() && !status)
        return spinner();
    if (!status || !status->path) {
        return column({ text(texts.text("mac.onboarding.claude.missing")),
            row({ button("mac.onboarding.claude.guide",
                      [this] { m_model.openURL(AppModel::claudeSetupGuide()); }),
                checkAgainButton() }) });
    }
    if (status->meetsMinimumVersion())
        return text(texts.text("mac.onboarding.claude.found", { versionText(*status) }), true);
    return column({ text(texts.text("mac.onboarding.claude.outdated", { versionText(*status) })),
        commandBox("claude update"), row({ checkAgainButton() }) });
}

QWidget* OnboardingView::loginStep()
{
    const Texts& texts = m_model.texts();
    if (!claudeReady())
        return text(texts.text("mac.onboarding.login.afterInstall"), true);
    switch (m_model.claudeStatus()->login) {
    case ClaudeCodeStatus::Login::loggedIn:
        return text(texts.text("mac.onboarding.login.done"), true);
    case ClaudeCodeStatus::Login::otherMethod:
        return column({ text(texts.text("mac.onboarding.login.otherMethod")), loginInstructions() });
    case ClaudeCodeStatus::Login::loggedOut:
    case ClaudeCodeStatus::Login::unknown:
        break;
    }
    return loginInstructions();
}

QWidget* OnboardingView::loginInstructions()
{
    const Texts& texts = m_model.texts();
    return column({ text(texts.text("mac.onboarding.login.detail")), commandBox("claude"),
        row({ button("mac.onboarding.openTerminal", [this] { openTerminal(); }), checkAgainButton() }),
        text(texts.text("mac.onboarding.login.privacy"), true, true) });
}

QWidget* OnboardingView::networkStep() { return text(m_model.texts().text("mac.onboarding.network.detail")); }

QWidget* OnboardingView::iCloudStep()
{
    const Texts& texts = m_model.texts();
    QWidget* hint = nullptr;
    if (m_model.iCloudNeedsSettings()) {
        hint = column({ text(texts.text("mac.icloud.hint")),
            row({ button("mac.icloud.openSettings", [this] { m_model.openICloudSettings(); }) }) });
    }
    return column({ text(texts.text("mac.onboarding.icloud.detail")), text(m_model.iCloudStatusText(), true),
        hint, text(texts.text("mac.onboarding.icloud.awake"), true, true) });
}

QWidget* OnboardingView::checkAgainButton()
{
    if (m_model.checkingClaude()) {
        auto* waiting = row({ spinner() });
        waiting->setObjectName("checkAgain");
        waiting->setEnabled(false);
        return waiting;
    }
    auto* again = button("mac.onboarding.checkAgain", [this] { m_model.checkClaude(); });
    again->setObjectName("checkAgain");
    return again;
}

QWidget* OnboardingView::commandBox(const QString& command)
{
    auto* box = new QLabel(command);
    box->setObjectName("commandBox");
    box->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    box->setAccessibleName(m_model.texts().text("mac.onboarding.command", { command }));
    QFont monospaced = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    box->setFont(monospaced);
    box->setStyleSheet(
        "QLabel { padding: 4px 8px; border-radius: 5px; background: rgba(127, 127, 127, 0.18); }");
    box->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    return box;
}

QLabel* OnboardingView::text(const QString& value, bool secondary, bool footnote)
{
    auto* label = new QLabel(value);
    // Long texts wrap at the window's width and keep their full height.
    label->setWordWrap(true);
    label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    if (secondary) {
        QPalette dimmed = label->palette();
        dimmed.setColor(QPalette::WindowText, dimmed.color(QPalette::PlaceholderText));
        label->setPalette(dimmed);
    }
    if (footnote) {
        QFont small = label->font();
        small.setPointSizeF(small.pointSizeF() * kFootnoteScale);
        label->setFont(small);
    }
    return label;
}

QWidget* OnboardingView::button(const QString& key, const std::function<void()>& action)
{
    auto* pushButton = new QPushButton(m_model.texts().text(key));
    connect(pushButton, &QPushButton::clicked, this, action);
    return pushButton;
}

void OnboardingView::openTerminal()
{
    // The desktop's chosen terminal, opened on its own with no command: the user types `claude`.
    QString terminal = QStandardPaths::findExecutable("x-terminal-emulator");
    if (!terminal.isEmpty())
        QProcess::startDetached(terminal, {});
}

}
