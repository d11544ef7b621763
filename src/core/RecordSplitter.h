#pragma once

#include <QList>
#include <QString>

// Splits one record of a separated-values text into its fields. A '"'
// toggles a quoted stretch and is dropped; a separator outside quotes ends
// the field, inside quotes it is kept as part of the field. The last field
// is always added (an empty line gives one empty field) and empty fields
// stay. An unterminated quote runs to the end of the line.
class RecordSplitter
{
public:
    static QList<QString> split(const QString& line, char separator);
    // The same into a list the caller reuses (cleared first).
    static void split(const QString& line, char separator, QList<QString>& fields);
};
