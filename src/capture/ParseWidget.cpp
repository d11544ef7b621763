#include "capture/ParseWidget.h"

#include "app/FileAsker.h"
#include "app/MainWindow.h"
#include "app/MessageAsker.h"
#include "app/ToolLocator.h"
#include "capture/FieldDiscovery.h"
#include "capture/MultiListWidget.h"
#include "capture/PdmlFieldReader.h"
#include "capture/WiresharkTerminalStream.h"
#include "core/Constants.h"
#include "core/HandlerGuard.h"
#include "core/OnExit.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidgetItem>
#include <QMutex>
#include <QProcess>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <QXmlStreamReader>

#include <algorithm>
#include <mutex>
#include <new>

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

QLabel* textLabel(const char* text)
{
    return new QLabel(QString::fromLatin1(text));
}

// The flags of a field's item: a ticked field can always be unticked; an
// unticked one can be ticked while it fits in the `room` left on the
// console line (ticking adds the field and one blank: it fits while the
// line plus the field stays below the limit, as updateGUI takes it).
Qt::ItemFlags flagsFor(bool ticked, int length, int room)
{
    static const Qt::ItemFlags offered = QListWidgetItem().flags() | Qt::ItemIsUserCheckable;
    return ticked || length < room ? offered : Qt::ItemFlags(Qt::ItemIsUserCheckable);
}

const QString& fieldsOutOfMemoryText()
{
    static const QString text = QStringLiteral(
        "Reading the fields of the capture ran out of memory and was stopped; the dialog was "
        "left as it was.");
    return text;
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

    select(selectedFields, TIME_ATTRIBUTE);
    select(selectedFields, SRC_ATTRIBUTE);
    select(selectedFields, DST_ATTRIBUTE);
    consoleLimit = 8191;
    consoleLine.clear();
    fieldList->clear();

    connect(convertButton, &QPushButton::clicked, this, &ParseWidget::parseData);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(findButton, &QPushButton::clicked, this, &ParseWidget::openWireShark);
    connect(openButton, &QPushButton::clicked, this, &ParseWidget::openFile);
    connect(saveButton, &QPushButton::clicked, this, &ParseWidget::saveFile);
    connect(autoSelectButton, &QPushButton::clicked, this, &ParseWidget::autoSelect);
    connect(fieldList, &MultiListWidget::checkedAll, this, &ParseWidget::updateFieldStates);
    // A tick is taken over; the list is filled with its signals blocked.
    connect(fieldList, &QListWidget::itemChanged, this, &ParseWidget::updateGUI);

    tsharkStatus->setWordWrap(true);
    if (isTshark(TSHARK_PATH)) {
        tsharkLabel->setText(TSHARK_PATH);
        fillFieldList();
    }
    showTsharkStatus();
    updateConvertButton();
}

ParseWidget::~ParseWidget()
{
    // A discovery waiting in openFile ends without touching this dialog.
    // (cancel throws nothing.)
    if (discovery)
        discovery->cancel();
    delete mutex;
}

