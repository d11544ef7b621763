#include "capture/PdmlConverter.h"

#include "capture/PdmlTagReader.h"
#include "core/SideFile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QSet>
#include <QVector>

#include <algorithm>
#include <memory>

namespace {

const QString PIDD = QStringLiteral("pidd");
const QString PACKET = QStringLiteral("packet");
const QString PROTO = QStringLiteral("proto");
const QString FIELD = QStringLiteral("field");
const QString DOT = QStringLiteral(".");
const QString SEMICOLON = QStringLiteral(";");
const QString DUMMY = QStringLiteral("dummy");

bool endsInDigit(const QString& name)
{
    return !name.isEmpty() && name.at(name.size() - 1).isDigit();
}

// The parts joined as one path; empty parts are left out and an absolute
// part starts the path anew.
QString joinPath(const QStringList& parts)
{
    QString path;
    for (const QString& p : parts) {
        if (p.isEmpty())
            continue;
        if (path.isEmpty() || QDir::isAbsolutePath(p))
            path = p;
        else
            path += QLatin1Char('/') + p;
    }
    return QDir::cleanPath(path);
}

// A text value of an ARFF data line: quoted, with backslash escapes; an
// empty value is missing.
QString arffValue(const QString& text)
{
    if (text.isEmpty())
        return QStringLiteral("?");
    QString out;
    out.reserve(text.size() + 2);
    out += QLatin1Char('\'');
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '\\': out += QLatin1String("\\\\"); break;
        case '\'': out += QLatin1String("\\'"); break;
        case '\n': out += QLatin1String("\\n"); break;
        case '\r': out += QLatin1String("\\r"); break;
        case '\t': out += QLatin1String("\\t"); break;
        default: out += c;
        }
    }
    out += QLatin1Char('\'');
    return out;
}

// A name or value of the comma-separated table: "," becomes ";" (tables
// written before rely on it); a text holding a double quote or a line break
// then stands in double quotes with its quotes doubled, so that a reader of
// quoted fields gets it back whole.
QString csvField(QString text)
{
    text.replace(QLatin1Char(','), SEMICOLON);
    if (text.contains(QLatin1Char('"')) || text.contains(QLatin1Char('\n'))
        || text.contains(QLatin1Char('\r'))) {
        text.replace(QLatin1String("\""), QLatin1String("\"\""));
        text.prepend(QLatin1Char('"'));
        text.append(QLatin1Char('"'));
    }
    return text;
}

// An ARFF attribute name: plain when it holds only characters an ARFF
// reader takes as part of a word, else quoted.
QString arffName(const QString& name)
{
    bool plain = !name.isEmpty();
    for (const QChar c : name) {
        if (!(c.isLetterOrNumber() || c == QLatin1Char('.') || c == QLatin1Char('_')
              || c == QLatin1Char('-') || c == QLatin1Char(';') || c == QLatin1Char(':'))) {
            plain = false;
            break;
        }
    }
    return plain ? name : arffValue(name);
}

// The naming rules of the fields of one "proto" element: per open field its
// name and the column path up to it (the names joined by ".", without the
// "dummy" entries, in lower case).
class ColumnNamer
{
public:
    explicit ColumnNamer(const QString& protocol)
        : tcp(protocol == QLatin1String("tcp")), cotp(protocol == QLatin1String("cotp"))
    {
    }

    // Opens a field with the given "name" attribute; returns its column
    // name, or a null text when the field is not recorded.
    QString open(const QStringRef& fullName)
    {
        QString part;
        bool record = true;
        if (fullName.isEmpty()) {
            if (paths.isEmpty()) {
                part = QStringLiteral("group") + QString::number(groups++);
            } else {
                part = DUMMY;
                record = false;
            }
        } else {
            const int dot = fullName.indexOf(QLatin1Char('.'));
            part = (dot >= 0 ? fullName.mid(dot + 1) : fullName).toString();
            if (part.contains(QLatin1Char('.')))
                part.replace(QLatin1Char('.'), QLatin1Char('_'));
            if ((tcp && part.contains(QLatin1String("options")))
                || (cotp && part.contains(QLatin1String("checksum"))))
                record = false;
        }
        const QString parent = paths.isEmpty() ? QString() : paths.last();
        if (part == DUMMY)
            paths.append(parent);
        else
            paths.append(parent.isEmpty() ? part.toLower() : parent + DOT + part.toLower());
        if (!record)
            return QString();
        QString column = paths.last();
        if (used.contains(column)) {
            int k = 1;
            while (used.contains(column + QString::number(k)))
                ++k;
            column += QString::number(k);
        }
        used.insert(column);
        return column;
    }

