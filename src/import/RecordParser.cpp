#include "import/RecordParser.h"

#include "core/Packet.h"
#include "core/RecordSplitter.h"
#include "core/ValueInterner.h"
#include "core/ValueTable.h"

#include <QDateTime>
#include <QDebug>
#include <QVarLengthArray>

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

const QString SMB2_ZERO_FID = QStringLiteral("00000000-0000-0000-0000-000000000000");

// Text time formats, tried in this order.
const char* const TIME_FORMATS[] = {"yyyy-MM-dd h:mm:ss", "d-M-yyyy h:mm:ss",
                                    "d-MM-yyyy hh:mm:ss", "yyyy/MM/dd hh:mm:ss", "d-MM-yyy"};

// Whether the '+'-joined list holds the item as one of its parts (as
// text.split('+').contains(item) answers, without making the list).
bool listContains(QStringView list, QStringView item)
{
    int start = 0;
    const int size = int(list.size());
    for (int i = 0; i <= size; ++i) {
        if (i == size || list[i] == QLatin1Char('+')) {
            if (list.mid(start, i - start) == item)
                return true;
            start = i + 1;
        }
    }
    return false;
}

} // namespace

RecordParser::RecordParser() = default;

RecordParser::~RecordParser() = default;

void RecordParser::clearConversations()
{
    nextConversationId = 0;
    // Let go of the room too: a log grouped by a nearly unique attribute
    // leaves as many keys as events.
    conversationIds = THash<QString, int>();
    std::vector<int>().swap(m_groupByPosition);
}

QList<QString> RecordParser::splitRecord(const QString& line, char separator)
{
    return RecordSplitter::split(line, separator);
}

namespace {

// A time of up to ten digits with at most six decimals within the unsigned
// 32-bit seconds: its whole seconds, read straight from the digits. Such a
// text reads as a number, and the six decimals can never round the double
// up to the next second, so this is the epoch the number gives.
bool plainEpoch(QStringView text, quint32* epoch)
{
    const int size = int(text.size());
    quint64 seconds = 0;
    int i = 0;
    for (; i < size && i < 11; ++i) {
        const ushort u = text[i].unicode();
        if (u == '.')
            break;
        if (u < '0' || u > '9')
            return false;
        seconds = seconds * 10 + (u - '0');
    }
    if (i == 0 || i > 10 || seconds > 0xFFFFFFFEull)
        return false;
    if (i < size) {
        if (size - i - 1 > 6)
            return false;
        for (int k = i + 1; k < size; ++k) {
            const ushort u = text[k].unicode();
            if (u < '0' || u > '9')
                return false;
        }
    }
    *epoch = quint32(seconds);
    return true;
}

} // namespace

