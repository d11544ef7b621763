#pragma once

#include "core/THash.h"
#include "core/TList.h"
#include "core/TVariant.h"
#include "import/RecordParser.h"

#include <QDialog>
#include <QHash>
#include <QList>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
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
class QStringListModel;
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
class OpenWidget : public QDialog, public RecordParser
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

    // Reads up to `max` records of the stream as events (no grouping, the
    // stream's own text pool); warns about the records that gave none.
    TList<QSharedPointer<Packet>> checkPackets(IPacketStream* stream, int max);

    // The preview reads this many bytes of a line at most, and stops once
    // it has gone this far into the file.
    static constexpr int PREVIEW_LINE_LIMIT = 4 << 20;
    static constexpr qint64 PREVIEW_BYTES = qint64(64) << 20;

    // Widgets and state, in the order of their meaning for the dialog.
    QPushButton* fileButton = nullptr;        // "Open": choose the log
    QLabel* fileLabel = nullptr;              // the chosen path, empty until chosen
    // What the preview left out (rows longer than it reads); hidden when empty.
    QLabel* previewNote = nullptr;
    QComboBox* timeCombo = nullptr;
    QComboBox* sourceCombo = nullptr;
    QComboBox* destinationCombo = nullptr;
    QComboBox* hiddenCombo1 = nullptr;        // never shown
    QComboBox* hiddenCombo2 = nullptr;        // never shown
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

    QComboBox* groupingCombo = nullptr;
    QHash<QString, int> attributeTypes;       // ColumnType by name
    QTableWidget* attributeTable = nullptr;
    QCheckBox* networkCheck = nullptr;        // "Network traffic", never shown
    QButtonGroup* groupingButtons = nullptr;
    QProgressDialog* progressDialog = nullptr;   // of the running load, else null
    OpenWidgetWorker* worker = nullptr;          // of the running load, else null
    QLineEdit* filterEdit = nullptr;          // never shown
    int32_t sourceColumn = -1;
    int32_t destinationColumn = -1;
    QPushButton* exportButton = nullptr;
    bool aborted = false;
    QFile* file = nullptr;                    // owned; the chosen log

public slots:
    // Asks for a log and reads its header and preview. Throws nothing for
    // want of memory: the dialog then has no file chosen, and says so.
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
    // What openFile() does with the chosen path, but for the warning about
    // the records of the preview that gave no event (their numbers go to
    // `failed`). Throws std::bad_alloc, after which the dialog is to forget
    // the file.
    void chooseFile(const QString& path, QStringList* failed);
    void readHeader();
    // Reads the preview and guesses the types; false when the log holds no
    // events, with the reason in `problem`. The numbers of the records that
    // gave no event go to `failed`, for the warning.
    bool readPreview(QString* problem, QStringList* failed);
    // The preview's records: as checkPackets() without its warning; the
    // numbers of the records that gave no event go to `failed`, those of
    // the records longer than the preview reads (not parsed) to `cut`.
    TList<QSharedPointer<Packet>> previewPackets(IPacketStream* stream, int max, QStringList* failed,
                                                 QStringList* cut);
    // The warning about the preview's records that gave no event.
    void warnFailed(const QStringList& failed);
    // Why the chosen file cannot be a log (its first bytes, its header),
    // or an empty text.
    QString fileProblem();
    // Tells the analyst why the file holds no events and forgets it: the
    // dialog is back to no file chosen, and the loaded log stays.
    void refuseFile(const QString& path, const QString& problem);
    // The message of a file that holds no events: "NAME cannot be loaded:
    // PROBLEM", and that the loaded log stays.
    void tellNotLoaded(const QString& path, const QString& problem);
    // Forgets the chosen file, its stream, its names and its table.
    void clearFile();
    void fillAttributeTable();
    // A type box for the column `name`, set to its stored type.
    QComboBox* makeTypeCombo(const QString& name);
    // On a long table, gives the rows in view (and a few around) their type
    // box; boxes far out of view go when there are many.
    void showTypeCombos();
    // Reads the chosen log into `packets` (and the pool, the trace numbers)
    // on the loader's thread, here when none can be started, behind a
    // progress dialog; `ranOut` tells a run that stopped out of memory.
    void readLog(int* limit, bool* ranOut);
    // Lets go of everything a load read, as a load that stopped out of
    // memory does.
    void dropRead();
    // Splits the chosen log into conversation files, on a thread behind a
    // progress dialog; false with a reason when that failed, ran out of
    // memory or was cancelled (`cancelled` then set, unless the cancelled
    // split left something in the folder). Throws nothing for want of
    // memory, and its thread has ended however it returns.
    bool splitConversations(const QString& directory, QString* error, bool* cancelled);

    bool loaded = false;           // a load completed
    QString savedTimeAttribute;
    QString savedSourceAttribute;
    QString savedDestinationAttribute;

    // The column names the combo boxes list, one list per combo box that
    // lists them in its own way: a log of many thousand columns is not
    // copied into every box. The grouping combo and the three combined
    // combos share the sorted names.
    QStringListModel* timeNames = nullptr;
    QStringListModel* sourceNames = nullptr;
    QStringListModel* destinationNames = nullptr;
    QStringListModel* sortedNames = nullptr;
    // A table of more than a thousand rows makes its type boxes as its rows
    // come into view; these are the rows that have one.
    bool typeCombosInView = false;
    std::vector<int> typeComboRows;
    QObject* typeWatcher = nullptr;   // of the table's resizes, owned by it
};