void ParseWidget::done(int result)
{
    // Closing the dialog ends a running discovery; it changes nothing.
    // (cancel throws nothing.)
    if (discovery)
        discovery->cancel();
    QDialog::done(result);
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

QString ParseWidget::settingsTsharkText(bool* replaced) const
{
    const QString path = TSHARK_PATH;
    QString text;
    if (path.isEmpty())
        text = QStringLiteral("settings.txt names no tshark");
    else if (!QFileInfo::exists(path))
        text = QStringLiteral("The path in settings.txt, \"%1\", does not exist").arg(path);
    else
        text = QStringLiteral("The path in settings.txt, \"%1\", is no tshark program").arg(path);
    const QString program = tsharkProgram();
    *replaced = !program.isEmpty() && program != path && ToolLocator::canStart(program);
    if (*replaced) {
        QString found = QStandardPaths::findExecutable(program);
        if (found.isEmpty())
            found = program;
        return text + QStringLiteral(": the tshark on PATH (%1) is used.").arg(found);
    }
    return text + QStringLiteral(". Choose the tshark program with \"Find\".");
}

void ParseWidget::showTsharkStatus()
{
    const QString label = tsharkLabel->text();
    if (isTshark(label)) {
        tsharkStatus->setStyleSheet(QStringLiteral("color: green;"));
        tsharkStatus->setText(QStringLiteral("Found!"));
    } else if (!label.isEmpty()) {
        tsharkStatus->setStyleSheet(QStringLiteral("color: red;"));
        tsharkStatus->setText(QStringLiteral("Not Found!"));
    } else {
        // The label stays empty when settings.txt names no tshark: say so,
        // and which tshark runs instead.
        bool replaced = false;
        const QString text = settingsTsharkText(&replaced);
        tsharkStatus->setStyleSheet(replaced ? QStringLiteral("color: darkorange;")
                                             : QStringLiteral("color: red;"));
        tsharkStatus->setText(text);
    }
}

void ParseWidget::updateConvertButton()
{
    // Without a tshark of its own the dialog converts with the one on PATH,
    // which its status names.
    const bool tshark =
        !tsharkLabel->text().isEmpty() || ToolLocator::canStart(tsharkProgram());
    convertButton->setEnabled(tshark && !inputLabel->text().isEmpty()
                              && !outputLabel->text().isEmpty());
}

void ParseWidget::openWireShark()
{
    HandlerGuard::run([&] {
        const QString filter = os == QLatin1String("windows") ? QStringLiteral("*.exe") : QString();
        const QString path = FileAsker::openFileName(this, QStringLiteral("Find tshark (WireShark)"),
                                                     QString(), filter);
        if (path.isEmpty()) {
            qDebug() << "Open WireShark failed";
        } else {
            tsharkLabel->setText(path);
            TSHARK_PATH = path;
            showTsharkStatus();
            fillFieldList();
            MainWindow::saveSettings();
        }
        updateConvertButton();
    });
}

void ParseWidget::openFile()
{
    HandlerGuard::run([&] {
        const QString path = FileAsker::openFileName(this, QStringLiteral("Open PCAP"), QString(),
                                                     QStringLiteral("*.pcap"));
        if (path.isEmpty()) {
            qDebug() << "Open file failed";
            return;
        }
        // A capture opened while another one is read takes its place.
        if (discovery)
            discovery->cancel();
        const QPointer<ParseWidget> self(this);
        try {
            const FieldSample sample = discover(path, 1500);
            if (!self || sample.cancelled)
                return;
            if (sample.ranOutOfMemory) {
                tellFieldsOutOfMemory();
                return;
            }
            takeCapture(path, sample);
        } catch (const std::bad_alloc&) {
            // Nothing was taken over.
            if (self)
                tellFieldsOutOfMemory();
            return;
        }
        updateConvertButton();
        if (allFields.isEmpty())
            MessageAsker::ask(QMessageBox::Warning, CONVERSION_TITLE,
                              QStringLiteral("No fields were found in the capture.\n") + fieldsError,
                              QMessageBox::Ok, this);
    });
}

void ParseWidget::tellFieldsOutOfMemory()
{
    try {
        MessageAsker::ask(QMessageBox::Warning, CONVERSION_TITLE, fieldsOutOfMemoryText(),
                          QMessageBox::Ok, this);
    } catch (const std::bad_alloc&) {
        HandlerGuard::failed();
    }
}

void ParseWidget::saveFile()
{
    HandlerGuard::run([&] {
        QString path = FileAsker::saveFileName(this, QStringLiteral("Save CSV"), QString(),
                                               QStringLiteral("*.csv"));
        if (path.isEmpty()) {
            qDebug() << "Save WireShark failed";
        } else {
            if (!path.contains(QLatin1String(".csv")))
                path += QStringLiteral(".csv");
            outputLabel->setText(path);
        }
        updateConvertButton();
    });
}

// ---------------------------------------------------------------------------
// Field list and console line

void ParseWidget::select(TList<QString>& selection, const QString& field)
{
    // "none" is the import's choice of no attribute, not a field to convert.
    if (field.isEmpty() || field == QLatin1String("none") || selection.contains(field))
        return;
    selection.append(field);
}

QString ParseWidget::consoleLineFor(const QString& input, const TList<QString>& selection) const
{
    QString line = tsharkLabel->text() + QStringLiteral(" -r ") + QLatin1Char('"') + input
                   + QLatin1Char('"') + QStringLiteral(" -T fields ");
    const int base = line.size();
    const int n = selection.size();
    for (int k = 0; k < n; ++k) {
        const QString& field = selection.at(k);
        // Each field is measured against the base line alone.
        if (field.size() + base < consoleLimit)
            line += field;
        if (k + 1 < n)
            line += QLatin1Char(' ');
    }
    line += QStringLiteral(" -E occurrence=f");
    return line;
}

void ParseWidget::updateConsoleLine()
{
    consoleLine = consoleLineFor(inputLabel->text(), selectedFields);
}

void ParseWidget::updateCharCount()
{
    consoleCount->setText(QStringLiteral("Console characters used: ")
                          + QString::number(consoleLine.size()) + QLatin1Char('/')
                          + QString::number(consoleLimit));
}

ParseWidget::Items ParseWidget::makeItems(const TList<QString>& all, const TList<QString>& selection,
                                          int room) const
{
    QSet<QString> selected;
    for (const QString& field : selection)
        selected.insert(field);
    QSet<QString> listed;
    Items items;
    items.reserve(std::size_t(all.size()) + std::size_t(selection.size()));
    if (!all.isEmpty()) {
        QSet<QString> offered;
        for (const QString& field : all)
            offered.insert(field);
        // Fields selected before (for another capture, at the import) that
        // this capture did not show are converted all the same: they head
        // the list, where they can be unticked.
        QFont font = fieldList->font();
        font.setItalic(true);
        for (const QString& field : selection) {
            if (offered.contains(field) || listed.contains(field))
                continue;
            listed.insert(field);
            items.push_back(std::make_unique<QListWidgetItem>(field));
            QListWidgetItem* item = items.back().get();
            item->setCheckState(Qt::Checked);
            item->setFont(font);
            item->setToolTip(QStringLiteral("Not found in the packets read from this capture; "
                                            "converted while it is ticked."));
        }
    }
    for (const QString& field : all) {
        // A field found under two protocols is offered once.
        if (listed.contains(field))
            continue;
        listed.insert(field);
        items.push_back(std::make_unique<QListWidgetItem>(field));
        items.back()->setCheckState(selected.contains(field) ? Qt::Checked : Qt::Unchecked);
    }
    for (const std::unique_ptr<QListWidgetItem>& item : items)
        item->setFlags(flagsFor(item->checkState() == Qt::Checked, item->text().size(), room));
    return items;
}

void ParseWidget::showItems(Items& items)
{
    // Filling the list is no tick.
    const QSignalBlocker quiet(fieldList);
    fieldList->setUpdatesEnabled(false);
    OnExit repaint([this]() { fieldList->setUpdatesEnabled(true); });
    fieldList->clear();
    const int count = int(items.size());
    for (std::unique_ptr<QListWidgetItem>& item : items) {
        fieldList->addItem(item.get());
        item.release();
    }
    items.clear();
    if (fieldList->count() != count)
        qDebug() << " item does not exist";
}

void ParseWidget::fillFieldList()
{
    // Everything is built before anything changes: running out of memory
    // leaves the list, the console line and its count as they were.
    QString line = consoleLineFor(inputLabel->text(), selectedFields);
    Items items = makeItems(allFields, selectedFields, consoleLimit - line.size());
    consoleLine.swap(line);
    showItems(items);
    updateCharCount();
}

void ParseWidget::setSelection(TList<QString> selection)
{
    QString line = consoleLineFor(inputLabel->text(), selection);
    Items items = makeItems(allFields, selection, consoleLimit - line.size());
    selectedFields = std::move(selection);
    consoleLine.swap(line);
    showItems(items);
    updateCharCount();
}

void ParseWidget::updateGUI(QListWidgetItem* item)
{
    if (!item)
        return;
    try {
        const QString field = item->text();
        // The selection and the console line change together, once both
        // are built.
        TList<QString> selection = selectedFields;
        if (item->checkState() == Qt::Checked) {
            if (consoleLine.size() + field.size() >= consoleLimit) {
                // The line has no room for it: the item shows what is
                // converted.
                const QSignalBlocker quiet(fieldList);
                item->setCheckState(Qt::Unchecked);
            } else if (!selection.contains(field)) {
                selection.append(field);
            }
        } else {
            // An unchecked field is not converted at all, also when it was
            // selected more than once.
            while (selection.removeOne(field)) {
            }
        }
        QString line = consoleLineFor(inputLabel->text(), selection);
        selectedFields = std::move(selection);
        consoleLine.swap(line);
        updateCharCount();
        // checkAll ticks many at once: the states follow once it is done.
        if (!fieldList->isCheckingAll())
            applyFieldStates();
        fieldList->viewport()->update();
    } catch (const std::bad_alloc&) {
        // A tick that was not taken is undone: the item shows what is
        // converted.
        try {
            const QSignalBlocker quiet(fieldList);
            item->setCheckState(selectedFields.contains(item->text()) ? Qt::Checked : Qt::Unchecked);
        } catch (const std::bad_alloc&) {
        }
        HandlerGuard::failed();
    }
}

void ParseWidget::updateFieldStates()
{
    HandlerGuard::run([&] { applyFieldStates(); });
}

void ParseWidget::applyFieldStates()
{
    const int room = consoleLimit - consoleLine.size();
    // A change of flags is announced as itemChanged, which is no tick.
    const QSignalBlocker quiet(fieldList);
    for (int row = 0, rows = fieldList->count(); row < rows; ++row) {
        QListWidgetItem* item = fieldList->item(row);
        const Qt::ItemFlags flags =
            flagsFor(item->checkState() == Qt::Checked, item->text().size(), room);
        if (item->flags() != flags)
            item->setFlags(flags);
    }
}

void ParseWidget::autoSelect()
{
    HandlerGuard::run([&] {
        TList<QString> selection = selectedFields;
        QString line = consoleLineFor(inputLabel->text(), selection);
        for (const QString& field : allFields) {
            // Taken when the line keeps within the limit with it, as a tick
            // is.
            if (!selection.contains(field) && line.size() + field.size() < consoleLimit) {
                selection.append(field);
                line = consoleLineFor(inputLabel->text(), selection);
            }
        }
        setSelection(std::move(selection));
        update();
    });
}

// ---------------------------------------------------------------------------
// Field discovery

bool ParseWidget::loadFields(int packets)
{
    if (discovery)
        discovery->cancel();
    const QPointer<ParseWidget> self(this);
    try {
        const FieldSample sample = discover(inputLabel->text(), packets);
        if (!self || sample.cancelled)
            return false;
        if (!sample.ranOutOfMemory) {
            TakenFields taken = fieldsOf(sample);
            takeFields(taken);
            return true;
        }
    } catch (const std::bad_alloc&) {
        if (!self)
            return false;
    }
    tellFieldsOutOfMemory();
    return false;
}

ParseWidget::FieldSample ParseWidget::discover(const QString& capture, int packets)
{
    FieldSample sample;
    const QString program = tsharkProgram();
    QStringList arguments{QStringLiteral("-r"), capture};
    if (packets != -1)
        arguments << QStringLiteral("-c") << QString::number(packets);
    arguments << QStringLiteral("-T") << QStringLiteral("pdml");
    if (!ToolLocator::canStart(program)) {
        qDebug() << "no tshark to start for" << os << program;
        sample.startable = false;
        return sample;
    }

    // tshark's PDML is read as it comes, never stored: nothing is written
    // beside the capture or anywhere else.
    FieldDiscovery run;
    const QPointer<ParseWidget> self(this);
    // Whatever runs out of memory while the discovery runs fails it as a
    // whole, the handlers of others that its loop serves included: they
    // count it.
    const unsigned long failures = HandlerGuard::failures();
    QPointer<QProgressDialog> progress = new QProgressDialog(
        QStringLiteral("Reading the fields of %1...").arg(QFileInfo(capture).fileName()),
        QStringLiteral("Cancel"), 0, std::max(packets, 0), this);
    discovery = &run;
    discoveryProgress = progress;
    // However this is left: the dialog no longer knows the run, and the
    // progress dialog goes (unless it went with the dialog).
    OnExit forget([this, &self, &run, &progress]() {
        if (self && discovery == &run)
            discovery = nullptr;
        if (self && discoveryProgress == progress)
            discoveryProgress = nullptr;
        delete progress.data();
    });
    progress->setWindowModality(Qt::WindowModal);
    progress->setAutoReset(false);
    progress->setAutoClose(false);
    // Up from the start, so that the dialog below takes no clicks meanwhile.
    progress->setMinimumDuration(0);
    connect(progress, &QProgressDialog::canceled, &run, &FieldDiscovery::cancel);
    QTimer tick;
    tick.setInterval(100);
    connect(&tick, &QTimer::timeout, progress, [this, &progress, &run, failures]() {
        // A failure elsewhere in the loop ends the discovery soon, not only
        // once tshark has ended.
        if (HandlerGuard::failures() != failures) {
            run.failForMemory();
            return;
        }
        try {
            // A modal progress dialog serves events in setValue: never twice at once.
            const std::unique_lock<QMutex> lock(*mutex, std::try_to_lock);
            if (!lock.owns_lock())
                return;
            progress->setValue(std::min(run.packets(), progress->maximum()));
        } catch (const std::bad_alloc&) {
            // The progress shown is part of the discovery.
            run.failForMemory();
        }
    });
    QEventLoop wait;
    connect(&run, &FieldDiscovery::finished, &wait, &QEventLoop::quit);
    run.start(program, arguments, toolTimeout);
    progress->setValue(0);
    tick.start();
    if (!run.isDone())
        wait.exec();
    tick.stop();
    if (!self) {
        // The dialog went while tshark ran: nothing of it is left to change.
        sample.cancelled = true;
        return sample;
    }
    // Closing a progress dialog counts as its Cancel.
    if (progress)
        disconnect(progress, &QProgressDialog::canceled, &run, &FieldDiscovery::cancel);

    sample.ranOutOfMemory = run.ranOutOfMemory() || HandlerGuard::failures() != failures;
    sample.cancelled = run.isCancelled() && !sample.ranOutOfMemory;
    sample.timedOut = run.timedOut();
    sample.crashed = run.crashed();
    if (sample.ranOutOfMemory || sample.cancelled) {
        qDebug() << "field discovery cancelled";
        return sample;
    }
    sample.errorOutput = run.errorOutput;
    sample.fields = run.fields();
    return sample;
}

ParseWidget::TakenFields ParseWidget::fieldsOf(const FieldSample& sample) const
{
    TakenFields taken;
    taken.all = sample.fields;
    taken.selected = selectedFields;
    for (const QString& field : DEFAULT_FIELDS)
        if (taken.all.contains(field))
            select(taken.selected, field);

    taken.source = SRC_ATTRIBUTE;
    if (!taken.all.contains(taken.source) && taken.all.contains(ETH_SRC))
        taken.source = ETH_SRC;
    if (!taken.all.contains(TIME_ATTRIBUTE) || !taken.all.contains(taken.source))
        qDebug() << "this is not network traffic!";

    std::sort(taken.all.begin(), taken.all.end());
    for (const QString& noise : NOISE_FIELDS)
        taken.all.removeOne(noise);

    if (!taken.all.isEmpty())
        return taken;
    const QString tsharkSaid = WiresharkTerminalStream::withoutRootWarning(sample.errorOutput);
    if (!sample.startable)
        taken.error = tsharkMissingText();
    else if (!tsharkSaid.isEmpty())
        taken.error = QStringLiteral("tshark said:\n") + tsharkSaid;
    else if (sample.timedOut)
        taken.error = QStringLiteral("tshark did not end within %1 s.").arg(toolTimeout / 1000);
    else if (sample.crashed)
        taken.error = QStringLiteral("tshark ended abnormally.");
    else
        taken.error = QStringLiteral("tshark found no packet in it.");
    return taken;
}

void ParseWidget::takeFields(TakenFields& taken) noexcept
{
    allFields = std::move(taken.all);
    selectedFields = std::move(taken.selected);
    SRC_ATTRIBUTE.swap(taken.source);
    fieldsError.swap(taken.error);
}

void ParseWidget::takeCapture(const QString& path, const FieldSample& sample)
{
    // Everything is built before anything changes.
    TakenFields taken = fieldsOf(sample);
    const QString output = proposedOutput(path);
    QString line = consoleLineFor(path, taken.selected);
    Items items = makeItems(taken.all, taken.selected, consoleLimit - line.size());
    inputLabel->setText(path);
    outputLabel->setText(output);
    takeFields(taken);
    consoleLine.swap(line);
    showItems(items);
    updateCharCount();
}

TList<QString> ParseWidget::readPdmlFields(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qDebug().noquote() << "Could not open to PDML file " + path + ", error:"
                                  + file.errorString();
        return TList<QString>();
    }
    PdmlFieldReader reader;
    while (!reader.atEnd()) {
        const QByteArray bytes = file.read(1 << 20);
        if (bytes.isEmpty())
            reader.finish();
        reader.addData(bytes);
        reader.read(QDeadlineTimer(QDeadlineTimer::Forever));
    }
    return reader.fields();
}