QSharedPointer<Packet> RecordParser::parsePacket(const QString& line, char separator, int grouping,
                                               THash<QString, TVariant>* pool)
{
    // Views into the line where it holds no quote; quoted lines and texts
    // made on the way are kept in the record's own strings. The lists are
    // reused from record to record.
    RecordFields& fields = m_record;
    fields.clear();
    // A record of more fields than the header gives no event: one field
    // more tells it, however many the line holds.
    RecordSplitter::split(line, separator, fields.views, fields.owned, headerNames.size() + 1);
    if (fields.size() < headerNames.size()) {
        // A line of megabytes is not copied into the debug log.
        if (line.size() > 1000)
            qDebug().noquote().nospace() << "bad packet " << line.left(1000) << "... ("
                                         << line.size() << " characters)";
        else
            qDebug().noquote().nospace() << "bad packet " << line;
        return {};
    }

    // Time: epoch seconds (fractions dropped) or one of the text formats,
    // written back as whole epoch seconds; 4294967295 marks an invalid time.
    ValueInterner& values = valuesFor(pool);
    // The lookups of the fields start loading now and are finished below,
    // after the time and the SMB2 fields.
    // A record of more fields than the header gives no event (below): its
    // fields are not looked up, nor do they make the caches as wide as it.
    const bool prepared = fields.size() == headerNames.size();
    if (prepared)
        values.prepare(fields.views.data(), fields.size(),
                       timeColumn < fields.size() ? timeColumn : -1);
    quint32 epoch = 0xFFFFFFFFu;
    bool numericTime = false;
    bool timeKnown = false;
    quint32 timePosition = 0;
    QDateTime textTime;
    if (timeColumn >= 0 && timeColumn < fields.size()) {
        const QStringView field = fields.at(timeColumn);
        const TVariant value = plainEpoch(field, &epoch) ? TVariant() : TVariant::fromText(field, nullptr);
        if (epoch != 0xFFFFFFFFu) {
            numericTime = true;
        } else if (value.isNumber()) {
            // Outside the unsigned 32-bit seconds (negative, milliseconds,
            // 1e20, NaN) a number is an invalid time, not a wrapped one.
            const double v = value.toDouble();
            if (v >= 0.0 && v <= 4294967295.0) {
                epoch = quint32(v);
                numericTime = true;
            }
        } else {
            const QString text = field.toString();
            const int last = int(sizeof TIME_FORMATS / sizeof TIME_FORMATS[0]) - 1;
            for (int k = 0; k <= last; ++k) {
                textTime = QDateTime::fromString(text, QLatin1String(TIME_FORMATS[k]));
                if (k == last)
                    qDebug() << (textTime.isValid() ? "true" : "false");
                if (textTime.isValid())
                    break;
            }
            if (textTime.isValid())
                epoch = textTime.toTime_t();
        }
        // Neighbouring records mostly share their second.
        // The field becomes the whole seconds, as the number their text
        // reads as: an int up to the int range, a double above it.
        if (qint64(epoch) != m_lastEpoch) {
            m_lastTimePosition = values.add(epoch <= quint32(std::numeric_limits<int>::max())
                                                ? TVariant(int(epoch))
                                                : TVariant(double(epoch)));
            m_lastTimeText.clear();
            m_lastEpoch = epoch;
        }
        timePosition = m_lastTimePosition;
        timeKnown = true;
        // The field's own value is the position above; its rewritten text
        // is read only by the combined key and the SMB2 fields.
        const int t = timeColumn;
        if (combinedKey || t == smb2FilenameColumn || t == smb2CmdColumn || t == smb2FidColumn
            || t == frameNumberColumn || t == smb2NtStatusColumn || t == smb2FlagsResponseColumn
            || t == smb2MsgIdColumn || t == sessionSourceColumn || t == sessionDestinationColumn) {
            if (m_lastTimeText.isNull())
                m_lastTimeText = QString::number(epoch);
            fields.set(timeColumn, m_lastTimeText);
        }
    }

    if (smb2FilenameColumn >= 0 && m_smb2Given) {
        appendGivenSmb2(fields);
    } else {
        if (smb2FilenameColumn >= 0)
            appendCallSequence(fields);
        if (smb2FilenameColumn >= 0 && smb2FidColumn >= 0 && frameNumberColumn >= 0)
            appendFileName(fields);
    }

    const int derivedCount = deriveTime ? DerivedTime::Count : 0;
    const int total = fields.size() + derivedCount + (combinedKey ? 1 : 0);
    // Most records repeat the second before them, and with it its derived
    // values; they are made again only when new or for the combined key.
    const bool derivedRepeat = deriveTime && numericTime && qint64(epoch) == m_lastDerivedEpoch;
    // A new second of a numeric time only needs its clock values; its day's
    // values change once a day.
    const bool clockOnly = deriveTime && numericTime && !derivedRepeat && !combinedKey;
    TVariant derived[DerivedTime::Count];
    if (deriveTime && (!derivedRepeat || combinedKey) && !clockOnly) {
        if (numericTime)
            derivedTime.fromEpoch(epoch, pool, derived);
        else if (textTime.isValid())
            derivedTime.fromDateTime(textTime, pool, derived);
        else
            DerivedTime::invalid(pool, derived);
    }

    QString key;
    if (combinedKey) {
        // A column past the record's fields reads the derived values, as
        // the names list them; an unset one contributes the empty text.
        const auto text = [&](int column) -> QString {
            if (column < 0)
                return QString();
            if (column < fields.size())
                return fields.at(column).toString();
            if (column - fields.size() < derivedCount)
                return derived[column - fields.size()].toString();
            return QString();
        };
        const QString a = text(combinedColumns[0]);
        const QString b = text(combinedColumns[1]);
        key = a < b ? a + QLatin1Char(';') + b : b + QLatin1Char(';') + a;
        key += QLatin1Char('-') + text(combinedColumns[2]);
    }

    if (total != attributeNames.size())
        return {};

    ValueTable* table = values.table();
    QVarLengthArray<quint32, 64> row(total);
    values.texts(fields.views.data(), fields.size(), pool, row.data(), timeKnown ? timeColumn : -1,
                 prepared);
    if (timeKnown)
        row[timeColumn] = timePosition;
    // The trace number of the grouping value is wanted at the end.
    if (grouping >= 0 && grouping < fields.size() && row[grouping] < m_groupByPosition.size())
        __builtin_prefetch(&m_groupByPosition[row[grouping]]);
    if (deriveTime) {
        const int first = fields.size();
        TVariant clock[3];
        const qint64 day = clockOnly ? derivedTime.fromEpochClock(epoch, pool, clock) : -1;
        if (clockOnly && day < 0)
            DerivedTime::invalid(pool, derived);
        if (derivedRepeat) {
            for (int i = 0; i < derivedCount; ++i)
                row[first + i] = m_lastDerived[i];
        } else if (day >= 0) {
            placeDerived(values, clock, 3, row.data() + first);
            if (day != m_lastDerivedDay || m_lastDerivedEpoch < 0) {
                const TVariant* dayValues = derivedTime.dayValues();
                for (int k = 0; k < 7; ++k) {
                    m_lastDerived[3 + k] = values.value(dayValues[k]);
                    m_derivedValues[3 + k] = dayValues[k];
                }
                m_lastDerivedDay = day;
            }
            for (int k = 0; k < 7; ++k)
                row[first + 3 + k] = m_lastDerived[3 + k];
            m_lastDerivedEpoch = epoch;
            std::copy(row.begin() + first, row.begin() + first + 3, m_lastDerived);
        } else {
            m_lastDerivedDay = -1;
            // Most of them (hour, day, month, ...) are those of the second
            // before, the very same values.
            placeDerived(values, derived, derivedCount, row.data() + first);
            if (numericTime) {
                m_lastDerivedEpoch = epoch;
                std::copy(row.begin() + first, row.begin() + first + derivedCount, m_lastDerived);
            } else {
                m_lastDerivedEpoch = -1;
            }
        }
    }
    if (combinedKey)
        row[total - 1] = values.text(total - 1, key, pool);

    QSharedPointer<Packet> packet = values.packet(row.constData(), total);
    if (grouping >= 0 && grouping < total) {
        const quint32 position = row[grouping];
        if (m_groupByPosition.size() <= position)
            m_groupByPosition.resize(std::max<std::size_t>(position + 1, m_groupByPosition.size() * 2), -1);
        int& known = m_groupByPosition[position];
        if (known < 0 && tracesByPosition) {
            tracePositions.push_back(position);
            known = nextConversationId++;
        } else if (known < 0) {
            // The key is the value's text; a short ASCII text is looked up as
            // it is, without decoding it into a new string.
            const TVariant& value = table->at(position);
            QVarLengthArray<QChar, 128> ascii;
            bool plain = value.type == TVariant::String && value.text.size() <= 128;
            for (int k = 0; plain && k < value.text.size(); ++k) {
                const uchar c = uchar(value.text.at(k));
                plain = c < 0x80;
                ascii.append(QLatin1Char(char(c)));
            }
            auto it = plain ? conversationIds.constFindText(QStringView(ascii.constData(), ascii.size()))
                            : conversationIds.constFind(value.toString());
            const int id = it != conversationIds.constEnd() ? it.value() : nextConversationId;
            if (id == nextConversationId) {
                conversationIds.insert(value.toString(), id);
                ++nextConversationId;
            }
            known = id;
        }
        packet->conversationId = known;
    } else {
        packet->conversationId = 0;
    }
    return packet;
}