    void close()
    {
        if (!paths.isEmpty())
            paths.removeLast();
    }

private:
    bool tcp;
    bool cotp;
    QStringList paths;
    QSet<QString> used;
    int groups = 0;
};

} // namespace

PdmlConverter::PdmlConverter() = default;

QString PdmlConverter::outputPath(const QString& folder, const QString& outputName, bool arff)
{
    const QString name = outputName + (arff ? QStringLiteral(".arff") : QStringLiteral(".csv"));
    return folder.isEmpty() ? name : QDir(folder).filePath(name);
}

bool PdmlConverter::convert(const QString& root, const QString& folder, const QString& file,
                            const QString& outputName, bool arff)
{
    tables.clear();
    packetCount = 0;
    protocolOrder.clear();
    protocols.clear();
    columnOrder.clear();
    columnsOut.clear();
    written.clear();
    rowCounter = 0;
    arffOutput = arff;

    const QString path = joinPath({root, folder, file});
    QFile input(path);
    bool inputRead = input.open(QIODevice::ReadOnly | QIODevice::Text);
    if (!inputRead)
        qDebug() << "Could not open to PDML file " << path << ", error:" << input.errorString();

    tables.insert(PACKET, QHash<QString, QList<QVariant>>());
    QHash<QString, QStringList> columns;
    {
        PdmlTagReader reader(&input);
        columns = prepareTable(reader);
    }
    qDebug() << "table prepared";
    QHash<QString, QList<QVariant>>& presence = tables[PACKET];
    for (const QString& protocol : protocols) {
        QHash<QString, QList<QVariant>> table;
        for (const QString& column : columns.value(protocol))
            table.insert(column, QList<QVariant>());
        tables.insert(protocol, table);
        presence.insert(protocol, QList<QVariant>());
    }
    prepareOutputColumns();

    if (inputRead)
        input.seek(0);
    // The batches go to one file beside an old output, which it replaces
    // only once the last batch is written: a conversion that fails on the
    // way leaves the old output as it was. The file is opened by the first
    // batch, with the header.
    SideFile output(outputPath(folder, outputName, arff));
    bool firstWrite = true;
    const auto writeBatch = [&]() {
        const bool opened = !firstWrite || output.open(true);
        if (!opened || !output.write(batchText(firstWrite, arff))) {
            qDebug() << "Could not write to PDML file " << folder << ", error:" << output.errorString();
            return false;
        }
        firstWrite = false;
        return true;
    };
    PdmlTagReader reader(&input);
    while (reader.next() != PdmlTagReader::EndOfInput) {
        if (!reader.isStart("packet"))
            continue;
        parsePacket(reader);
        ++packetCount;
        if (packetCount % 1000 == 0)
            qDebug() << "parsed packet " << packetCount;
        if (packetCount % BATCH == 0) {
            if (!writeBatch())
                return false;
            for (auto table = tables.begin(); table != tables.end(); ++table)
                for (auto column = table->begin(); column != table->end(); ++column)
                    column->clear();
        }
        if (packetCount >= PACKET_LIMIT)
            break;
    }
    // A document that breaks off keeps the rows read before the break.
    const bool complete = !reader.hasError();
    if (!complete && inputRead)
        qDebug() << "PDML read stopped: the document breaks off or is not well formed";
    bool saved = writeBatch();
    if (saved && !output.commit()) {
        qDebug() << "Could not write to PDML file " << folder << ", error:" << output.errorString();
        saved = false;
    }
    input.close();
    return saved && inputRead && complete;
}

