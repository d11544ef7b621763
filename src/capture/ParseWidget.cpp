#include "capture/ParseWidget.h"

#include "app/FileAsker.h"
#include "app/MainWindow.h"
#include "app/MessageAsker.h"
#include "app/ToolLocator.h"
#include "capture/MultiListWidget.h"
#include "capture/WiresharkTerminalStream.h"
#include "core/Constants.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidgetItem>
#include <QMutex>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QTemporaryFile>
#include <QXmlStreamReader>

#include <algorithm>

namespace {

const QString CONVERSION_TITLE = QStringLiteral("Conversion PCAP CSV");

// Fields that say nothing about a packet's traffic (raw payload bytes).
const QStringList NOISE_FIELDS{QStringLiteral("geninfo.data"), QStringLiteral("media.type"),
                               QStringLiteral("http.file_data"),
                               QStringLiteral("tcp.segment_data"),
                               QStringLiteral("tcp.reassembled.data")};

// Selected whenever a capture offers them.
const QStringList DEFAULT_FIELDS{QStringLiteral("tcp.srcport"), QStringLiteral("tcp.dstport"),
                                 QStringLiteral("tcp.stream"), QStringLiteral("frame.len"),
                                 QStringLiteral("frame.protocols")};

// Error output kept from the discovery run, for the log.
constexpr int MAX_ERROR_BYTES = 4096;

QLabel* textLabel(const char* text)
{
    return new QLabel(QString::fromLatin1(text));
}

} // namespace

ParseWidget::ParseWidget(ControlWidget* opener, QWidget* parent)
    : QDialog(parent)
    , opener(opener)
    , os(osName())
{
    convertButton = new QPushButton(QStringLiteral("Convert"));
    cancelButton = new QPushButton(QStringLiteral("Cancel"));
    findButton = new QPushButton(QStringLiteral("Find"));
    openButton = new QPushButton(QStringLiteral("Open"));
    tsharkLabel = new QLabel;
    inputLabel = new QLabel;
    fieldList = new MultiListWidget;
    fieldList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    mutex = new QMutex;
    tsharkStatus = new QLabel;
    autoSelectButton = new QPushButton(QStringLiteral("Auto-Select"));
    consoleCount = new QLabel;
    outputLabel = new QLabel;
    saveButton = new QPushButton(QStringLiteral("Save as"));
    filterEdit = new QLineEdit;
    filterEdit->setToolTip(QStringLiteral(
        "A display filter, as typed in Wireshark's filter bar (for example smb2 or "
        "ip.addr == 10.0.0.1): only the packets it shows are converted. tshark gets it "
        "with -Y. Empty: every packet."));

    auto* layout = new QGridLayout(this);
    layout->addWidget(textLabel("WireShark (tshark.exe) Location:"), 0, 0);
    layout->addWidget(tsharkLabel, 0, 1);
    layout->addWidget(findButton, 0, 2);
    layout->addWidget(tsharkStatus, 0, 3);
    layout->addWidget(textLabel("Input file:"), 1, 0);
    layout->addWidget(inputLabel, 1, 1);
    layout->addWidget(openButton, 1, 2);
    layout->addWidget(textLabel("Output file:"), 2, 0);
    layout->addWidget(outputLabel, 2, 1);
    layout->addWidget(saveButton, 2, 2);
    layout->addWidget(textLabel("Filter"), 3, 0);
    layout->addWidget(filterEdit, 3, 1);
    layout->addWidget(textLabel("Attributes:"), 4, 0);
    layout->addWidget(autoSelectButton, 4, 1);
    layout->addWidget(fieldList, 5, 0, 1, 4);
    layout->addWidget(consoleCount, 7, 0);
    layout->addWidget(convertButton, 10, 0);
    layout->addWidget(cancelButton, 10, 1);

    select(TIME_ATTRIBUTE);
    select(SRC_ATTRIBUTE);
    select(DST_ATTRIBUTE);
    consoleLimit = 8191;
    consoleLine.clear();
    fieldList->clear();

    connect(convertButton, &QPushButton::clicked, this, &ParseWidget::parseData);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(findButton, &QPushButton::clicked, this, &ParseWidget::openWireShark);
    connect(openButton, &QPushButton::clicked, this, &ParseWidget::openFile);
    connect(saveButton, &QPushButton::clicked, this, &ParseWidget::saveFile);
    connect(autoSelectButton, &QPushButton::clicked, this, &ParseWidget::autoSelect);

    if (isTshark(TSHARK_PATH)) {
        tsharkLabel->setText(TSHARK_PATH);
        showTsharkStatus();
        fillFieldList();
    }
    updateConvertButton();
}

