#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringView>

#include <vector>

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
    // The same fields as views (cleared first): into the line itself when
    // it holds no quote, else into `storage`, which then holds their texts.
    // The views live as long as the line and `storage` stay unchanged.
    // With `maxFields` above 0 at most that many: the last one then holds
    // the rest of the line as it is (a reader that wants fewer fields need
    // not cut a line of millions).
    static void split(const QString& line, char separator, std::vector<QStringView>& views,
                      QList<QString>& storage, int maxFields = 0);
    // The same over the bytes of a record in an ASCII-compatible encoding
    // (UTF-8 among them), whatever they hold: the fields are byte strings,
    // so that texts that are not valid UTF-8 stay as they are.
    static void split(const QByteArray& line, char separator, QList<QByteArray>& fields);
};
