#pragma once

#include "core/THash.h"
#include "core/TList.h"
#include "core/TVariant.h"
#include "import/DerivedTime.h"

#include <QDialog>
#include <QHash>
#include <QList>
#include <QSharedPointer>
#include <QString>
#include <QStringView>

#include <cstdint>
#include <memory>
#include <vector>

class ControlWidget;
class IPacketStream;
class OpenWidgetWorker;
class Packet;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QFile;
class QLabel;
class QLineEdit;
class QProgressDialog;
class QPushButton;
class QRadioButton;
class ValueInterner;
class QTableWidget;

// The modal import dialog behind "Open CSV": the analyst picks an event
// log, sees every column with a guessed type, chooses the time, source and
// destination columns, the grouping of events into traces and a record
// limit, and then loads the log into the views ("Open") or splits it into
// conversation files ("Export").
//
// Choosing a file reads its header and a preview of up to 3000 records; it
// changes nothing of the loaded log (glyph store, views) until a load
// completes. The load runs on an OpenWidgetWorker thread behind a progress
// dialog; the worker uses this dialog's stream, parsing state, `packets`
// and `textPool` while the GUI thread waits in that dialog.
class OpenWidget : public QDialog
{
    Q_OBJECT

public:
    // Column types of `attributeTypes` (a missing name is Text).
    enum ColumnType { Numeric = 0, Text = 1, Identifier = 2 };

    OpenWidget(ControlWidget* owner, QWidget* parent = nullptr);
    // Restores the process-wide time, source and destination attribute names
    // when no load completed, so that a cancelled dialog leaves the loaded
    // log's settings as they were.
    ~OpenWidget() override;

    // The fields of one record: a '"' toggles a quoted stretch and is
    // dropped, a separator inside quotes stays in its field.
    static QList<QString> splitRecord(const QString& line, char separator);

    // One record as an event, or null when the line gives none (too few
    // fields: debug line "bad packet "; too many: silently). `grouping` is
    // -2 (no grouping: trace 0) or the index of the grouping attribute.
    QSharedPointer<Packet> parsePacket(const QString& line, char separator, int grouping,
                                       THash<QString, TVariant>* pool);
    // Reads up to `max` records of the stream as events (no grouping, the
    // stream's own text pool); warns about the records that gave none.
    TList<QSharedPointer<Packet>> checkPackets(IPacketStream* stream, int max);

    // Widgets and state, in the order of their meaning for the dialog.
    QPushButton* fileButton = nullptr;        // "Open": choose the log
    QLabel* fileLabel = nullptr;              // the chosen path, empty until chosen
    QComboBox* timeCombo = nullptr;
    QComboBox* sourceCombo = nullptr;
    QComboBox* destinationCombo = nullptr;
    QComboBox* hiddenCombo1 = nullptr;        // never shown
    QComboBox* hiddenCombo2 = nullptr;        // never shown
    IPacketStream* stream = nullptr;          // owned; replaced on every file choice
    ControlWidget* owner = nullptr;           // not owned
    QPushButton* cancelButton = nullptr;
    QPushButton* loadButton = nullptr;        // "Open": load the log
    QRadioButton* tcpRadio = nullptr;         // "TCP/UDP sessions", never shown
    QRadioButton* attributeRadio = nullptr;
    QRadioButton* combinedRadio = nullptr;
    QComboBox* combinedSourceCombo = nullptr;
    QComboBox* combinedDestinationCombo = nullptr;
    QComboBox* combinedSessionCombo = nullptr;
    QRadioButton* noneRadio = nullptr;
    QLineEdit* limitEdit = nullptr;

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
    QComboBox* groupingCombo = nullptr;
    TList<QString> headerNames;               // the header line's names
    TList<QString> attributeNames;            // header, derived names, "frame.convid"
    QHash<QString, int> attributeTypes;       // ColumnType by name
    QTableWidget* attributeTable = nullptr;
    TList<QSharedPointer<Packet>> packets;    // the events of the last load
    QCheckBox* networkCheck = nullptr;        // "Network traffic", never shown
    QButtonGroup* groupingButtons = nullptr;
    QProgressDialog* progressDialog = nullptr;   // of the running load, else null
    OpenWidgetWorker* worker = nullptr;          // of the running load, else null
    QLineEdit* filterEdit = nullptr;          // never shown
    THash<QString, int> conversationIds;      // trace number by grouping key
    int32_t nextConversationId = 0;
    char separator = ',';
    int32_t timeColumn = -1;
    int32_t sourceColumn = -1;
    int32_t destinationColumn = -1;
    int32_t grouping = -1;
    QPushButton* exportButton = nullptr;
    bool aborted = false;
    QFile* file = nullptr;                    // owned; the chosen log
    // The text pool of the current load; it goes to the new glyph store.
    THash<QString, TVariant> textPool;

public slots:
    void openFile();
    void openInit();
    void updateFields();
    void updateRadioButtons();
    void updateTCP();
    void updateType(int index);
    void filterByText();
    void import();
    void exportData();
    void abort();

private:
    void readHeader();
    void readPreview();
    void fillAttributeTable();
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
    // Splits the chosen log into conversation files; false with a reason
    // when that failed.
    bool splitConversations(const QString& directory, QString* error);

    int32_t baseNameCount = 0;     // header and derived names, without "frame.convid"
    bool deriveTime = true;        // the log has no "frame.length"
    bool combinedKey = false;      // "Combined": records get the "frame.convid" key
    DerivedTime derivedTime;       // cache of the derived time values
    bool loaded = false;           // a load completed
    QString savedTimeAttribute;
    QString savedSourceAttribute;
    QString savedDestinationAttribute;

    // The values of the records parsed with one pool: each distinct text of
    // a column is parsed and stored once, and the events share the table.
    // Made anew whenever the pool changes or a load starts.
    ValueInterner& valuesFor(const THash<QString, TVariant>* pool);
    // Positions of the first `count` derived values, reusing those of the
    // record before where the values are the very same.
    void placeDerived(ValueInterner& values, const TVariant* derived, int count, quint32* out);
public:
    // Starts a new value table (the pool was emptied); events made before
    // keep theirs.
    void resetValues();
private:
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
    return OpenWidget::splitRecord(line, separator);
}
