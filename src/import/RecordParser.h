#pragma once

#include "core/DerivedTime.h"
#include "core/THash.h"
#include "core/TList.h"
#include "core/TVariant.h"

#include <QHash>
#include <QList>
#include <QSharedPointer>
#include <QString>
#include <QStringView>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

class IPacketStream;
class Packet;
class ValueInterner;
class ValueTable;

// The parsing of a log's records into events, apart from the dialog that
// chooses how: the columns, the grouping and the state that the records of
// one load share (trace numbers, SMB2 call tables, the value table). The
// import dialog derives from it and sets it up; the loader thread drives it
// through this interface alone, without any widget.
class RecordParser
{
public:
    RecordParser();
    virtual ~RecordParser();
    RecordParser(const RecordParser&) = delete;
    RecordParser& operator=(const RecordParser&) = delete;

    // The fields of one record: a '"' toggles a quoted stretch and is
    // dropped, a separator inside quotes stays in its field.
    static QList<QString> splitRecord(const QString& line, char separator);

    // One record as an event, or null when the line gives none (too few
    // fields: debug line "bad packet "; too many: silently). `grouping` is
    // -2 (no grouping: trace 0) or the index of the grouping attribute.
    QSharedPointer<Packet> parsePacket(const QString& line, char separator, int grouping,
                                       THash<QString, TVariant>* pool);

    // Starts a new value table (the pool was emptied); events made before
    // keep theirs.
    void resetValues();

    // Takes the columns, the grouping and the time settings of `other`,
    // which reads the same log, so that this parser can read a stretch of
    // its records with state of its own (pool, trace numbers, value table).
    void copySettings(const RecordParser& other);
    // Whether records may be read in stretches by parsers of their own and
    // joined in order: the state that goes from one record to the next is
    // the pool, the trace numbers, the value table and the SMB2 call
    // tables, whose texts sequenceSmb2() works out ahead.
    bool readsInStretches() const;
    // The texts the SMB2 call tables add to a record's fields, worked out
    // with this parser's tables as parsePacket() would (a record it turns
    // away adds none): appended to `texts`, with their (start, length) in
    // `spans`, record after record.
    using Span = std::pair<int, int>;
    void sequenceSmb2(const QString& line, QString& texts, std::vector<Span>& spans);
    // The same in two steps. The first (const, any thread, ahead of the
    // record's turn) keeps the fields the call tables read: per line the
    // number of fields, then the length of each column smb2InputColumns()
    // names, whose texts follow one another in `text`. The second works
    // the texts out in turn, with `at` moving from line to line.
    struct Smb2Input
    {
        QString text;
        std::vector<int> lengths;
    };
    struct Smb2Cursor
    {
        std::size_t length = 0;   // in Smb2Input::lengths
        int text = 0;             // in Smb2Input::text
    };
    std::vector<int> smb2InputColumns() const;
    void takeSmb2Input(const QString& line, const std::vector<int>& columns, Smb2Input& input,
                       std::vector<QStringView>& views, QList<QString>& owned) const;
    void sequenceSmb2(const Smb2Input& input, const std::vector<int>& columns, Smb2Cursor& at,
                      QString& texts, std::vector<Span>& spans);
    // From now on the records take their SMB2 texts from these, in order,
    // instead of this parser's own call tables.
    void giveSmb2(QString texts, std::vector<Span> spans);
    // The table of the values parsed so far, with a reference for the
    // caller; the parser lets go of its own and of its caches.
    ValueTable* takeValueTable();

    IPacketStream* stream = nullptr;          // owned; replaced on every file choice