QHash<QString, QStringList> PdmlConverter::prepareTable(PdmlTagReader& reader)
{
    QHash<QString, QStringList> result;
    QHash<QString, QSet<QString>> listed;
    int packets = 0;
    while (reader.next() != PdmlTagReader::EndOfInput) {
        if (!reader.isStart("packet"))
            continue;
        ++packets;
        const bool firstPacket = packets == 1;
        QSet<QString> seen;
        QList<QPair<QString, int>> positions;
        int position = 0;
        int depth = 0;
        // The protocol whose first element of this packet is being read,
        // and the depth of that element.
        QString protocol;
        int protoDepth = -1;
        std::unique_ptr<ColumnNamer> namer;
        // Per open element inside the proto element: true for a field.
        QVector<bool> open;
        for (;;) {
            const PdmlTagReader::Token token = reader.next();
            if (token == PdmlTagReader::EndOfInput)
                break;
            if (token == PdmlTagReader::EndElement) {
                if (depth == 0)
                    break;
                --depth;
                if (namer) {
                    if (depth == protoDepth) {
                        namer.reset();
                    } else if (!open.isEmpty() && open.takeLast()) {
                        namer->close();
                    }
                }
                continue;
            }
            ++depth;
            if (namer) {
                const bool field = reader.isName("field");
                open.append(field);
                if (!field)
                    continue;
                const QString name = reader.attribute("name");
                const QString column = namer->open(QStringRef(&name));
                if (column.isNull())
                    continue;
                QSet<QString>& known = listed[protocol];
                if (!known.contains(column)) {
                    known.insert(column);
                    result[protocol].append(column);
                }
                if (firstPacket)
                    columnOrder[protocol].append(column);
                continue;
            }
            if (!reader.isName("proto") || (protoDepth >= 0 && depth > protoDepth + 1))
                continue;
            protocol = reader.attribute("name");
            if (!result.contains(protocol)) {
                result.insert(protocol, QStringList{PIDD});
                listed[protocol].insert(PIDD);
            }
            if (!seen.contains(protocol)) {
                seen.insert(protocol);
                positions.append({protocol, position});
                protoDepth = depth - 1;
                namer.reset(new ColumnNamer(protocol));
                open.clear();
                if (firstPacket)
                    columnOrder[protocol];
            }
            ++position;
        }
        for (const auto& p : positions)
            if (!protocolOrder.contains(p.first))
                protocolOrder.insert(p.first, p.second);
        if (packets % 1000 == 0)
            qDebug().nospace() << "Packet" << packets;
        if (packets >= PACKET_LIMIT)
            break;
    }

    // By position of first appearance; protocols of one position by name.
    QList<QPair<int, QString>> byPosition;
    for (auto it = protocolOrder.constBegin(); it != protocolOrder.constEnd(); ++it)
        byPosition.append({it.value(), it.key()});
    std::sort(byPosition.begin(), byPosition.end());
    protocols.clear();
    for (const auto& p : byPosition)
        protocols.append(p.second);
    return result;
}

void PdmlConverter::readFields(PdmlTagReader& reader, const QString& protocol,
                               QHash<QString, QList<QVariant>>* values)
{
    ColumnNamer namer(protocol);
    // One entry per open element inside the proto: true for a field.
    QVector<bool> open;
    for (;;) {
        const PdmlTagReader::Token token = reader.next();
        if (token == PdmlTagReader::EndOfInput)
            return;
        if (token == PdmlTagReader::EndElement) {
            if (open.isEmpty())
                return;
            if (open.takeLast())
                namer.close();
            continue;
        }
        if (!reader.isName("field")) {
            open.append(false);
            continue;
        }
        open.append(true);
        const QString name = reader.attribute("name");
        const QString column = namer.open(QStringRef(&name));
        if (column.isNull() || !values)
            continue;
        QString value = reader.attribute("show");
        if (value.isEmpty()) {
            bool present = false;
            value = reader.attribute("value", &present);
            if (!present)
                value = reader.attribute("size");
        }
        (*values)[column].append(QVariant(value));
    }
}

void PdmlConverter::parsePacket(PdmlTagReader& reader)
{
    QSet<QString> shown;
    int depth = 0;
    // Depth of a proto element being skipped, -1 when none is.
    int skipping = -1;
    for (;;) {
        const PdmlTagReader::Token token = reader.next();
        if (token == PdmlTagReader::EndOfInput)
            break;
        if (token == PdmlTagReader::EndElement) {
            if (depth == 0)
                break;
            --depth;
            if (depth == skipping)
                skipping = -1;
            continue;
        }
        ++depth;
        if (skipping >= 0 || !reader.isName("proto"))
            continue;
        const QString protocol = reader.attribute("name");
        if (protocol == QLatin1String("ssl") || protocol == QLatin1String("xml")
            || protocol == QLatin1String("http") || protocol == PACKET
            || shown.contains(protocol) || !tables.contains(protocol)) {
            skipping = depth - 1;
            continue;
        }
        shown.insert(protocol);
        QHash<QString, QList<QVariant>>& table = tables[protocol];
        const int before = table[PIDD].size();
        readFields(reader, protocol, &table);
        --depth;   // readFields read the proto element's end
        table[PIDD].append(QVariant(packetCount));
        for (auto column = table.begin(); column != table.end(); ++column)
            while (column->size() < before + 1)
                column->append(QVariant(QString()));
    }
    QHash<QString, QList<QVariant>>& presence = tables[PACKET];
    for (auto column = presence.begin(); column != presence.end(); ++column)
        column->append(QVariant(shown.contains(column.key())));
}