void ParseWidget::collectPacketFields(QXmlStreamReader& reader, const QString& protocol,
                                      QHash<QString, QSet<QString>>& table)
{
    reader.readNext();
    QSet<QString>& fields = table[protocol];
    while (!reader.atEnd() && !reader.hasError()) {
        if (!PdmlFieldReader::takeLayerToken(reader, fields))
            return;
        reader.readNext();
    }
}

// ---------------------------------------------------------------------------
// Conversion

void ParseWidget::parseData()
{
    // A conversion or a discovery is running (its event loop delivers
    // clicks): one at a time.
    if (stream || discovery)
        return;
    bool ok = false;
    bool killed = false;
    bool reported = false;
    bool ranOut = false;
    QString errorText;
    try {
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
        stream->boxParent = this;
        // Without capinfos the conversion runs all the same, without a count.
        if (ToolLocator::canStart(capinfos))
            stream->countPackets(input, capinfos);
        else
            qDebug() << "no capinfos to start:" << capinfos;

        progressDialog = new QProgressDialog(QStringLiteral("Loading data..."),
                                             QStringLiteral("Cancel"), 0, stream->expectedPackets,
                                             this);
        connect(progressDialog, &QProgressDialog::canceled, this, &ParseWidget::abort);
        progressDialog->setWindowModality(Qt::WindowModal);
        // Up from the start, so that the dialog below takes no clicks and
        // the conversion can be cancelled at once.
        progressDialog->setMinimumDuration(0);

        stream->attributes = selectedFields;

        connect(this, &ParseWidget::closeProgress, progressDialog, &QProgressDialog::close);
        connect(stream, &WiresharkTerminalStream::progress, this, &ParseWidget::setValue);
        connect(this, &ParseWidget::setProgress, progressDialog, &QProgressDialog::setValue);
        connect(this, &ParseWidget::setLabelText, progressDialog, &QProgressDialog::setLabelText);

        ok = stream->start(input, tshark, filterEdit->text(), -1);

        killed = stream->killed;
        reported = stream->reported;
        ranOut = stream->ranOutOfMemory;
        errorText = stream->errorText;
    } catch (const std::bad_alloc&) {
        // Before the stream put anything in place: it drops its output as
        // it goes.
        ranOut = true;
    }
    endConversion();

    if (ranOut) {
        // One message: none when the stream told of its failure already.
        if (reported)
            return;
        try {
            MessageAsker::ask(QMessageBox::Warning, CONVERSION_TITLE,
                              conversionOutOfMemoryText(), QMessageBox::Ok, this);
        } catch (const std::bad_alloc&) {
            HandlerGuard::failed();
        }
        return;
    }
    HandlerGuard::run([&] { conversionDone(ok, killed, reported, errorText); });
}