ParseWidget::~ParseWidget()
{
    delete mutex;
}

// ---------------------------------------------------------------------------
// Paths

bool ParseWidget::isTshark(const QString& path)
{
    return QFileInfo(path).isFile() && path.contains(QLatin1String("tshark"));
}

QString ParseWidget::proposedOutput(const QString& capturePath)
{
    // Only the file name is cut: a dot in a folder name ("v1.2", ".cache")
    // must not turn the proposal into a file in a parent folder.
    const QFileInfo info(capturePath);
    QString name = info.fileName();
    const int dot = name.indexOf(QLatin1Char('.'));
    if (dot >= 0)
        name.truncate(dot);
    return QDir(info.path()).filePath(name + QStringLiteral(".csv"));
}

QString ParseWidget::tsharkProgram() const
{
    return ToolLocator::program(tsharkLabel->text(), QStringLiteral("tshark"), os);
}

QString ParseWidget::capinfosProgram() const
{
    const bool windows = os == QLatin1String("windows");
    const QString tshark = tsharkLabel->text();
    if (ToolLocator::isExecutableFile(tshark)) {
        const QString beside = ToolLocator::beside(
            tshark, windows ? QStringLiteral("capinfos.exe") : QStringLiteral("capinfos"));
        if (!beside.isEmpty())
            return beside;
    }
    if (windows)
        return tshark.chopped(std::min(10, tshark.size())) + QStringLiteral("capinfos.exe");
    if (os == QLatin1String("linux") || os == QLatin1String("macos"))
        return QStringLiteral("capinfos");
    return QString();
}

QString ParseWidget::tsharkMissingText() const
{
    // The label stays empty when the path of settings.txt names no tshark:
    // that path is what the user has to mend.
    const bool fromSettings = tsharkLabel->text().isEmpty() && !TSHARK_PATH.isEmpty();
    const QString path = fromSettings ? TSHARK_PATH : tsharkLabel->text();
    const QString where = fromSettings ? QStringLiteral(" (the path in settings.txt)") : QString();
    QString text;
    if (path.isEmpty())
        text = QStringLiteral("tshark could not be started: no tshark program is set");
    else if (!QFileInfo::exists(path))
        text = QStringLiteral("tshark could not be started: \"%1\"%2 does not exist").arg(path, where);
    else
        text = QStringLiteral("tshark could not be started: \"%1\"%2 is no executable program")
                   .arg(path, where);
    if (os == QLatin1String("linux") || os == QLatin1String("macos"))
        text += QStringLiteral(", and there is no tshark on the search path (PATH)");
    return text + QStringLiteral(". Choose the tshark program with \"Find\"; its path is kept "
                                 "in settings.txt.");
}

// ---------------------------------------------------------------------------
// Labels and buttons

void ParseWidget::showTsharkStatus()
{
    if (isTshark(tsharkLabel->text())) {
        tsharkStatus->setStyleSheet(QStringLiteral("color: green;"));
        tsharkStatus->setText(QStringLiteral("Found!"));
    } else {
        tsharkStatus->setStyleSheet(QStringLiteral("color: red;"));
        tsharkStatus->setText(QStringLiteral("Not Found!"));
    }
}

void ParseWidget::updateConvertButton()
{
    convertButton->setEnabled(!tsharkLabel->text().isEmpty() && !inputLabel->text().isEmpty()
                              && !outputLabel->text().isEmpty());
}

void ParseWidget::openWireShark()
{
    const QString filter = os == QLatin1String("windows") ? QStringLiteral("*.exe") : QString();
    const QString path =
        FileAsker::openFileName(this, QStringLiteral("Find tshark (WireShark)"), QString(), filter);
    if (path.isEmpty()) {
        qDebug() << "Open WireShark failed";
    } else {
        tsharkLabel->setText(path);
        showTsharkStatus();
        fillFieldList();
        TSHARK_PATH = path;
        MainWindow::saveSettings();
    }
    updateConvertButton();
}