void RecordParser::placeDerived(ValueInterner& values, const TVariant* derived, int count, quint32* out)
{
    // A value identical to the one before (same kind, number bits and
    // shared text) keeps its position without a lookup.
    for (int i = 0; i < count; ++i) {
        const TVariant& v = derived[i];
        TVariant& before = m_derivedValues[i];
        if (m_lastDerivedEpoch >= 0 && v.type == before.type
            && std::memcmp(&v.value, &before.value, sizeof v.value) == 0
            && v.text.constData() == before.text.constData())
            out[i] = m_lastDerived[i];
        else
            out[i] = values.value(v);
        before = v;
    }
}

ValueInterner& RecordParser::valuesFor(const THash<QString, TVariant>* pool)
{
    if (!m_values || pool != m_valuesPool) {
        resetValues();
        m_valuesPool = pool;
        m_values->setUniqueColumns(uniqueColumns);
    }
    return *m_values;
}

void RecordParser::resetValues()
{
    if (m_values)
        m_values->reset();
    else
        m_values.reset(new ValueInterner);
    m_valuesPool = nullptr;
    m_lastEpoch = -1;
    m_lastTimePosition = 0;
    m_lastTimeText.clear();
    m_lastDerivedEpoch = -1;
    m_lastDerivedDay = -1;
    m_groupByPosition.clear();
}

