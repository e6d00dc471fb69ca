#include "Vellumar_for_Mac/Scenes/MenuBarLabel.h"

#include "Vellumar_for_Mac/Model/AppModel.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>

namespace vellumar {

namespace {

    constexpr QColor kDisc { 0x2f, 0x7d, 0xe1 };
    constexpr QColor kOutline { 0x30, 0x30, 0x30 };
    // Around the outline: panels are light or dark, and Qt does not tell which (GNOME's is dark under
    // a light theme), so the dark strokes show on a light panel and their light edge on a dark one.
    constexpr QColor kEdge { 0xf2, 0xf2, 0xf2 };
    constexpr double kStrokeWidth = 4;
    constexpr double kEdgeWidth = 3;
    // In pixels: a thinner outline blurs into the panel's colour at the smallest tray sizes.
    constexpr double kLeastStrokePixels = 1.5;
    constexpr double kLeastEdgePixels = 1;

    // A phone with two waves on each side of it, on the 64-unit square.
    void drawPhoneAndWaves(QPainter& painter, const QColor& color, double width)
    {
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawRoundedRect(QRectF(24, 14, 16, 36), 4, 4);
        painter.drawLine(QPointF(30, 44), QPointF(34, 44));
        for (int wave = 0; wave < 2; ++wave) {
            double inset = 16 - wave * 7;
            QRectF bounds(inset, 32 - (12 + wave * 7), 64 - 2 * inset, 2 * (12 + wave * 7));
            painter.drawArc(bounds, 150 * 16, 60 * 16);
            painter.drawArc(bounds, -30 * 16, 60 * 16);
        }
    }

    // Drawn on a 64-unit square, scaled to the pixmap.
    QPixmap drawSymbol(int side, bool busy)
    {
        QPixmap pixmap(side, side);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        double unitsPerPixel = 64.0 / side;
        painter.scale(1 / unitsPerPixel, 1 / unitsPerPixel);
        if (busy) {
            // The disc's blue lies between light and dark panels in brightness and shows on both.
            painter.setPen(Qt::NoPen);
            painter.setBrush(kDisc);
            painter.drawEllipse(QRectF(1, 1, 62, 62));
            drawPhoneAndWaves(painter, Qt::white, kStrokeWidth);
        } else {
            double stroke = std::max(kStrokeWidth, kLeastStrokePixels * unitsPerPixel);
            double edge = std::max(kEdgeWidth, kLeastEdgePixels * unitsPerPixel);
            drawPhoneAndWaves(painter, kEdge, stroke + 2 * edge);
            drawPhoneAndWaves(painter, kOutline, stroke);
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
