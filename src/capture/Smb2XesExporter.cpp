#include "capture/Smb2XesExporter.h"

#include "app/FileAsker.h"
#include "app/MessageAsker.h"
#include "core/SideFile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>

namespace {

const char* const EXTENSIONS_HOST = "http://www.xes-standard.org/";

// The fourteen event keys that have a column, in declaration order; the
// fifteenth, "smb2.incomplete", is made by the exporter.
const char* const KEYED_FIELDS[] = {
    "frame.time_epoch", "frame.number", "ip.src", "ip.dst", "smb2.cmd", "smb2.filename",
    "smb2.fid", "smb2.nt_status", "smb2.create.action", "smb2.disposition.delete_on_close",
    "smb2.file_info.infolevel", "smb2.sesid", "smb2.msg_id", "smb2.tid"};

// The field at a position; an absent column (-1) or a position beyond the
// row reads as empty.
const QString& fieldAt(const TList<QString>& row, int position)
{
    static const QString empty;
    if (position < 0 || position >= row.size())
        return empty;
    return row.items[std::size_t(position)];
}

// Seconds of a time value; text that is no finite number counts as 0.
double seconds(const QString& value)
{
    bool ok = false;
    const double v = value.toDouble(&ok);
    return ok && std::isfinite(v) ? v : 0.0;
}

// Joins the parts of an exchange key: a line break cannot stand in a field
// read line by line, so no two different keys read alike.
const QChar KEY_SEPARATOR = QLatin1Char('\n');

// Nanoseconds in the general notation with up to 22 significant digits: a
// present-day epoch time prints as a whole number.
QString nanoseconds(double secs)
{
    return QString::number(secs * 1e9, 'g', 22);
}

} // namespace

Smb2XesExporter::Smb2XesExporter(QWidget* parent)
    : parent(parent),
      timeField(QStringLiteral("frame.time_epoch")),
      msgIdField(QStringLiteral("smb2.msg_id")),
      commandField(QStringLiteral("smb2.cmd")),
      sessionField(QStringLiteral("smb2.sesid")),
      fidField(QStringLiteral("smb2.fid")),
      fileNameField(QStringLiteral("smb2.filename")),
      responseField(QStringLiteral("smb2.flags.response")),
      srcField(QStringLiteral("ip.src")),
      dstField(QStringLiteral("ip.dst")),
      statusField(QStringLiteral("smb2.nt_status")),
      minTime(std::numeric_limits<double>::max()),
      maxTime(0.0)
{
}

void Smb2XesExporter::run()
{
    try {
        const QString input = FileAsker::openFileName(parent, QStringLiteral("Open CSV"),
                                                      QDir::homePath(), QStringLiteral("*.csv"));
        // The output is asked for even when no input was chosen.
        const QString output = FileAsker::saveFileName(parent, QStringLiteral("Export Selection:"),
                                                       QString(), QStringLiteral("Xes files (*.xes)"));
        if (input.isEmpty() || output.isEmpty())
            return;
        exportFile(input, output);
    } catch (const std::bad_alloc&) {
        // Before the export began: nothing was written.
        MessageAsker::tell(QMessageBox::Warning, "Failed to save selection",
                           "Save failed: file could not be opened or writte to", parent);
    }
}

bool Smb2XesExporter::exportFile(const QString& inputPath, const QString& outputPath)
{
    try {
        return writeDocument(inputPath, outputPath);
    } catch (const std::bad_alloc&) {
        // The output was written beside the old file, which stays as it was.
        MessageAsker::tell(QMessageBox::Warning, "Failed to save selection",
                           "Save failed: file could not be opened or writte to", parent);
        return false;
    }
}

