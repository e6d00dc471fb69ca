#include "Vellumar_for_Mac/Scenes/MenuBarLabel.h"

#include "Vellumar_for_Mac/Model/AppModel.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace vellumar {

namespace {

    constexpr QColor kDisc { 0x2f, 0x7d, 0xe1 };
    constexpr QColor kOutline { 0x30, 0x30, 0x30 };

    // Drawn on a 64-unit square, scaled to the pixmap.
    QPixmap drawSymbol(int side, bool busy)
    {
        QPixmap pixmap(side, side);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(side / 64.0, side / 64.0);
        QColor stroke = busy ? QColor(Qt::white) : kOutline;
        if (busy) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(kDisc);
            painter.drawEllipse(QRectF(1, 1, 62, 62));
        }
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(stroke, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawRoundedRect(QRectF(24, 14, 16, 36), 4, 4);
        painter.drawLine(QPointF(30, 44), QPointF(34, 44));
        // Two waves on each side of the phone.
        for (int wave = 0; wave < 2; ++wave) {
            double inset = 16 - wave * 7;
            QRectF bounds(inset, 32 - (12 + wave * 7), 64 - 2 * inset, 2 * (12 + wave * 7));
            painter.drawArc(bounds, 150 * 16, 60 * 16);
            painter.drawArc(bounds, -30 * 16, 60 * 16);
        }
        return pixmap;
    }

}

QString MenuBarLabel::symbolName(int runningJobs, const std::vector<TerminalSessions::Summary>& terminals)
{
    return QString::fromLatin1(runningJobs > 0 || !terminals.empty() ? kBusySymbol : kIdleSymbol);
}

QIcon MenuBarLabel::icon(const QString& symbolName)
{
    bool busy = symbolName == QLatin1String(kBusySymbol);
    QIcon icon;
    for (int side : { 16, 22, 24, 32, 48, 64 })
        icon.addPixmap(drawSymbol(side, busy));
    return icon;
}

void MenuBarLabel::appear(const AppModel& model, const WindowPort& windows)
{
    if (model.onboardingCompleted())
        return;
    if (windows.openWindow)
        windows.openWindow(QStringLiteral("setup"));
    if (windows.activate)
        windows.activate();
}

}
