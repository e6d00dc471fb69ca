// The icon of an onboarding step: a green check mark in a filled circle when the step is done, its
// number in a circle otherwise; drawn here, as Linux desktops share no such symbols.
#pragma once

#include <QFont>
#include <QPalette>
#include <QPixmap>
#include <QString>

namespace vellumar {

struct StepSymbol {
    // The symbol's name as the icon sets know it: "checkmark.circle.fill" or "<number>.circle".
    QString name;
    bool isDone = false;
    int number = 0;

    static StepSymbol done();
    static StepSymbol numbered(int number);

    // Square, one and a half lines of `font` high; the number in the palette's secondary colour.
    QPixmap pixmap(const QPalette& palette, const QFont& font) const;
};

}