void RecordParser::copySettings(const RecordParser& other)
{
    smb2FilenameColumn = other.smb2FilenameColumn;
    smb2CmdColumn = other.smb2CmdColumn;
    smb2FidColumn = other.smb2FidColumn;
    frameNumberColumn = other.frameNumberColumn;
    smb2NtStatusColumn = other.smb2NtStatusColumn;
    smb2FlagsResponseColumn = other.smb2FlagsResponseColumn;
    smb2MsgIdColumn = other.smb2MsgIdColumn;
    std::copy(other.combinedColumns, other.combinedColumns + 3, combinedColumns);
    sessionSourceColumn = other.sessionSourceColumn;
    sessionDestinationColumn = other.sessionDestinationColumn;
    headerNames = other.headerNames;
    attributeNames = other.attributeNames;
    separator = other.separator;
    timeColumn = other.timeColumn;
    grouping = other.grouping;
    baseNameCount = other.baseNameCount;
    deriveTime = other.deriveTime;
    combinedKey = other.combinedKey;
    uniqueColumns = other.uniqueColumns;
}

bool RecordParser::readsInStretches() const
{
    if (smb2FilenameColumn < 0)
        return true;
    // The SMB2 texts are worked out ahead from the fields as the line has
    // them, so no SMB2 field may read the rewritten time.
    const int t = timeColumn;
    return t < 0
           || (t != smb2FilenameColumn && t != smb2CmdColumn && t != smb2FidColumn
               && t != frameNumberColumn && t != smb2NtStatusColumn && t != smb2FlagsResponseColumn
               && t != smb2MsgIdColumn && t != sessionSourceColumn && t != sessionDestinationColumn);
}

void RecordParser::sequenceSmb2(const QString& line, QString& texts, std::vector<Span>& spans)
{
    if (smb2FilenameColumn < 0)
        return;
    RecordFields& fields = m_record;
    fields.clear();
    RecordSplitter::split(line, separator, fields.views, fields.owned, headerNames.size() + 1);
    sequenceFields(fields, texts, spans);
}

