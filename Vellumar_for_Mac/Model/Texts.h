// The application's user-facing texts: one table from key to text, shipped as a resource of the
// executable and read once.
#pragma once

#include "Vellumar_for_Mac/Model/TextFormat.h"

#include <QHash>
#include <QString>

namespace vellumar {

// A value; any thread may read it.
class Texts {
public:
    explicit Texts(QHash<QString, QString> table);

    // The table compiled into the application; empty (every text its key) when it cannot be read.
    static Texts bundled();
    // A table read from a JSON object of key to text; empty when the file is not one.
    static Texts fromFile(const QString& file);

    // The key's text; the key itself when the table has none, which is what the user then sees.
    QString text(const QString& key) const;
    // The key's text with its placeholders filled (formatText) for the system's locale.
    QString text(const QString& key, const QList<TextArgument>& arguments) const;

    const QHash<QString, QString>& table() const noexcept { return m_table; }

private:
    QHash<QString, QString> m_table;
};

}