    // Columns of the SMB2 fields in `attributeNames` (-1 when absent).
    int32_t smb2FilenameColumn = -1;
    int32_t smb2CmdColumn = -1;
    int32_t smb2FidColumn = -1;
    int32_t frameNumberColumn = -1;
    int32_t smb2NtStatusColumn = -1;
    int32_t smb2FlagsResponseColumn = -1;
    int32_t smb2MsgIdColumn = -1;
    QHash<QString, QString> fileByFid;        // SMB2 file id -> file name
    QHash<QString, QString> fileByMessage;    // SMB2 message id -> file name
    THash<QString, TList<QString>> callSequences;   // session key -> open files
    int32_t combinedColumns[3] = {-1, -1, -1};      // source, destination, session
    // The session key's "ip.src" and "ip.dst" columns in the log's header.
    int32_t sessionSourceColumn = -1;
    int32_t sessionDestinationColumn = -1;
    TList<QString> headerNames;               // the header line's names
    TList<QString> attributeNames;            // header, derived names, "frame.convid"
    TList<QSharedPointer<Packet>> packets;    // the events of the last load
    THash<QString, int> conversationIds;      // trace number by grouping key
    int32_t nextConversationId = 0;
    // A parser that reads one stretch of a log numbers the traces by the
    // value-table position of their grouping value instead of by its text,
    // and keeps the position of each number's first value here: the join
    // gives the numbers of the log by text (equal texts at different
    // positions meet there). `conversationIds` stays empty.
    bool tracesByPosition = false;
    std::vector<quint32> tracePositions;
    char separator = ',';
    int32_t timeColumn = -1;
    int32_t grouping = -1;
    // The text pool of the current load; it goes to the new glyph store.
    THash<QString, TVariant> textPool;
    // By column of the header: texts that hardly ever repeat (as the
    // preview found them), stored without the pool and the column caches.
    std::vector<char> uniqueColumns;

protected:
    // Forgets the trace numbers given so far: the next key gets trace 0.
    void clearConversations();

    int32_t baseNameCount = 0;     // header and derived names, without "frame.convid"
    bool deriveTime = true;        // the log has no "frame.length"
    bool combinedKey = false;      // "Combined": records get the "frame.convid" key
    DerivedTime derivedTime;       // cache of the derived time values

private:
    // The fields of one record while it is parsed: views into the line, or
    // into `owned` for a quoted line and for texts made on the way.
    struct RecordFields
    {
        std::vector<QStringView> views;
        QList<QString> owned;
        int size() const { return int(views.size()); }
        QStringView at(int i) const { return views[std::size_t(i)]; }
        void append(const QString& text)
        {
            owned.append(text);
            views.push_back(QStringView(owned.last()));
        }
        void set(int i, const QString& text)
        {
            owned.append(text);
            views[std::size_t(i)] = QStringView(owned.last());
        }
        // Empties both lists and keeps their room.
        void clear()
        {
            views.clear();
            if (!owned.isEmpty())
                owned.erase(owned.begin(), owned.end());
        }
    };
    RecordFields m_record;
    QString m_depthText;
    QString m_sessionText;
    // The SMB2 values of one record, appended to its fields.
    void appendCallSequence(RecordFields& fields);
    void appendFileName(RecordFields& fields);
    void appendGivenSmb2(RecordFields& fields);
    // The SMB2 texts of a split record, as sequenceSmb2() gives them.
    void sequenceFields(RecordFields& fields, QString& texts, std::vector<Span>& spans);
    // SMB2 texts worked out ahead (giveSmb2()), and the next one to use.
    bool m_smb2Given = false;
    QString m_smb2Texts;
    std::vector<Span> m_smb2Spans;
    std::size_t m_smb2Next = 0;

    // The values of the records parsed with one pool: each distinct text of
    // a column is parsed and stored once, and the events share the table.
    // Made anew whenever the pool changes or a load starts.
    ValueInterner& valuesFor(const THash<QString, TVariant>* pool);
    // Positions of the first `count` derived values, reusing those of the
    // record before where the values are the very same.
    void placeDerived(ValueInterner& values, const TVariant* derived, int count, quint32* out);

    std::unique_ptr<ValueInterner> m_values;
    const void* m_valuesPool = nullptr;
    // Repeats of the previous record's time: its epoch, the position of its
    // value and text, and the positions of its derived values.
    qint64 m_lastEpoch = -1;
    quint32 m_lastTimePosition = 0;
    QString m_lastTimeText;
    qint64 m_lastDerivedEpoch = -1;
    quint32 m_lastDerived[DerivedTime::Count] = {};
    TVariant m_derivedValues[DerivedTime::Count];   // the values behind m_lastDerived
    qint64 m_lastDerivedDay = -1;   // local Julian day of m_lastDerived[3 ..]
    // Trace number by the position of the grouping value (-1 = not yet).
    std::vector<int> m_groupByPosition;
};

// The record splitter as the conversation files and preprocessing call it.
inline QList<QString> splitRecord(const QString& line, char separator)
{
    return RecordParser::splitRecord(line, separator);
}
