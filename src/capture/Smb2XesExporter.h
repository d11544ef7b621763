#pragma once

#include "core/TList.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

class QIODevice;
class QTextStream;
class QWidget;

// Turns a comma-separated file of tshark SMB2 fields (a header line of field
// names, then one line per packet) into an XES event log of file activity
// with one trace. Every event stands for one group of packets: the
// successful create or close responses of one exchange, the requests of one
// exchange, or all kept packets of one SMB2 session.
//
// A field is read alike whether it stands in double quotes (doubled quotes
// inside, as tshark prints with "-E quote=d") or bare (as the capture
// conversion writes it): the log of a converted capture and tshark's quoted
// fields of the same capture give the same events.
//
// Runs once on the GUI thread: run() asks for the two files, exportFile()
// reads the whole input, writes the document and reports the outcome in one
// message box. An input that lacks a field the export reads, that holds no
// SMB2 packet, or whose groups are all left out (so that no event would be
// written), is refused before the output is touched. Groups are
// written in the order of their first row, so the same input always gives
// the same file.
class Smb2XesExporter
{
public:
    // Its file dialogs and message boxes open over `parent` (none: on
    // their own).
    explicit Smb2XesExporter(QWidget* parent = nullptr);

    // Asks for the input ("Open CSV") and the output ("Export Selection:")
    // and exports when both were given.
    void run();
    // Reads `inputPath`, writes the XES document to `outputPath` and shows
    // the outcome; false when a file could not be opened or written, when
    // the input lacks a needed field, holds no SMB2 packet or gives no event,
    // or when it ran out of memory. The document is written beside an old
    // file of that name and takes its place only once complete: after any
    // failure the old file stays as it was.
    bool exportFile(const QString& inputPath, const QString& outputPath);
    // Reads the data lines (the stream stands after the header) into the
    // groups; their fields are stored unquoted.
    void readPackets(QTextStream& input, const QHash<QString, int>& columns);
    // Writes one event per group: the response, session and request groups.
    void writeEvents(QIODevice* output, const QHash<QString, int>& columns);
    // Writes the event of one group, or nothing (a time switch, a spool file).
    void writeEvent(QIODevice* output, const TList<TList<QString>>& group,
                    const QHash<QString, int>& columns, bool fromLast);
    // The position recorded for the name, 0 when the table lacks it.
    int columnIndex(const QHash<QString, int>& columns, const QString& name) const;
    // Splits at every separator outside double quotes, keeping empty parts
    // and the quotes.
    static QStringList splitLine(const QString& line, QChar separator);
    // The value of one field of a line: a field in double quotes loses them
    // and its doubled quotes become one; a bare field is its value.
    static QString unquote(const QString& field);
    // The fields the export reads that the header lacks, in the order of
    // the field table.
    QStringList missingFields() const;

    // A value as an XML attribute value in double quotes: "&" becomes "and",
    // markup characters are escaped and characters XML cannot hold are
    // dropped; an empty value is "none".
    static QString xmlValue(const QString& value);
    // A value holding an integer (decimal, or hex after "0x"): true with the
    // number in *number.
    static bool integerValue(const QString& value, qint64* number);

    // At most this many data lines are read.
    static constexpr int LINE_LIMIT = 100001;

    QWidget* parent = nullptr;

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
    // Rows of the last export with an SMB2 command, and those of them left
    // out for a "spoolss" file.
    int smb2Rows = 0;
    int spoolssRows = 0;
    // Events written by the last export.
    int eventsWritten = 0;

private:
    // exportFile() but for running out of memory.
    bool writeDocument(const QString& inputPath, const QString& outputPath);
    // What becomes of a group: its event, or nothing for one of two reasons.
    enum Fate { Written, TimeSwitch, SpoolFile };
    // The group's fate; for an event also its session id and file name.
    Fate fateOf(const TList<TList<QString>>& group, const QHash<QString, int>& columns,
                QString* sessionId = nullptr, QString* fileName = nullptr) const;
    // The events the groups give; the groups that give none are counted
    // by reason.
    int countEvents(const QHash<QString, int>& columns, int* timeSwitches, int* spoolFiles) const;
    // Why no event is left, for the user.
    QString noEventText(int timeSwitches, int spoolFiles) const;

    // Equal field texts share one stored copy: the groups hold every row
    // until the end.
    QString shared(const QString& field);
    void write(QIODevice* output, const QByteArray& bytes);

    QSet<QString> texts;
    bool writeFailed = false;
};