void ParseWidget::openFile()
{
    const QString path =
        FileAsker::openFileName(this, QStringLiteral("Open PCAP"), QString(), QStringLiteral("*.pcap"));
    if (path.isEmpty()) {
        qDebug() << "Open file failed";
        return;
    }
    inputLabel->setText(path);
    outputLabel->setText(proposedOutput(path));
    loadFields(1500);
    fillFieldList();
    updateConvertButton();
    if (allFields.isEmpty())
        MessageAsker::ask(QMessageBox::Warning, CONVERSION_TITLE,
                          QStringLiteral("No fields were found in the capture.\n") + fieldsError,
                          QMessageBox::Ok, this);
}

void ParseWidget::saveFile()
{
    QString path =
        FileAsker::saveFileName(this, QStringLiteral("Save CSV"), QString(), QStringLiteral("*.csv"));
    if (path.isEmpty()) {
        qDebug() << "Save WireShark failed";
    } else {
        if (!path.contains(QLatin1String(".csv")))
            path += QStringLiteral(".csv");
        outputLabel->setText(path);
    }
    updateConvertButton();
}

// ---------------------------------------------------------------------------
// Field list and console line

void ParseWidget::select(const QString& field)
{
    // "none" is the import's choice of no attribute, not a field to convert.
    if (field.isEmpty() || field == QLatin1String("none") || selectedFields.contains(field))
        return;
    selectedFields.append(field);
}

void ParseWidget::updateConsoleLine()
{
    consoleLine = tsharkLabel->text() + QStringLiteral(" -r ") + QLatin1Char('"') + inputLabel->text()
                  + QLatin1Char('"') + QStringLiteral(" -T fields ");
    const int base = consoleLine.size();
    const int n = selectedFields.size();
    for (int k = 0; k < n; ++k) {
        const QString& field = selectedFields.at(k);
        // Each field is measured against the base line alone.
        if (field.size() + base < consoleLimit)
            consoleLine += field;
        if (k + 1 < n)
            consoleLine += QLatin1Char(' ');
    }
    consoleLine += QStringLiteral(" -E occurrence=f");
}

void ParseWidget::updateCharCount()
{
    consoleCount->setText(QStringLiteral("Console characters used: ")
                          + QString::number(consoleLine.size()) + QLatin1Char('/')
                          + QString::number(consoleLimit));
}

void ParseWidget::fillFieldList()
{
    updateConsoleLine();
    const int base = consoleLine.size();
    updateCharCount();

    fieldList->setUpdatesEnabled(false);
    disconnect(fieldList, &QListWidget::itemChanged, this, &ParseWidget::updateGUI);
    fieldList->clear();

    QSet<QString> selected;
    for (const QString& field : selectedFields)
        selected.insert(field);
    for (const QString& field : allFields) {
        auto* item = new QListWidgetItem(field, fieldList);
        if (field.size() + base < consoleLimit)
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        else
            item->setFlags(Qt::ItemIsUserCheckable);
        item->setCheckState(selected.contains(field) ? Qt::Checked : Qt::Unchecked);
    }
    if (fieldList->count() != allFields.size())
        qDebug() << " item does not exist";

    fieldList->setUpdatesEnabled(true);
    connect(fieldList, &QListWidget::itemChanged, this, &ParseWidget::updateGUI);
}

void ParseWidget::updateGUI(QListWidgetItem* item)
{
    if (!item)
        return;
    const QString field = item->text();
    if (item->checkState() == Qt::Checked) {
        if (consoleLine.size() + field.size() >= consoleLimit) {
            // The line has no room for it: the item shows what is converted.
            const QSignalBlocker quiet(fieldList);
            item->setCheckState(Qt::Unchecked);
        } else {
            selectedFields.append(field);
        }
    } else {
        // An unchecked field is not converted at all, also when it was
        // selected more than once.
        while (selectedFields.removeOne(field)) {
        }
    }
    updateConsoleLine();
    updateCharCount();
    fieldList->viewport()->update();
}

