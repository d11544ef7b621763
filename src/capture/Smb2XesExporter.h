#pragma once

#include "core/TList.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

class QIODevice;
class QTextStream;

// Turns a comma-separated file of quoted tshark SMB2 fields (a header line of
// field names, then one line per packet) into an XES event log of file
// activity with one trace. Every event stands for one group of packets: the
// successful create or close responses of one exchange, the requests of one
// exchange, or all kept packets of one SMB2 session.
//
// Runs once on the GUI thread: run() asks for the two files, exportFile()
// writes the document and reports the outcome in one message box. Groups are
// written in the order of their first row, so the same input always gives
// the same file.
class Smb2XesExporter
{
public:
    Smb2XesExporter();

    // Asks for the input ("Open CSV") and the output ("Export Selection:")
    // and exports when both were given.
    void run();
    // Reads `inputPath`, writes the XES document to `outputPath` and shows
    // the outcome; false when a file could not be opened or written.
    bool exportFile(const QString& inputPath, const QString& outputPath);
    // Reads the data lines (the stream stands after the header) into the
    // groups, then writes one event per group.
    void readPackets(QIODevice* output, QTextStream& input, const QStringList& eventKeys,
                     const QHash<QString, int>& columns);
    // Writes the event of one group, or nothing (a time switch, a spool file).
    void writeEvent(QIODevice* output, const TList<TList<QString>>& group,
                    const QHash<QString, int>& columns, bool fromLast);
    // The position recorded for the name, 0 when the table lacks it.
    int columnIndex(const QHash<QString, int>& columns, const QString& name) const;
    // Splits at every separator outside double quotes, keeping empty parts.
    static QStringList splitLine(const QString& line, QChar separator);

    // The text of a field as an XML attribute value in double quotes: one
    // pair of surrounding quotes is removed, "&" becomes "and", markup
    // characters are escaped and characters XML cannot hold are dropped; an
    // empty value is "none".
    static QString xmlValue(const QString& field);
    // A double-quoted field holding an integer (decimal, or hex after "0x"):
    // true with the number in *value. Unquoted fields never match.
    static bool quotedNumber(const QString& field, qint64* value);

    // At most this many data lines are read.
    static constexpr int LINE_LIMIT = 100001;

    QString timeField;
    QString msgIdField;
    QString commandField;
    QString sessionField;
    QString fidField;
    QString fileNameField;
    QString responseField;
    QString srcField;
    QString dstField;
    QString statusField;
    QStringList header;
    QHash<QString, QString> fidToFileName;
    QHash<QString, QString> sessionToFid;
    double minTime;
    double maxTime;
    QHash<QString, TList<TList<QString>>> sessionGroups;
    QHash<QString, TList<TList<QString>>> responseGroups;
    QHash<QString, TList<TList<QString>>> requestGroups;
    // The keys of the three tables in the order their groups were created.
    QStringList sessionOrder;
    QStringList responseOrder;
    QStringList requestOrder;

    // Data lines read (invalid and dropped ones included) and data lines
    // left unread behind the limit, of the last export.
    int linesRead = 0;
    qint64 linesNotRead = 0;
    // Events written by the last export.
    int eventsWritten = 0;

private:
    // Equal field texts share one stored copy: the groups hold every row
    // until the end.
    QString shared(const QString& field);
    void write(QIODevice* output, const QByteArray& bytes);

    QSet<QString> texts;
    bool writeFailed = false;
};