std::vector<int> RecordParser::smb2InputColumns() const
{
    std::vector<int> columns;
    for (int c : {smb2FilenameColumn, smb2CmdColumn, smb2FlagsResponseColumn, sessionSourceColumn,
                  sessionDestinationColumn, smb2NtStatusColumn, smb2MsgIdColumn, smb2FidColumn,
                  frameNumberColumn}) {
        if (c >= 0 && std::find(columns.begin(), columns.end(), c) == columns.end())
            columns.push_back(c);
    }
    return columns;
}

void RecordParser::takeSmb2Input(const QString& line, const std::vector<int>& columns,
                                 Smb2Input& input, std::vector<QStringView>& views,
                                 QList<QString>& owned) const
{
    views.clear();
    if (!owned.isEmpty())
        owned.erase(owned.begin(), owned.end());
    RecordSplitter::split(line, separator, views, owned, headerNames.size() + 1);
    const int count = int(views.size());
    input.lengths.push_back(count);
    for (int c : columns) {
        const QStringView text = c < count ? views[std::size_t(c)] : QStringView();
        input.lengths.push_back(int(text.size()));
        input.text.append(text.data(), int(text.size()));
    }
}

void RecordParser::sequenceSmb2(const Smb2Input& input, const std::vector<int>& columns,
                                Smb2Cursor& at, QString& texts, std::vector<Span>& spans)
{
    if (smb2FilenameColumn < 0 || at.length >= input.lengths.size())
        return;
    RecordFields& fields = m_record;
    fields.clear();
    const int count = input.lengths[at.length++];
    fields.views.assign(std::size_t(count), QStringView());
    for (int c : columns) {
        const int length = input.lengths[at.length++];
        if (c < count)
            fields.views[std::size_t(c)] = QStringView(input.text.constData() + at.text, qsizetype(length));
        at.text += length;
    }
    sequenceFields(fields, texts, spans);
}

void RecordParser::sequenceFields(RecordFields& fields, QString& texts, std::vector<Span>& spans)
{
    // A record parsePacket() turns away gets none.
    if (fields.size() < headerNames.size())
        return;
    const int before = fields.size();
    appendCallSequence(fields);
    if (smb2FidColumn >= 0 && frameNumberColumn >= 0)
        appendFileName(fields);
    for (int i = before; i < fields.size(); ++i) {
        const QStringView text = fields.at(i);
        spans.push_back({texts.size(), int(text.size())});
        texts.append(text.data(), int(text.size()));
    }
}

void RecordParser::giveSmb2(QString texts, std::vector<Span> spans)
{
    m_smb2Texts = std::move(texts);
    m_smb2Spans = std::move(spans);
    m_smb2Next = 0;
    m_smb2Given = true;
}

void RecordParser::appendGivenSmb2(RecordFields& fields)
{
    const int count = smb2FidColumn >= 0 && frameNumberColumn >= 0 ? 3 : 2;
    for (int k = 0; k < count; ++k) {
        if (m_smb2Next >= m_smb2Spans.size()) {
            fields.views.emplace_back();
            continue;
        }
        const Span span = m_smb2Spans[m_smb2Next++];
        fields.views.emplace_back(m_smb2Texts.constData() + span.first, qsizetype(span.second));
    }
}

ValueTable* RecordParser::takeValueTable()
{
    if (!m_values)
        return nullptr;
    ValueTable* table = m_values->table();
    table->ref();
    m_values.reset();
    m_valuesPool = nullptr;
    std::vector<int>().swap(m_groupByPosition);
    return table;
}