void ParseWidget::autoSelect()
{
    updateConsoleLine();
    for (const QString& field : allFields) {
        // Tested before the field is added: the last one may pass the limit.
        if (!selectedFields.contains(field) && consoleLine.size() < consoleLimit) {
            selectedFields.append(field);
            updateConsoleLine();
        }
    }
    fillFieldList();
    update();
}

// ---------------------------------------------------------------------------
// Field discovery

void ParseWidget::loadFields(int packets)
{
    const QString capture = inputLabel->text();
    const QString program = tsharkProgram();
    QStringList arguments{QStringLiteral("-r"), capture};
    if (packets != -1)
        arguments << QStringLiteral("-c") << QString::number(packets);
    arguments << QStringLiteral("-T") << QStringLiteral("pdml");

    // tshark's PDML goes to a private file of its own: nothing beside the
    // capture is touched, and the capture's folder may be read-only.
    QTemporaryFile pdml(QDir(QDir::tempPath()).filePath(QStringLiteral("lumivane-XXXXXX.pdml")));
    const bool pdmlOpen = pdml.open();
    if (!pdmlOpen)
        qDebug().noquote() << "Could not open to PDML file " + pdml.fileTemplate() + ", error:"
                                  + pdml.errorString();

    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    QByteArray errorOutput;
    bool timedOut = false;
    const bool startable = ToolLocator::canStart(program);
    if (!startable) {
        qDebug() << "no tshark to start for" << os << program;
    } else {
        process.start(program, arguments, QIODevice::ReadWrite);
        qDebug() << program << process.errorString() << arguments;
        if (!process.waitForStarted(toolTimeout))
            qDebug() << "not running";

        // The output goes to the file as it comes (PDML is large); tshark
        // gets toolTimeout to finish and is stopped after that, keeping
        // what it printed.
        QElapsedTimer clock;
        clock.start();
        while (process.state() != QProcess::NotRunning) {
            const qint64 left = toolTimeout - clock.elapsed();
            if (left <= 0)
                break;
            process.waitForReadyRead(int(std::min<qint64>(left, 1000)));
            const QByteArray bytes = process.readAllStandardOutput();
            if (pdmlOpen && !bytes.isEmpty())
                pdml.write(bytes);
            if (errorOutput.size() < MAX_ERROR_BYTES)
                errorOutput += process.readAllStandardError();
            else
                process.readAllStandardError();
        }
        if (process.state() != QProcess::NotRunning) {
            qDebug() << "tshark did not end in time; stopped";
            timedOut = true;
            process.kill();
            process.waitForFinished(5000);
        }
        const QByteArray rest = process.readAllStandardOutput();
        if (pdmlOpen && !rest.isEmpty())
            pdml.write(rest);
        errorOutput += process.readAllStandardError();
        if (!errorOutput.isEmpty())
            qDebug() << errorOutput.left(MAX_ERROR_BYTES);
    }
    pdml.close();

    allFields = pdmlOpen ? readPdmlFields(pdml.fileName()) : TList<QString>();

    for (const QString& field : DEFAULT_FIELDS)
        if (allFields.contains(field))
            select(field);

    pdml.remove();

    if (!allFields.contains(SRC_ATTRIBUTE) && allFields.contains(ETH_SRC))
        SRC_ATTRIBUTE = ETH_SRC;
    if (!allFields.contains(TIME_ATTRIBUTE) || !allFields.contains(SRC_ATTRIBUTE))
        qDebug() << "this is not network traffic!";

    std::sort(allFields.begin(), allFields.end());
    for (const QString& noise : NOISE_FIELDS)
        allFields.removeOne(noise);

    fieldsError.clear();
    if (!allFields.isEmpty())
        return;
    const QString tsharkSaid = WiresharkTerminalStream::withoutRootWarning(errorOutput);
    if (!startable)
        fieldsError = tsharkMissingText();
    else if (!tsharkSaid.isEmpty())
        fieldsError = QStringLiteral("tshark said:\n") + tsharkSaid;
    else if (timedOut)
        fieldsError = QStringLiteral("tshark did not end within %1 s.").arg(toolTimeout / 1000);
    else if (!pdmlOpen)
        fieldsError = QStringLiteral("A temporary file could not be created.");
    else
        fieldsError = QStringLiteral("tshark found no packet in it.");
}