bool Smb2XesExporter::writeDocument(const QString& inputPath, const QString& outputPath)
{
    const QString failedTitle = QStringLiteral("Failed to save selection");
    const auto failed = [this, &failedTitle](const QString& text) {
        MessageAsker::ask(QMessageBox::Warning, failedTitle, text, QMessageBox::Ok, parent);
        return false;
    };
    const QString notOpened = QStringLiteral("Save failed: file could not be opened or writte to");

    QFile in(inputPath);
    if (!in.open(QIODevice::ReadOnly))
        return failed(notOpened);

    QTextStream stream(&in);
    stream.setCodec("UTF-8");
    header.clear();
    for (const QString& name : splitLine(stream.readLine(), QLatin1Char(',')))
        header.append(unquote(name));

    // Without these the packets cannot be grouped or routed: refused before
    // anything is written.
    const QStringList missing = missingFields();
    if (!missing.isEmpty())
        return failed(QStringLiteral("Export failed: the input lacks the field%1 %2, which the "
                                     "export needs. Convert the capture with %3 selected.")
                          .arg(missing.size() > 1 ? QStringLiteral("s") : QString(),
                               missing.join(QStringLiteral(", ")),
                               missing.size() > 1 ? QStringLiteral("these fields")
                                                  : QStringLiteral("this field")));

    QStringList eventKeys;
    QHash<QString, int> columns;
    const auto record = [&](const QString& name) {
        if (!columns.contains(name))
            columns.insert(name, header.indexOf(name));
    };
    for (const char* key : KEYED_FIELDS) {
        const QString name = QString::fromLatin1(key);
        record(name);
        eventKeys.append(name);
    }
    record(responseField);
    record(srcField);
    record(dstField);
    eventKeys.append(QStringLiteral("smb2.incomplete"));

    readPackets(stream, columns);
    in.close();
    if (smb2Rows == 0)
        return failed(QStringLiteral("Export failed: the input holds no SMB2 packets (no row has "
                                     "a value in %1).")
                          .arg(commandField));
    // A document without an event is no export: refused, and an older file
    // at the output stays as it was.
    int timeSwitches = 0;
    int spoolFiles = 0;
    if (countEvents(columns, &timeSwitches, &spoolFiles) == 0)
        return failed(noEventText(timeSwitches, spoolFiles));

    // Written beside an old file of that name, which it replaces only once
    // complete: whatever fails, the old file stays as it was.
    SideFile file(outputPath);
    if (!file.open(true))
        return failed(notOpened);
    QIODevice* const out = file.device();

    writeFailed = false;
    QByteArray prologue;
    prologue += "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n";
    prologue += "<log xes.version=\"1.0\" xes.features=\"nested-attributes\" "
                "openxes.version=\"1.0RC7\">\n";
    const QByteArray host(EXTENSIONS_HOST);
    prologue += "    <extension name=\"Time\" prefix=\"time\" uri=\"" + host + "time.xesext\"/>\n";
    prologue += "    <extension name=\"Software\" prefix=\"software\" uri=\"" + host
        + "software.xesext\"/>\n";
    prologue += "    <extension name=\"Lifecycle\" prefix=\"lifecycle\" uri=\"" + host
        + "lifecycle.xesext\"/>\n";
    prologue += "    <extension name=\"Concept\" prefix=\"concept\" uri=\"" + host
        + "concept.xesext\"/>\n";
    prologue += "    <global scope=\"trace\">\n";
    prologue += "        <string key=\"concept:name\" value=\"DEFAULT\"/>\n";
    prologue += "    </global>\n";
    prologue += "    <global scope=\"event\">\n";
    for (const QString& key : eventKeys)
        prologue += "        <string key=\"" + key.toUtf8() + "\" value=\"__INVALID__\"/>\n";
    prologue += "    </global>";
    prologue += "    <classifier name=\"Method Call Identifier\" "
                "keys=\"concept:name software:class software:package\"/>\n";
    prologue += "    <string key=\"concept:name\" value=\"A Software Event Log\"/>\n";
    prologue += "    <trace>\n";
    write(out, prologue);

    writeEvents(out, columns);

    write(out, "    </trace>\n</log>\n");
    if (writeFailed || !file.commit()) {
        qDebug().noquote() << QStringLiteral("XES not saved to %1: %2").arg(outputPath, file.errorString());
        return failed(notOpened);
    }

    // The file is in place: running out of memory from here on only loses
    // the box that says so.
    try {
        QString text = QStringLiteral("Export successful");
        if (linesNotRead > 0)
            text += QStringLiteral("\nOnly the first %1 lines of the input were read: %2 lines were "
                                   "not read.")
                        .arg(LINE_LIMIT)
                        .arg(linesNotRead);
        MessageAsker::ask(QMessageBox::Information, QStringLiteral("Save Selection"), text,
                          QMessageBox::Ok, parent);
    } catch (const std::bad_alloc&) {
        std::fputs("Save Selection: Export successful\n", stderr);
    }
    return true;
}