void RecordParser::appendCallSequence(RecordFields& fields)
{
    if (smb2CmdColumn < 0) {
        fields.append(QStringLiteral("unknown"));
        fields.append(QStringLiteral("[?]"));
        return;
    }
    // Fields are read in place (commands and statuses are '+'-joined lists),
    // so that a record makes as few strings as it can.
    QStringView name = fields.at(smb2FilenameColumn);
    QString nameStore;   // the name when it comes from the message table
    const QStringView commands = fields.at(smb2CmdColumn);
    const QStringView response =
        smb2FlagsResponseColumn >= 0 ? fields.at(smb2FlagsResponseColumn) : QStringView(u"1");
    // The session key is written into a buffer the records reuse; the map
    // copies it only for a new session.
    QString& session = m_sessionText;
    session.resize(0);
    if (sessionSourceColumn >= 0 && sessionDestinationColumn >= 0
        && sessionSourceColumn < fields.size() && sessionDestinationColumn < fields.size()) {
        const QStringView key = response.isEmpty() ? fields.at(sessionSourceColumn)
                                                   : fields.at(sessionDestinationColumn);
        session.append(key.data(), int(key.size()));
    } else {
        session.append(QLatin1String("def"));
    }
    TList<QString>& stack = callSequences[session];

    // Without a status column the statuses are just "-1".
    const bool succeeded = response == QStringView(u"1") && smb2NtStatusColumn >= 0
                           && listContains(fields.at(smb2NtStatusColumn), QStringView(u"0"));
    if (succeeded
        && (listContains(commands, QStringView(u"1")) || listContains(commands, QStringView(u"5")))) {
        if (!name.isEmpty()) {
            if (smb2FidColumn >= 0)
                stack.append(name.toString());
        } else if (smb2MsgIdColumn >= 0) {
            const QString message = fields.at(smb2MsgIdColumn).toString();
            nameStore = fileByMessage.value(message, QStringLiteral("unknown"));
            fileByMessage.remove(message);
            stack.append(nameStore);
            name = QStringView(nameStore);
        } else if (smb2FidColumn >= 0) {
            stack.append(fields.at(smb2FidColumn).toString());
        }
    }

    // "<depth> <name>", written into a buffer the records reuse: the
    // previous record's fields let go of it before this one is parsed.
    QString& depth = m_depthText;
    depth.resize(0);
    char digits[16];
    int at = int(sizeof digits);
    digits[--at] = ' ';
    for (unsigned n = unsigned(stack.size());; n /= 10) {
        digits[--at] = char('0' + n % 10);
        if (n < 10)
            break;
    }
    depth.append(QLatin1String(digits + at, int(sizeof digits) - at));
    if (!name.isEmpty()) {
        fields.append(depth.append(name.data(), int(name.size())));
        if (nameStore.isNull())
            fields.views.push_back(name);   // a view of the record's own field
        else
            fields.append(nameStore);
    } else {
        fields.append(depth + (stack.isEmpty() ? QStringLiteral("[]") : stack.last()));
        fields.append(stack.isEmpty() ? QStringLiteral("root") : stack.first());
    }

    if (succeeded && listContains(commands, QStringView(u"6")) && !stack.isEmpty())
        stack.items.pop_back();
}

void RecordParser::appendFileName(RecordFields& fields)
{
    const QString name = fields.at(smb2FilenameColumn).toString();
    const QString fid = fields.at(smb2FidColumn).toString();
    const QString unknown = QStringLiteral("unknown");

    if (!fields.at(frameNumberColumn).isEmpty() && !name.isEmpty() && smb2MsgIdColumn >= 0)
        fileByMessage[fields.at(smb2MsgIdColumn).toString()] = name;

    if (!fid.isEmpty() && fid != SMB2_ZERO_FID) {
        if (smb2MsgIdColumn < 0) {
            if (!name.isEmpty())
                fileByFid[fid] = name;
        } else {
            const QString candidate =
                fileByMessage.value(fields.at(smb2MsgIdColumn).toString(), unknown);
            if (!fileByFid.contains(fid))
                fileByFid[fid] = candidate.isEmpty() ? unknown : candidate;
        }
    }

    if (fid.isEmpty() && name.isEmpty())
        fields.append(QString());
    else if (!name.isEmpty())
        fields.append(name);
    else
        fields.append(fileByFid.value(fid, unknown));
}