TList<QString> ParseWidget::readPdmlFields(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qDebug().noquote() << "Could not open to PDML file " + path + ", error:"
                                  + file.errorString();
        return TList<QString>();
    }

    const QString packetName = QStringLiteral("packet");
    const QString protoName = QStringLiteral("proto");
    const QString nameAttribute = QStringLiteral("name");

    QHash<QString, QSet<QString>> table;
    QSet<QString> visited;
    int packets = 0;
    QXmlStreamReader reader(&file);
    // A document that breaks off (tshark stopped, a disk full) ends with a
    // reader error: what was read up to there is kept.
    auto more = [&reader]() { return !reader.atEnd() && !reader.hasError(); };
    reader.readNext();
    while (more()) {
        reader.readNext();
        if (!(reader.isStartElement() && reader.name() == packetName))
            continue;
        visited.clear();
        while (more() && !(reader.isEndElement() && reader.name() == packetName)) {
            reader.readNext();
            if (reader.isStartElement() && reader.name() == protoName) {
                const QString protocol = reader.attributes().value(nameAttribute).toString();
                if (visited.contains(protocol))
                    continue;
                visited.insert(protocol);
                collectPacketFields(reader, protocol, table);
            }
        }
        ++packets;
        if (packets % 1000 == 0)
            qDebug() << "Packet" << packets;
    }
    if (reader.hasError())
        qDebug() << "PDML ends early:" << reader.errorString();

    TList<QString> fields;
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        if (it.key().contains(QLatin1String("geninfo")))
            continue;
        QStringList names = it.value().values();
        std::sort(names.begin(), names.end());
        for (const QString& name : names)
            fields.append(name);
    }
    return fields;
}

void ParseWidget::collectPacketFields(QXmlStreamReader& reader, const QString& protocol,
                                      QHash<QString, QSet<QString>>& table)
{
    const QString protoName = QStringLiteral("proto");
    const QString fieldName = QStringLiteral("field");
    const QString nameAttribute = QStringLiteral("name");

    reader.readNext();
    QSet<QString>& fields = table[protocol];
    while (!reader.atEnd() && !reader.hasError()) {
        if ((reader.isStartElement() || reader.isEndElement()) && reader.name() == protoName)
            return;
        if (reader.isStartElement() && reader.name() == fieldName) {
            QString name = reader.attributes().value(nameAttribute).toString();
            if (!name.isEmpty()) {
                if (!name.contains(QLatin1Char('.')))
                    name.prepend(QStringLiteral("geninfo."));
                fields.insert(name);
            }
        }
        reader.readNext();
    }
}

// ---------------------------------------------------------------------------
// Conversion

