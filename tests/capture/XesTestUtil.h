#pragma once

#include <QFile>
#include <QList>
#include <QMap>
#include <QString>
#include <QXmlStreamReader>

namespace xestest {

// The events of an XES document as key -> value maps (attribute values as
// an XML parser reads them). `error` receives the parser's complaint, empty
// when the document is well formed.
inline QList<QMap<QString, QString>> readEvents(const QString& path, QString* error)
{
    QList<QMap<QString, QString>> events;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot open ") + path;
        return events;
    }
    QXmlStreamReader reader(&file);
    bool inEvent = false;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement() && reader.name() == QLatin1String("event")) {
            inEvent = true;
            events.append(QMap<QString, QString>());
        } else if (reader.isEndElement() && reader.name() == QLatin1String("event")) {
            inEvent = false;
        } else if (inEvent && reader.isStartElement() && reader.name() == QLatin1String("string")) {
            const QXmlStreamAttributes a = reader.attributes();
            events.last().insert(a.value(QLatin1String("key")).toString(),
                                 a.value(QLatin1String("value")).toString());
        }
    }
    *error = reader.hasError() ? reader.errorString() : QString();
    return events;
}

inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace xestest
