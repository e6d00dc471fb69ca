#include "Vellumar_for_Mac/Onboarding/StepSymbol.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>

namespace vellumar {

StepSymbol StepSymbol::done() { return { .name = "checkmark.circle.fill", .isDone = true }; }

StepSymbol StepSymbol::numbered(int number)
{
    return { .name = QString::number(number) + ".circle", .isDone = false, .number = number };
}

QPixmap StepSymbol::pixmap(const QPalette& palette, const QFont& font) const
{
    const int side = QFontMetrics(font).height() * 3 / 2;
    QPixmap image(side, side);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF circle(1.5, 1.5, side - 3, side - 3);
    if (isDone) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(52, 199, 89)); // the system green
        painter.drawEllipse(circle);
        QPainterPath tick;
        tick.moveTo(side * 0.28, side * 0.52);
        tick.lineTo(side * 0.44, side * 0.68);
        tick.lineTo(side * 0.73, side * 0.35);
        painter.setPen(QPen(Qt::white, side * 0.1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(tick);
        return image;
    }
    QColor secondary = palette.color(QPalette::PlaceholderText);
    painter.setPen(QPen(secondary, 1.5));
    painter.drawEllipse(circle);
    QFont digits = font;
    digits.setPixelSize(side / 2);
    painter.setFont(digits);
    painter.drawText(circle, Qt::AlignCenter, QString::number(number));
    return image;
}

}
