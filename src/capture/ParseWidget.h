#pragma once

#include "core/TList.h"

#include <QDialog>
#include <QHash>
#include <QSet>
#include <QString>

#include <memory>
#include <vector>

class ControlWidget;
class FieldDiscovery;
class MultiListWidget;
class QLabel;
class QLineEdit;
class QListWidgetItem;
class QMutex;
class QProgressDialog;
class QPushButton;
class QXmlStreamReader;
class WiresharkTerminalStream;

// The dialog that converts a packet capture into a comma-separated event
// log: it locates tshark, takes the capture, the output file, an optional
// display filter and the fields to convert. The fields are offered as a
// checkable list of those that tshark finds in the capture's first packets
// (loadFields), read while tshark runs under a progress dialog whose Cancel
// leaves everything as it was. The selection is kept short enough for one
// console line of consoleLimit characters; the conversion itself runs
// through a WiresharkTerminalStream under a progress dialog whose Cancel
// stops it.
//
// Running out of memory: a conversion fails as a whole (the output file is
// left as it was) and a discovery too (the dialog is left as it was), each
// with one message; the list, the selection and the console line change
// together or not at all.
class ParseWidget : public QDialog
{
    Q_OBJECT

public:
    ParseWidget(ControlWidget* opener, QWidget* parent = nullptr);
    ~ParseWidget() override;

    // A file exists at path and the path contains "tshark".
    static bool isTshark(const QString& path);
    // The output proposed for a capture: in the capture's folder, its file
    // name cut before the name's first "." and ".csv" appended.
    static QString proposedOutput(const QString& capturePath);
    // The tool programs for the operating system `os`: tshark is the tshark
    // label's path when that is an executable file; capinfos is the one
    // beside that tshark when there is one. Otherwise, as the system has
    // them: on "windows" the label's path and capinfos.exe in its folder, on
    // "linux" and "macos" the bare names found on the search path, else
    // empty.
    QString tsharkProgram() const;
    QString capinfosProgram() const;
    // Why tshark cannot be started, naming the path tried and what to set.
    QString tsharkMissingText() const;

    void showTsharkStatus();
    void updateConvertButton();
    void updateCharCount();
    // Fills the list from allFields and selectedFields. Changes nothing when
    // it runs out of memory (it throws then).
    void fillFieldList();
    // Enables every ticked field and every unticked one that fits beside the
    // console line within consoleLimit; disables the others.
    void updateFieldStates();

    // Lets tshark dissect the first `packets` packets of the input capture
    // (-1: all) and replaces allFields with the field names read from its
    // PDML; adds the default selections and drops the noise fields. When the
    // capture shows no IPv4 source but an Ethernet source, the process-wide
    // source attribute becomes "eth.src". When no field is found,
    // fieldsError says why. The window is served while tshark runs, under a
    // progress dialog; returns false, having changed nothing, when the
    // discovery was cancelled (its Cancel, the dialog closed, another
    // capture opened), or when it ran out of memory (then said).
    bool loadFields(int packets);
    // The field names of a PDML file: per packet the first layer of each
    // protocol, the "geninfo" layer left out, a name without "." read as
    // "geninfo." + name. A document that breaks off gives what was read up
    // to there; a file that cannot be opened gives an empty list.
    static TList<QString> readPdmlFields(const QString& path);
    // Adds the field names of the protocol layer on whose start the reader
    // stands to table[protocol]; stops on the next "proto" element (the
    // layer's end or a nested layer) and leaves the reader there.
    static void collectPacketFields(QXmlStreamReader& reader, const QString& protocol,
                                    QHash<QString, QSet<QString>>& table);