int Smb2XesExporter::countEvents(const QHash<QString, int>& columns, int* timeSwitches,
                                 int* spoolFiles) const
{
    int events = 0;
    for (const QHash<QString, TList<TList<QString>>>* table :
         {&responseGroups, &sessionGroups, &requestGroups}) {
        for (const TList<TList<QString>>& group : *table) {
            if (group.isEmpty())
                continue;
            switch (fateOf(group, columns)) {
            case Written: ++events; break;
            case TimeSwitch: ++*timeSwitches; break;
            case SpoolFile: ++*spoolFiles; break;
            }
        }
    }
    return events;
}

QString Smb2XesExporter::noEventText(int timeSwitches, int spoolFiles) const
{
    const auto counted = [](int n, const char* one, const char* many) {
        return QString::number(n) + QLatin1Char(' ') + QLatin1String(n == 1 ? one : many);
    };
    QStringList reasons;
    if (spoolssRows > 0)
        reasons << counted(spoolssRows, "packet belongs", "packets belong")
                       + QStringLiteral(" to a file whose name contains \"spoolss\" (print "
                                        "spooling), which the export leaves out.");
    if (timeSwitches > 0)
        reasons << counted(timeSwitches, "group runs", "groups run")
                       + QStringLiteral(" backward in time: its first packet is more than 1 s "
                                        "later than its last.");
    if (spoolFiles > 0)
        reasons << counted(spoolFiles, "group belongs", "groups belong")
                       + QStringLiteral(" to a file whose name contains \"spool\", which the "
                                        "export leaves out.");
    return QStringLiteral("Export failed: no event is left to write, so no file was written.\n")
        + reasons.join(QLatin1Char('\n'));
}

QStringList Smb2XesExporter::missingFields() const
{
    QStringList missing;
    for (const QString* name : {&timeField, &msgIdField, &commandField, &sessionField, &fidField,
                                &fileNameField, &responseField, &srcField, &dstField, &statusField})
        if (!header.contains(*name))
            missing.append(*name);
    return missing;
}

void Smb2XesExporter::readPackets(QTextStream& input, const QHash<QString, int>& columns)
{
    const int sessionColumn = columns.value(sessionField, -1);
    const int msgIdColumn = columns.value(msgIdField, -1);
    const int srcColumn = columns.value(srcField, -1);
    const int dstColumn = columns.value(dstField, -1);
    const int fidColumn = columns.value(fidField, -1);
    const int fileNameColumn = columns.value(fileNameField, -1);
    const int commandColumn = columns.value(commandField, -1);
    const int responseColumn = columns.value(responseField, -1);
    const int statusColumn = columns.value(statusField, -1);
    // Times and frame numbers are new in every line: sharing them saves nothing.
    const int timeColumn = columns.value(timeField, -1);
    const int frameColumn = columns.value(QStringLiteral("frame.number"), -1);
    // A line must reach every column that is read.
    int width = 0;
    for (const int column : columns)
        width = std::max(width, column + 1);

    const auto append = [](QHash<QString, TList<TList<QString>>>& table, QStringList& order,
                           const QString& key, const TList<QString>& row) {
        auto it = table.find(key);
        if (it == table.end()) {
            it = table.insert(key, TList<TList<QString>>());
            order.append(key);
        }
        it->append(row);
    };

    int n = 0;
    linesNotRead = 0;
    smb2Rows = 0;
    spoolssRows = 0;
    QString line;
    while (input.readLineInto(&line)) {
        if (n != 0 && n % 1000 == 0)
            qDebug() << "Read " << n << " Packets";
        const QStringList parts = splitLine(line, QLatin1Char(','));
        if (parts.size() < width) {
            qDebug() << "Invalid packet ";
        } else {
            TList<QString> row;
            row.items.reserve(std::size_t(parts.size()));
            for (int k = 0; k < parts.size(); ++k) {
                const QString value = unquote(parts.at(k));
                row.append(k == timeColumn || k == frameColumn ? value : shared(value));
            }

            const QString& sessionId = fieldAt(row, sessionColumn);
            const QString& msgId = fieldAt(row, msgIdColumn);
            const QString& src = fieldAt(row, srcColumn);
            const QString& dst = fieldAt(row, dstColumn);
            QString fid = fieldAt(row, fidColumn);
            const QString& fileName = fieldAt(row, fileNameColumn);

            if (!fid.isEmpty())
                sessionToFid.insert(sessionId, fid);
            if (!fileName.isEmpty()) {
                if (fid.isEmpty())
                    fid = sessionToFid.value(sessionId);
                fidToFileName.insert(fid, fileName);
            }
            const bool srcFirst = src < dst;
            const QString key = msgId + KEY_SEPARATOR + (srcFirst ? src : dst) + KEY_SEPARATOR
                + (srcFirst ? dst : src) + KEY_SEPARATOR + fid;

            const bool smb2 = !fieldAt(row, commandColumn).isEmpty();
            if (smb2)
                ++smb2Rows;
            if (fidToFileName.value(fid).contains(QLatin1String("spoolss"))) {
                if (smb2)
                    ++spoolssRows;
            } else {
                qint64 command = -1;
                qint64 response = -1;
                qint64 status = -1;
                const bool hasCommand = integerValue(fieldAt(row, commandColumn), &command);
                const bool hasResponse = integerValue(fieldAt(row, responseColumn), &response);
                const bool hasStatus = integerValue(fieldAt(row, statusColumn), &status);
                if (hasCommand && hasResponse && hasStatus && (command == 5 || command == 6)
                    && response == 1 && status == 0)
                    append(responseGroups, responseOrder, key, row);
                else if (hasResponse && response == 0)
                    append(requestGroups, requestOrder, key, row);
                append(sessionGroups, sessionOrder, sessionId, row);
            }
        }
        ++n;
        if (n == LINE_LIMIT)
            break;
    }
    linesRead = n;
    if (n == LINE_LIMIT) {
        while (input.readLineInto(&line))
            ++linesNotRead;
    }
    texts.clear();
}