const QString& ParseWidget::conversionOutOfMemoryText()
{
    // As the other failures are told, the stream's text after the line that
    // says the conversion failed; made of literals, so that telling it
    // allocates nothing here.
    static const QString text = QStringLiteral(
        "Conversion failed:\nThe conversion ran out of memory and was stopped; the output file "
        "was left as it was.");
    return text;
}

void ParseWidget::endConversion() noexcept
{
    if (stream) {
        stream->stopping = true;
        // Its destructor drops an output that start did not put in place.
        delete stream;
        stream = nullptr;
    }
    if (progressDialog) {
        // It may still be up when tshark never ran. Nothing of it reaches
        // this dialog any more: closing it would count as its Cancel.
        QProgressDialog* progress = progressDialog;
        progressDialog = nullptr;
        try {
            progress->disconnect(this);
            disconnect(this, nullptr, progress, nullptr);
        } catch (const std::bad_alloc&) {
        }
        delete progress;
    }
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
            TList<QString> selection = selectedFields;
            for (const QString& field : refused)
                while (selection.removeOne(field)) {
                }
            setSelection(std::move(selection));
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
    try {
        const int total = stream->expectedPackets;
        if (std::unique_lock<QMutex> lock{*mutex, std::try_to_lock}) {
            int shown = progressDialog ? std::min(n, progressDialog->maximum()) : n;
            shown = std::max(shown, 1);
            emit setProgress(shown);
            emit setLabelText(QStringLiteral("Converting data... : Parsed ") + QString::number(shown)
                              + QLatin1Char('/') + QString::number(total)
                              + QStringLiteral(" Packets"));
        }
        if (total <= n || !stream->out) {
            // Closing a progress dialog counts as its Cancel: once the
            // conversion is over, that must not reach the stream.
            if (progressDialog)
                disconnect(progressDialog, &QProgressDialog::canceled, this, &ParseWidget::abort);
            emit closeProgress();
        }
    } catch (const std::bad_alloc&) {
        // The progress shown is part of the conversion: it stops, as one
        // that ran out of memory.
        if (stream)
            stream->stopForMemory();
    }
}

void ParseWidget::abort()
{
    try {
        if (stream)
            stream->abort();
        if (progressDialog) {
            // close() announces a Cancel again; one is enough.
            disconnect(progressDialog, &QProgressDialog::canceled, this, &ParseWidget::abort);
            progressDialog->close();
        }
    } catch (const std::bad_alloc&) {
        if (stream)
            stream->stopForMemory();
        else
            HandlerGuard::failed();
    }
}