void ParseWidget::parseData()
{
    // A conversion is running (its event loop delivers clicks): one at a time.
    if (stream)
        return;
    // Checked before anything is asked or touched: a tshark that cannot
    // start would leave an empty file in place of an older one.
    const QString tshark = tsharkProgram();
    if (!ToolLocator::canStart(tshark)) {
        MessageAsker::ask(QMessageBox::Warning, CONVERSION_TITLE,
                          QStringLiteral("Conversion failed:\n") + tsharkMissingText(),
                          QMessageBox::Ok, this);
        return;
    }
    const QString input = inputLabel->text();
    const QString output = outputLabel->text();
    if (QFileInfo::exists(output)) {
        // Converting a capture onto itself would delete it first.
        if (QFileInfo(output).canonicalFilePath() == QFileInfo(input).canonicalFilePath()) {
            MessageAsker::ask(QMessageBox::Warning, CONVERSION_TITLE,
                              QStringLiteral("The output file is the input capture: choose "
                                             "another output file."),
                              QMessageBox::Ok, this);
            return;
        }
        const QMessageBox::StandardButton answer = MessageAsker::ask(
            QMessageBox::Question, QStringLiteral("File exists"),
            QStringLiteral("The output file already exists. Do you wish to overwrite?"),
            QMessageBox::Yes | QMessageBox::No, this);
        if (answer != QMessageBox::Yes) {
            qDebug() << "Overwrite not allowed";
            return;
        }
    }
    qDebug() << "Yes was clicked";

    const QString capinfos = capinfosProgram();

    stream = new WiresharkTerminalStream(output, allFields);
    // Without capinfos the conversion runs all the same, without a count.
    if (ToolLocator::canStart(capinfos))
        stream->countPackets(input, capinfos);
    else
        qDebug() << "no capinfos to start:" << capinfos;

    progressDialog = new QProgressDialog(QStringLiteral("Loading data..."), QStringLiteral("Cancel"),
                                         0, stream->expectedPackets, this);
    connect(progressDialog, &QProgressDialog::canceled, this, &ParseWidget::abort);
    progressDialog->setWindowModality(Qt::WindowModal);
    // Up from the start, so that the dialog below takes no clicks and the
    // conversion can be cancelled at once.
    progressDialog->setMinimumDuration(0);

    stream->attributes = selectedFields;

    connect(this, &ParseWidget::closeProgress, progressDialog, &QProgressDialog::close);
    connect(stream, &WiresharkTerminalStream::progress, this, &ParseWidget::setValue);
    connect(this, &ParseWidget::setProgress, progressDialog, &QProgressDialog::setValue);
    connect(this, &ParseWidget::setLabelText, progressDialog, &QProgressDialog::setLabelText);

    const bool ok = stream->start(input, tshark, filterEdit->text(), -1);

    const bool killed = stream->killed;
    const bool reported = stream->reported;
    const QString errorText = stream->errorText;
    stream->stopping = true;
    delete stream;
    stream = nullptr;

    // The progress dialog may still be up when tshark never ran.
    progressDialog->disconnect(this);
    disconnect(this, nullptr, progressDialog, nullptr);
    progressDialog->close();
    progressDialog->deleteLater();
    progressDialog = nullptr;

    conversionDone(ok, killed, reported, errorText);
}

void ParseWidget::conversionDone(bool ok, bool killed, bool reported, const QString& errorText)
{
    if (killed) {
        MessageAsker::ask(QMessageBox::Warning, CONVERSION_TITLE, QStringLiteral("Conversion aborted."),
                          QMessageBox::Ok, this);
        return;
    }
    if (!ok) {
        // Fields that tshark does not know (a column name of the imported
        // log, say) may not stand in the list to be unchecked: they leave
        // the selection, so that the next Convert can succeed.
        const TList<QString> refused = WiresharkTerminalStream::refusedFields(errorText);
        QString text = QStringLiteral("Conversion failed:\n") + errorText;
        if (!refused.isEmpty()) {
            for (const QString& field : refused)
                while (selectedFields.removeOne(field)) {
                }
            fillFieldList();
            text += QStringLiteral("\n\nThese fields were taken out of the selection: ")
                    + refused.toQList().join(QStringLiteral(", ")) + QLatin1Char('.');
        }
        // The stream showed its own box for this failure: one is enough.
        if (!reported)
            MessageAsker::ask(QMessageBox::Warning, CONVERSION_TITLE, text, QMessageBox::Ok, this);
        return;
    }
    MessageAsker::ask(QMessageBox::Warning, CONVERSION_TITLE, QStringLiteral("Conversion successful"),
                      QMessageBox::Ok, this);
    accept();
}

void ParseWidget::setValue(int n)
{
    if (!stream)
        return;
    const int total = stream->expectedPackets;
    if (mutex->tryLock(0)) {
        int shown = progressDialog ? std::min(n, progressDialog->maximum()) : n;
        shown = std::max(shown, 1);
        emit setProgress(shown);
        emit setLabelText(QStringLiteral("Converting data... : Parsed ") + QString::number(shown)
                          + QLatin1Char('/') + QString::number(total) + QStringLiteral(" Packets"));
        mutex->unlock();
    }
    if (total <= n || !stream->out) {
        // Closing a progress dialog counts as its Cancel: once the
        // conversion is over, that must not reach the stream.
        if (progressDialog)
            disconnect(progressDialog, &QProgressDialog::canceled, this, &ParseWidget::abort);
        emit closeProgress();
    }
}

void ParseWidget::abort()
{
    if (stream)
        stream->abort();
    if (progressDialog) {
        // close() announces a Cancel again; one is enough.
        disconnect(progressDialog, &QProgressDialog::canceled, this, &ParseWidget::abort);
        progressDialog->close();
    }
}