void Smb2XesExporter::writeEvents(QIODevice* output, const QHash<QString, int>& columns)
{
    eventsWritten = 0;
    for (const QString& key : responseOrder) {
        const TList<TList<QString>>& group = responseGroups[key];
        if (group.size() > 2) {
            qDebug() << "duplicates";
            for (const TList<QString>& row : group.items) {
                QString text;
                for (const QString& f : row.items)
                    text += f + QLatin1Char(',');
                qDebug().noquote() << text;
            }
        }
        writeEvent(output, group, columns, false);
    }
    for (const QString& key : sessionOrder)
        writeEvent(output, sessionGroups[key], columns, false);
    for (const QString& key : requestOrder)
        writeEvent(output, requestGroups[key], columns, true);

    qDebug() << "minTime:" << minTime << "maxTime:" << maxTime;
}

void Smb2XesExporter::writeEvent(QIODevice* output, const TList<TList<QString>>& group,
                                 const QHash<QString, int>& columns, bool fromLast)
{
    if (group.isEmpty())
        return;
    const TList<QString>& first = group.first();
    const TList<QString>& last = group.last();

    const int timeColumn = columnIndex(columns, timeField);
    const double start = seconds(fieldAt(first, timeColumn));
    const double end = seconds(fieldAt(last, timeColumn));
    const QString startText = nanoseconds(start);
    const QString endText = nanoseconds(end);
    QString sessionId;
    QString fileName;
    switch (fateOf(group, columns, &sessionId, &fileName)) {
    case Written: break;
    case TimeSwitch: qDebug() << "timeswitch detected " << end - start; return;
    case SpoolFile: return;
    }

    const auto firstField = [&](const QString& name) {
        return fieldAt(first, columnIndex(columns, name));
    };
    const TList<QString>& chosen = fromLast ? last : first;
    const QPair<const char*, QString> pairs[] = {
        {"frame.start_time", startText},
        {"frame.end_time", endText},
        {"frame.number", firstField(QStringLiteral("frame.number"))},
        {"ip.src", firstField(srcField)},
        {"ip.dst", firstField(dstField)},
        {"smb2.cmd", firstField(commandField)},
        {"smb2.filename", fileName},
        {"smb2.fid", sessionToFid.value(sessionId)},
        {"smb2.nt_status", fieldAt(chosen, columnIndex(columns, statusField))},
        {"smb2.create.action", firstField(QStringLiteral("smb2.create.action"))},
        {"smb2.disposition.delete_on_close",
         firstField(QStringLiteral("smb2.disposition.delete_on_close"))},
        {"smb2.file_info.infolevel", firstField(QStringLiteral("smb2.file_info.infolevel"))},
        {"smb2.sesid", fieldAt(chosen, columnIndex(columns, sessionField))},
        {"smb2.tid", firstField(QStringLiteral("smb2.tid"))},
        {"smb2.incomplete", group.size() == 1 ? QStringLiteral("1") : QStringLiteral("0")},
    };

    QByteArray text("        <event>\n");
    for (const auto& pair : pairs) {
        text += "            <string key=\"";
        text += pair.first;
        text += "\" value=";
        text += xmlValue(pair.second).toUtf8();
        text += "/>\n";
    }
    text += "        </event>\n";
    write(output, text);
    ++eventsWritten;
}