QStringList PdmlConverter::outputColumns(const QString& protocol) const
{
    const QHash<QString, QList<QVariant>> table = tables.value(protocol);
    QStringList others;
    for (auto it = table.constBegin(); it != table.constEnd(); ++it)
        if (it.key() != PIDD)
            others.append(it.key());
    std::sort(others.begin(), others.end());
    const auto order = columnOrder.constFind(protocol);
    if (order == columnOrder.constEnd())
        return others;

    QStringList result;
    const QStringList& list = *order;
    for (int i = 0; i < list.size(); ++i)
        if (list.at(i) != PIDD && list.lastIndexOf(list.at(i)) == i)
            result.append(list.at(i));
    const QSet<QString> placed(result.begin(), result.end());
    for (const QString& name : others)
        if (!placed.contains(name) && !endsInDigit(name))
            result.append(name);
    return result;
}

void PdmlConverter::prepareOutputColumns()
{
    columnsOut.clear();
    written.clear();
    for (const QString& protocol : protocols) {
        const QStringList columns = outputColumns(protocol);
        columnsOut.insert(protocol, columns);
        // A protocol without columns adds nothing to a line.
        if (!columns.isEmpty())
            written.append(protocol);
    }
}

QString PdmlConverter::writeCsvHeader()
{
    QString text = QStringLiteral("pid");
    for (const QString& protocol : written)
        for (const QString& column : columnsOut.value(protocol))
            text += QLatin1Char(',') + csvField(protocol + DOT + column);
    return text + QLatin1Char('\n');
}

QString PdmlConverter::writeArffHeader()
{
    QString text = QStringLiteral("@relation packet\n@attribute pid numeric\n");
    for (const QString& protocol : written) {
        for (const QString& column : columnsOut.value(protocol)) {
            QString name = protocol + DOT + column;
            name.remove(QLatin1Char(' '));
            name.replace(QLatin1Char(','), SEMICOLON);
            text += QStringLiteral("@attribute ") + arffName(name) + QStringLiteral(" string\n");
        }
    }
    return text + QStringLiteral("@data\n");
}

QString PdmlConverter::writeRow(const QString& protocol, bool present, int rowIndex)
{
    Q_UNUSED(rowIndex);
    const QStringList columns = columnsOut.value(protocol);
    QString text;
    if (!present) {
        for (int i = 0; i < columns.size(); ++i) {
            if (i > 0)
                text += QLatin1Char(',');
            if (arffOutput)
                text += QLatin1Char('?');
        }
        return text;
    }
    const int row = cursors.value(protocol, 0);
    cursors.insert(protocol, row + 1);
    const QHash<QString, QList<QVariant>>& table = tables[protocol];
    for (int i = 0; i < columns.size(); ++i) {
        if (i > 0)
            text += QLatin1Char(',');
        const auto column = table.constFind(columns.at(i));
        QString value;
        if (column != table.constEnd() && row < column->size())
            value = column->at(row).toString();
        if (arffOutput) {
            text += arffValue(value);
        } else {
            text += csvField(value);
        }
    }
    return text;
}

bool PdmlConverter::writeOutput(const QString& folder, const QString& outputName, bool append,
                                bool arff)
{
    arffOutput = arff;
    const QString path = outputPath(folder, outputName, arff);
    if (!append) {
        // A file of its own: written beside an old one, which it replaces
        // only once complete.
        SideFile file(path);
        if (!file.open(true)) {
            qDebug() << "Could not write to PDML file " << folder << ", error:" << file.errorString();
            return false;
        }
        if (!file.write(batchText(true, arff)) || !file.commit()) {
            qDebug() << "Could not write to PDML file " << folder << ", error:" << file.errorString();
            return false;
        }
        return true;
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Append)) {
        qDebug() << "Could not write to PDML file " << folder << ", error:" << file.errorString();
        return false;
    }
    const QByteArray bytes = batchText(false, arff);
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        qDebug() << "Could not write to PDML file " << folder << ", error:" << file.errorString();
        return false;
    }
    file.close();
    return file.error() == QFileDevice::NoError;
}

QByteArray PdmlConverter::batchText(bool header, bool arff)
{
    QString text;
    if (header)
        text = arff ? writeArffHeader() : writeCsvHeader();
    cursors.clear();
    const QHash<QString, QList<QVariant>>& presence = tables[PACKET];
    // One row per packet read since the last write.
    const int rows = packetCount - rowCounter;
    for (int i = 0; i < rows; ++i) {
        qDebug() << "Writing Packet " << packetCount;
        text += QString::number(rowCounter);
        for (const QString& protocol : written) {
            const QList<QVariant>& present = presence[protocol];
            text += QLatin1Char(',');
            text += writeRow(protocol, i < present.size() && present.at(i).toBool(), i);
        }
        text += QLatin1Char('\n');
        ++rowCounter;
    }
    return text.toUtf8();
}
