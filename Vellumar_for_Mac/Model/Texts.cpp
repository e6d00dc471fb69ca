#include "Vellumar_for_Mac/Model/Texts.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace vellumar {

namespace {

    // The resource path the build gives the table (Vellumar_for_Mac/CMakeLists.txt).
    constexpr auto kBundledTable = ":/vellumar/Texts.json";

    constexpr qint64 kTableLimitBytes = 1024 * 1024;

}

Texts::Texts(QHash<QString, QString> table)
    : m_table(std::move(table))
{
}

Texts Texts::bundled() { return fromFile(QString::fromLatin1(kBundledTable)); }

Texts Texts::fromFile(const QString& file)
{
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return Texts({});
    QJsonDocument document = QJsonDocument::fromJson(in.read(kTableLimitBytes));
    QHash<QString, QString> table;
    const QJsonObject entries = document.object();
    for (auto entry = entries.begin(); entry != entries.end(); ++entry) {
        if (entry.value().isString())
            table.insert(entry.key(), entry.value().toString());
    }
    return Texts(std::move(table));
}

QString Texts::text(const QString& key) const { return m_table.value(key, key); }

QString Texts::text(const QString& key, const QList<TextArgument>& arguments) const
{
    return formatText(text(key), arguments, QLocale::system());
}

}
