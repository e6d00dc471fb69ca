// Filling a user-facing text's placeholders. Table texts come from translators, so they are never
// handed to printf: a placeholder that does not fit its argument stays in the text as written.
#pragma once

#include <QList>
#include <QLocale>
#include <QString>

#include <cstdint>
#include <variant>

namespace vellumar {

using TextArgument = std::variant<QString, std::int64_t>;

// Replaces, left to right: "%%" with "%"; "%s" and "%d" with the next argument taken in order;
// "%N$s" and "%N$d" with argument N (from 1), which does not move the order on. "%s" takes a text,
// "%d" a number, written with the locale's digits and group separators. Any other "%" sequence, an
// argument of the other kind or a missing argument leaves the placeholder as it is. Never fails.
QString formatText(const QString& format, const QList<TextArgument>& arguments, const QLocale& locale);

}