Smb2XesExporter::Fate Smb2XesExporter::fateOf(const TList<TList<QString>>& group,
                                               const QHash<QString, int>& columns,
                                               QString* sessionIdOut, QString* fileNameOut) const
{
    const int timeColumn = columnIndex(columns, timeField);
    const double start = seconds(fieldAt(group.first(), timeColumn));
    const double end = seconds(fieldAt(group.last(), timeColumn));
    const double testedEnd = std::fabs(end - start) < 1.0 ? start + 1.0 : end;
    if (start > testedEnd)
        return TimeSwitch;

    const int sessionColumn = columns.value(sessionField, -1);
    const int fidColumn = columns.value(fidField, -1);
    QString sessionId;
    QString fid;
    for (const TList<QString>& row : group.items) {
        if (sessionId.isEmpty())
            sessionId = fieldAt(row, sessionColumn);
        if (fid.isEmpty())
            fid = fieldAt(row, fidColumn);
        if (!sessionId.isEmpty() && !fid.isEmpty())
            break;
    }
    const QString fileName = fidToFileName.value(fid);
    if (fileName.contains(QLatin1String("spool")))
        return SpoolFile;
    if (sessionIdOut)
        *sessionIdOut = sessionId;
    if (fileNameOut)
        *fileNameOut = fileName;
    return Written;
}

int Smb2XesExporter::columnIndex(const QHash<QString, int>& columns, const QString& name) const
{
    return columns.value(name, 0);
}

QStringList Smb2XesExporter::splitLine(const QString& line, QChar separator)
{
    QStringList parts;
    const QChar* data = line.constData();
    const int size = line.size();
    int from = 0;
    bool quoted = false;
    for (int i = 0; i < size; ++i) {
        const QChar c = data[i];
        if (c == QLatin1Char('"'))
            quoted = !quoted;
        else if (c == separator && !quoted) {
            parts.append(line.mid(from, i - from));
            from = i + 1;
        }
    }
    parts.append(line.mid(from));
    return parts;
}

QString Smb2XesExporter::unquote(const QString& field)
{
    const QChar quote = QLatin1Char('"');
    if (field.size() < 2 || field.at(0) != quote || field.at(field.size() - 1) != quote)
        return field;
    QString value = field.mid(1, field.size() - 2);
    value.replace(QLatin1String("\"\""), QLatin1String("\""));
    return value;
}

QString Smb2XesExporter::xmlValue(const QString& value)
{
    const int to = value.size();
    QString out;
    out.reserve(to + 8);
    out += QLatin1Char('"');
    const QChar* data = value.constData();
    for (int i = 0; i < to; ++i) {
        const QChar c = data[i];
        const ushort u = c.unicode();
        if (c.isHighSurrogate()) {
            // A pair is kept whole; a lone half is no character.
            if (i + 1 < to && data[i + 1].isLowSurrogate()) {
                out += c;
                out += data[++i];
            }
            continue;
        }
        if (c.isLowSurrogate() || u == 0xFFFE || u == 0xFFFF)
            continue;
        switch (u) {
        case '&': out += QLatin1String("and"); break;
        case '<': out += QLatin1String("&lt;"); break;
        case '>': out += QLatin1String("&gt;"); break;
        case '"': out += QLatin1String("&quot;"); break;
        case '\t': out += QLatin1String("&#9;"); break;
        case '\n': out += QLatin1String("&#10;"); break;
        case '\r': out += QLatin1String("&#13;"); break;
        default:
            if (u >= 0x20)
                out += c;
        }
    }
    if (out.size() == 1)
        out += QLatin1String("none");
    out += QLatin1Char('"');
    return out;
}

bool Smb2XesExporter::integerValue(const QString& value, qint64* number)
{
    bool ok = false;
    if (value.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        const qulonglong v = value.midRef(2).toULongLong(&ok, 16);
        *number = qint64(v);
    } else {
        *number = value.toLongLong(&ok, 10);
    }
    return ok;
}

QString Smb2XesExporter::shared(const QString& field)
{
    if (field.isEmpty())
        return field;
    const auto it = texts.constFind(field);
    if (it != texts.constEnd())
        return *it;
    texts.insert(field);
    return field;
}

void Smb2XesExporter::write(QIODevice* output, const QByteArray& bytes)
{
    if (writeFailed)
        return;
    if (output->write(bytes) != bytes.size())
        writeFailed = true;
}