    ControlWidget* opener = nullptr;
    QPushButton* convertButton = nullptr;
    QPushButton* cancelButton = nullptr;
    QPushButton* findButton = nullptr;
    QPushButton* openButton = nullptr;
    QLabel* tsharkLabel = nullptr;
    QLabel* inputLabel = nullptr;
    // Every field discovered in the capture, sorted.
    TList<QString> allFields;
    // The fields to convert; their order is the column order of the output.
    TList<QString> selectedFields;
    MultiListWidget* fieldList = nullptr;
    // Guards the progress update against re-entry; tried without waiting.
    QMutex* mutex = nullptr;
    QLabel* tsharkStatus = nullptr;
    QPushButton* autoSelectButton = nullptr;
    int consoleLimit = 8191;
    // An approximation of the tshark command line, measured only.
    QString consoleLine;
    QLabel* consoleCount = nullptr;
    QLabel* outputLabel = nullptr;
    QPushButton* saveButton = nullptr;
    // A display filter.
    QLineEdit* filterEdit = nullptr;
    QProgressDialog* progressDialog = nullptr;
    // The running conversion; null otherwise.
    WiresharkTerminalStream* stream = nullptr;

    // The operating system the tool paths are chosen for (osName()).
    QString os;
    // How long discovery waits for tshark to start and again to end, in
    // milliseconds.
    int toolTimeout = 30000;
    // Why the last discovery found no field; empty when it found some.
    QString fieldsError;
    // The running field discovery and its progress dialog; null otherwise.
    FieldDiscovery* discovery = nullptr;
    QProgressDialog* discoveryProgress = nullptr;

    void done(int result) override;

signals:
    void setLabelText(QString text);
    void setProgress(int value);
    void closeProgress();

public slots:
    void setValue(int n);
    void openFile();
    void openWireShark();
    void saveFile();
    void parseData();
    void abort();
    void updateGUI(QListWidgetItem* item);
    void updateConsoleLine();
    void autoSelect();

private:
    // What one field discovery found.
    struct FieldSample
    {
        bool cancelled = false;
        bool startable = true;
        bool timedOut = false;
        bool crashed = false;
        // Anything in the discovery ran out of memory: nothing is taken.
        bool ranOutOfMemory = false;
        QByteArray errorOutput;
        TList<QString> fields;
    };
    // What the dialog takes over from a discovery (see loadFields).
    struct TakenFields
    {
        TList<QString> all;
        TList<QString> selected;
        QString source;  // the process-wide source attribute
        QString error;   // fieldsError
    };
    using Items = std::vector<std::unique_ptr<QListWidgetItem>>;

    // Runs the discovery on `capture` and waits for it, serving the window.
    FieldSample discover(const QString& capture, int packets);
    // What taking the sample over makes of the dialog's fields; changes
    // nothing.
    TakenFields fieldsOf(const FieldSample& sample) const;
    // Puts them in place; allocates nothing.
    void takeFields(TakenFields& taken) noexcept;
    // Takes a discovered capture over: its path, the proposed output, the
    // fields and the list, all or nothing.
    void takeCapture(const QString& path, const FieldSample& sample);
    void tellFieldsOutOfMemory();

    // The console line for the input capture and the selection.
    QString consoleLineFor(const QString& input, const TList<QString>& selection) const;
    // The items of the list for the fields and the selection, their flags
    // as updateFieldStates sets them for `room` characters left.
    Items makeItems(const TList<QString>& all, const TList<QString>& selection, int room) const;
    // Shows them in place of the list's items (they are taken).
    void showItems(Items& items);
    // Replaces the selection, and with it the console line and the list.
    void setSelection(TList<QString> selection);
    void applyFieldStates();
    // Why settings.txt's tshark is not used, and what is used instead.
    QString settingsTsharkText(bool* replaced) const;

    // Adds a field to the selection unless it is empty, "none" or selected.
    static void select(TList<QString>& selection, const QString& field);
    // The stream and the progress dialog of a conversion go.
    void endConversion() noexcept;
    static const QString& conversionOutOfMemoryText();
    void conversionDone(bool ok, bool killed, bool reported, const QString& errorText);
};
