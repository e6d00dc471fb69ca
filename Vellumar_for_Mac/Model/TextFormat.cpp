#include "Vellumar_for_Mac/Model/TextFormat.h"

#include <optional>

namespace vellumar {

namespace {

    struct Placeholder {
        qsizetype length = 0; // from the "%" to the conversion letter, both included
        std::optional<qsizetype> position; // from 1, for "%N$"
        QChar conversion;
    };

    // The placeholder that starts at `start` (a "%"), or none when the text there is not one.
    std::optional<Placeholder> placeholderAt(const QString& format, qsizetype start)
    {
        qsizetype cursor = start + 1;
        Placeholder placeholder;
        qsizetype digitsEnd = cursor;
        while (digitsEnd < format.size() && format[digitsEnd].isDigit() && digitsEnd - cursor < 3)
            ++digitsEnd;
        if (digitsEnd > cursor && digitsEnd < format.size() && format[digitsEnd] == u'$') {
            qsizetype number = format.mid(cursor, digitsEnd - cursor).toLongLong();
            if (number < 1)
                return std::nullopt;
            placeholder.position = number;
            cursor = digitsEnd + 1;
        }
        if (cursor >= format.size() || (format[cursor] != u's' && format[cursor] != u'd'))
            return std::nullopt;
        placeholder.conversion = format[cursor];
        placeholder.length = cursor - start + 1;
        return placeholder;
    }

    // The argument's text for the conversion; none when it is of the other kind.
    std::optional<QString> argumentText(const TextArgument& argument, QChar conversion, const QLocale& locale)
    {
        if (conversion == u's') {
            if (auto text = std::get_if<QString>(&argument))
                return *text;
            return std::nullopt;
        }
        if (auto number = std::get_if<std::int64_t>(&argument))
            return locale.toString(static_cast<qlonglong>(*number));
        return std::nullopt;
    }

}

QString formatText(const QString& format, const QList<TextArgument>& arguments, const QLocale& locale)
{
    QString result;
    result.reserve(format.size());
    qsizetype nextArgument = 0;
    for (qsizetype index = 0; index < format.size();) {
        if (format[index] != u'%') {
            result += format[index++];
            continue;
        }
        if (index + 1 < format.size() && format[index + 1] == u'%') {
            result += u'%';
            index += 2;
            continue;
        }
        auto placeholder = placeholderAt(format, index);
        if (!placeholder) {
            result += format[index++];
            continue;
        }
        qsizetype argumentIndex = placeholder->position ? *placeholder->position - 1 : nextArgument++;
        std::optional<QString> text;
        if (argumentIndex < arguments.size())
            text = argumentText(arguments[argumentIndex], placeholder->conversion, locale);
        result += text ? *text : format.mid(index, placeholder->length);
        index += placeholder->length;
    }
    return result;
}

}
