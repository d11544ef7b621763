#include "core/RecordSplitter.h"

QList<QString> RecordSplitter::split(const QString& line, char separator)
{
    QList<QString> fields;
    split(line, separator, fields);
    return fields;
}

void RecordSplitter::split(const QString& line, char separator, QList<QString>& fields)
{
    fields.clear();
    const QChar sep = QLatin1Char(separator);
    const QChar quote = QLatin1Char('"');
    const QChar* data = line.constData();
    const int size = line.size();

    if (line.indexOf(quote) < 0) {
        // Most lines hold no quote at all: cut them at the separators.
        int start = 0;
        for (int i = 0; i < size; ++i) {
            if (data[i] == sep) {
                fields.append(QString(data + start, i - start));
                start = i + 1;
            }
        }
        fields.append(QString(data + start, size - start));
        return;
    }

    QString field;
    bool quoted = false;
    for (int i = 0; i < size; ++i) {
        const QChar c = data[i];
        if (c == quote) {
            quoted = !quoted;
        } else if (c == sep && !quoted) {
            fields.append(field);
            field.clear();
        } else {
            field.append(c);
        }
    }
    fields.append(field);
}

void RecordSplitter::split(const QString& line, char separator, std::vector<QStringView>& views,
                           QList<QString>& storage)
{
    views.clear();
    const QChar sep = QLatin1Char(separator);
    if (line.indexOf(QLatin1Char('"')) < 0) {
        // Without quotes every field is a stretch of the line as it is.
        const QChar* data = line.constData();
        const int size = line.size();
        int start = 0;
        for (int i = 0; i < size; ++i) {
            if (data[i] == sep) {
                views.push_back(QStringView(data + start, i - start));
                start = i + 1;
            }
        }
        views.push_back(QStringView(data + start, size - start));
        return;
    }
    split(line, separator, storage);
    for (const QString& field : qAsConst(storage))
        views.push_back(QStringView(field));
}
