#include "import/OpenWidget.h"

#include "app/AppGlobals.h"
#include "app/ControlWidget.h"
#include "app/FileAsker.h"
#include "app/MainWindow.h"
#include "app/MessageAsker.h"
#include "core/CSVPacketStream.h"
#include "core/Constants.h"
#include "core/HandlerGuard.h"
#include "model/GlyphStore.h"
#include "core/Packet.h"
#include "core/RecordSplitter.h"
#include "core/ValueInterner.h"
#include "core/ValueTable.h"
#include "import/ConversationSplitter.h"
#include "import/OpenWidgetWorker.h"
#include "core/ThreadStarter.h"
#include "core/OnExit.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QSet>
#include <QScrollBar>
#include <QStringList>
#include <QStringListModel>
#include <QTableWidget>
#include <QThread>
#include <QTimer>
#include <QVarLengthArray>

#include <atomic>
#include <algorithm>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <cstring>

namespace {

const QString FRAME_CONVID = QStringLiteral("frame.convid");
const int PREVIEW_RECORDS = 3000;

// The columns (of the first `columns`) whose values hardly ever repeat in a
// preview of at least 1000 events: 98 in 100 of them distinct (a column of
// 20000 values met evenly shows 93 in a preview of 3000). Pooling and
// caching their texts costs memory and time and finds nothing.
std::vector<char> nearlyUniqueColumns(const TList<QSharedPointer<Packet>>& preview, int columns)
{
    std::vector<char> unique;
    if (preview.size() < 1000)
        return unique;
    unique.assign(std::size_t(qMax(columns, 0)), 0);
    for (int c = 0; c < columns; ++c) {
        QSet<TVariant> seen;
        int present = 0;
        for (const QSharedPointer<Packet>& p : preview.items) {
            const TVariant& v = p->get(c);
            if (!v.isValid())
                continue;
            ++present;
            seen.insert(v);
        }
        unique[std::size_t(c)] = present >= 1000 && seen.size() * 100 >= present * 98 ? 1 : 0;
    }
    return unique;
}
// Up to this many rows the attribute table has a type box in every row.
// Each box costs some kilobytes and tens of microseconds to make, so a
// longer table makes them for the rows in view only.
const int ALL_TYPE_COMBOS_ROWS = 1000;
// Characters a combo box of a long list of names is sized for.
const int LONG_LIST_NAME_LENGTH = 24;
// Rows above and below the view that get a box as well.
const int TYPE_COMBO_MARGIN = 20;
// Boxes a long table keeps before it drops those far out of view.
const int TYPE_COMBOS_KEPT = 400;

// Calls `react` when the watched widget is resized or shown.
class ResizeWatcher : public QObject
{
public:
    ResizeWatcher(QWidget* watched, std::function<void()> react)
        : QObject(watched)
        , react(std::move(react))
    {
        watched->installEventFilter(this);
    }
    // `react` ends its own running out of memory.
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Resize || event->type() == QEvent::Show)
            react();
        return false;
    }

private:
    std::function<void()> react;
};

} // namespace

OpenWidget::OpenWidget(ControlWidget* owner, QWidget* parent)
    : QDialog(parent)
    , owner(owner)
    , savedTimeAttribute(TIME_ATTRIBUTE)
    , savedSourceAttribute(SRC_ATTRIBUTE)
    , savedDestinationAttribute(DST_ATTRIBUTE)
{
    fileButton = new QPushButton(QStringLiteral("Open"), this);
    fileLabel = new QLabel(this);
    previewNote = new QLabel(this);
    previewNote->setWordWrap(true);
    previewNote->hide();
    timeCombo = new QComboBox(this);
    sourceCombo = new QComboBox(this);
    destinationCombo = new QComboBox(this);
    hiddenCombo1 = new QComboBox(this);
    hiddenCombo2 = new QComboBox(this);
    cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    loadButton = new QPushButton(QStringLiteral("Open"), this);
    tcpRadio = new QRadioButton(QStringLiteral("TCP/UDP sessions"), this);
    attributeRadio = new QRadioButton(QStringLiteral("Attribute"), this);
    combinedRadio = new QRadioButton(QStringLiteral("Combined"), this);
    combinedSourceCombo = new QComboBox(this);
    combinedDestinationCombo = new QComboBox(this);
    combinedSessionCombo = new QComboBox(this);
    noneRadio = new QRadioButton(QStringLiteral("None"), this);
    limitEdit = new QLineEdit(QStringLiteral("800000"), this);
    groupingCombo = new QComboBox(this);
    attributeTable = new QTableWidget(this);
    networkCheck = new QCheckBox(QStringLiteral("Network traffic"), this);
    groupingButtons = new QButtonGroup(this);
    filterEdit = new QLineEdit(this);
    exportButton = new QPushButton(QStringLiteral("Export"), this);

    timeNames = new QStringListModel(this);
    sourceNames = new QStringListModel(this);
    destinationNames = new QStringListModel(this);
    sortedNames = new QStringListModel(this);
    timeCombo->setModel(timeNames);
    sourceCombo->setModel(sourceNames);
    destinationCombo->setModel(destinationNames);
    for (QComboBox* combo :
         {groupingCombo, combinedSourceCombo, combinedDestinationCombo, combinedSessionCombo})
        combo->setModel(sortedNames);

    hiddenCombo1->hide();
    hiddenCombo2->hide();
    tcpRadio->hide();
    networkCheck->hide();
    filterEdit->hide();

    // The dialog's controls run their slots under a guard. Choosing a file,
    // "Open" and "Export" end their own running out of memory, with their
    // messages; the guard ends what is left (a box that found no memory).
    // A failed choice of the time column is made again by a load or an
    // export before it reads.
    const auto guarded = [this](void (OpenWidget::*slot)()) {
        return [this, slot]() { HandlerGuard::run([this, slot] { (this->*slot)(); }); };
    };
    connect(fileButton, &QPushButton::clicked, this, guarded(&OpenWidget::openFile));
    connect(timeCombo, &QComboBox::currentTextChanged, this, guarded(&OpenWidget::openInit));
    connect(networkCheck, &QCheckBox::toggled, this, guarded(&OpenWidget::updateFields));
    for (QRadioButton* radio : {attributeRadio, combinedRadio, noneRadio})
        connect(radio, &QRadioButton::clicked, this, guarded(&OpenWidget::updateRadioButtons));
    connect(tcpRadio, &QRadioButton::clicked, this, guarded(&OpenWidget::updateTCP));
    connect(filterEdit, &QLineEdit::textChanged, this, guarded(&OpenWidget::filterByText));
    connect(loadButton, &QPushButton::clicked, this, guarded(&OpenWidget::import));
    connect(exportButton, &QPushButton::clicked, this, guarded(&OpenWidget::exportData));
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(attributeTable->verticalScrollBar(), &QScrollBar::valueChanged, this,
            guarded(&OpenWidget::showTypeCombos));
    typeWatcher = new ResizeWatcher(attributeTable->viewport(), guarded(&OpenWidget::showTypeCombos));

    auto* grid = new QGridLayout(this);
    grid->addWidget(new QLabel(QStringLiteral("Input file:"), this), 0, 0);
    grid->addWidget(fileLabel, 0, 1);
    grid->addWidget(fileButton, 0, 2);
    grid->addWidget(previewNote, 1, 0, 1, 3);
    grid->addWidget(networkCheck, 4, 0);
    grid->addWidget(hiddenCombo1, 5, 1);
    grid->addWidget(new QLabel(QStringLiteral("Group events by:"), this), 6, 0);
    grid->addWidget(hiddenCombo2, 6, 1);
    grid->addWidget(noneRadio, 7, 0);
    grid->addWidget(attributeRadio, 8, 0);
    grid->addWidget(groupingCombo, 8, 1);
    grid->addWidget(combinedRadio, 9, 0);
    grid->addWidget(new QLabel(QStringLiteral("src:"), this), 9, 1);
    grid->addWidget(combinedSourceCombo, 9, 2);
    grid->addWidget(new QLabel(QStringLiteral("dst:"), this), 10, 1);
    grid->addWidget(combinedDestinationCombo, 10, 2);
    grid->addWidget(new QLabel(QStringLiteral("sesid:"), this), 11, 1);
    grid->addWidget(combinedSessionCombo, 11, 2);
    grid->addWidget(tcpRadio, 12, 0);
    grid->addWidget(new QLabel(QStringLiteral("Settings (optional):"), this), 13, 0);
    grid->addWidget(new QLabel(QStringLiteral("Time attribute:"), this), 14, 0);
    grid->addWidget(timeCombo, 14, 1);
    grid->addWidget(new QLabel(QStringLiteral("Src field:"), this), 15, 0);
    grid->addWidget(sourceCombo, 15, 1);
    grid->addWidget(new QLabel(QStringLiteral("Dst field:"), this), 16, 0);
    grid->addWidget(destinationCombo, 16, 1);
    grid->addWidget(filterEdit, 17, 1);
    grid->addWidget(attributeTable, 18, 0, 1, 3);
    grid->addWidget(new QLabel(QStringLiteral("Limit:"), this), 19, 0);
    grid->addWidget(limitEdit, 19, 1);
    grid->addWidget(loadButton, 20, 0);
    grid->addWidget(exportButton, 20, 1);
    grid->addWidget(cancelButton, 20, 2);

    groupingButtons->setExclusive(true);
    groupingButtons->addButton(tcpRadio);
    groupingButtons->addButton(attributeRadio);
    groupingButtons->addButton(combinedRadio);
    groupingButtons->addButton(noneRadio);
    attributeRadio->setChecked(true);

    updateFields();
}

OpenWidget::~OpenWidget()
{
    // A dialog closed without a completed load must not leave the loaded
    // log's views reading another log's column names.
    if (!loaded) {
        TIME_ATTRIBUTE = savedTimeAttribute;
        SRC_ATTRIBUTE = savedSourceAttribute;
        DST_ATTRIBUTE = savedDestinationAttribute;
    }
    // The table outlives this part of the dialog: nothing it does while it
    // is taken down may reach the type boxes' bookkeeping.
    disconnect(attributeTable->verticalScrollBar(), nullptr, this, nullptr);
    delete typeWatcher;
    typeCombosInView = false;
    delete stream;
    delete file;
}

// ---------------------------------------------------------------------------
// Choosing a log

void OpenWidget::openFile()
{
    const QString path = FileAsker::openFileName(this, QStringLiteral("Open CSV"), QDir::homePath(),
                                                 QStringLiteral("*.csv"));
    if (path.isEmpty()) {
        qDebug() << "Open file failed";
        return;
    }
    // Filling the boxes runs their slots, which end their own running out
    // of memory: that fails the choice too (and has been told).
    const unsigned long failures = HandlerGuard::failures();
    bool ranOut = false;
    QStringList failed;
    try {
        chooseFile(path, &failed);
    } catch (const std::bad_alloc&) {
        ranOut = true;
    }
    const bool told = HandlerGuard::failures() != failures;
    if (!ranOut && !told) {
        // Told once the dialog shows the file whole.
        try {
            warnFailed(failed);
        } catch (const std::bad_alloc&) {
            HandlerGuard::failed();
        }
        return;
    }
    // Half read: the dialog forgets the file ("Open" does nothing) and
    // says so.
    try {
        clearFile();
        updateFields();
    } catch (const std::bad_alloc&) {
        // The stream has gone first: there is nothing to load.
    }
    if (!told)
        ControlWidget::tellLoadOutOfMemory(this, path, QStringLiteral("reading its preview"),
                                           QStringLiteral("No file is chosen, and the loaded log stays as it is."));
}

void OpenWidget::chooseFile(const QString& path, QStringList* failed)
{
    // The path reaches the glyph store with a completed load only: until
    // then the loaded log's store stays exactly as it is.
    clearFile();
    fileLabel->setText(path);
    file = new QFile(path);

    if (file->open(QIODevice::ReadOnly)) {
        const QString problem = fileProblem();
        if (!problem.isEmpty()) {
            refuseFile(path, problem);
            return;
        }
        readHeader();
        separator = stream->separator();
        // Filling the time combo runs openInit, which adds "frame.convid" to
        // the names under "Combined" grouping before they are listed below;
        // the source and destination combos are still empty then.
        const QStringList header = headerNames.toQList();
        // A box sized to its longest entry measures every entry: for a long
        // list it is sized to a long name instead.
        const bool longLists = header.size() > ALL_TYPE_COMBOS_ROWS;
        for (QComboBox* combo :
             {timeCombo, sourceCombo, destinationCombo, groupingCombo, combinedSourceCombo,
              combinedDestinationCombo, combinedSessionCombo}) {
            combo->setSizeAdjustPolicy(longLists ? QComboBox::AdjustToMinimumContentsLengthWithIcon
                                                 : QComboBox::AdjustToContentsOnFirstShow);
            combo->setMinimumContentsLength(longLists ? LONG_LIST_NAME_LENGTH : 0);
        }
        timeNames->setStringList(header);
        sourceNames->setStringList(header);
        destinationNames->setStringList(QStringList(QStringLiteral("none")) + header);
        QStringList sorted = attributeNames.toQList();
        std::sort(sorted.begin(), sorted.end());
        sortedNames->setStringList(sorted);
    }

    // The default columns are chosen before the preview, so that the
    // preview reads its times from the time column it shows.
    const int time = timeCombo->findText(QStringLiteral("frame.time_epoch"));
    timeCombo->setCurrentIndex(time >= 0 ? time : 0);
    const int source = sourceCombo->findText(QStringLiteral("ip.src"));
    sourceCombo->setCurrentIndex(source >= 0 ? source : 0);
    const int destination = destinationCombo->findText(QStringLiteral("ip.dst"));
    destinationCombo->setCurrentIndex(destination >= 0 ? destination : 0);

    if (stream) {
        QString problem;
        if (!readPreview(&problem, failed)) {
            failed->clear();
            refuseFile(path, problem);
            return;
        }
    }

    fillAttributeTable();
    updateFields();
}

void OpenWidget::clearFile()
{
    // The stream first: without it "Open" loads nothing, whatever else
    // could not be cleared.
    delete stream;
    stream = nullptr;
    delete file;
    file = nullptr;
    fileLabel->clear();
    previewNote->clear();
    previewNote->hide();

    for (QComboBox* combo : {timeCombo, sourceCombo, destinationCombo, hiddenCombo1, hiddenCombo2,
                             groupingCombo, combinedSourceCombo, combinedDestinationCombo,
                             combinedSessionCombo})
        combo->clear();
    headerNames.clear();
    attributeNames.clear();
    baseNameCount = 0;
    attributeTypes.clear();
    typeCombosInView = false;
    typeComboRows.clear();
    attributeTable->setRowCount(0);
    attributeTable->setColumnCount(0);
    destinationCombo->addItem(QStringLiteral("none"));
}

namespace {

const QString CR_ONLY = QStringLiteral(
    "its lines end in a carriage return (CR) alone, so it reads as one header line without "
    "data rows. Save it with LF or CRLF line ends.");

} // namespace

QString OpenWidget::fileProblem()
{
    const QByteArray start = file->peek(1 << 16);
    if (start.isEmpty())
        return QStringLiteral("the file is empty; it has no header line.");
    // A UTF-16 or UTF-32 text holds zero bytes; any other text none, and
    // hardly a control character but tabs and line ends.
    const bool wide = start.startsWith("\xFF\xFE") || start.startsWith("\xFE\xFF")
                      || start.startsWith(QByteArray("\x00\x00\xFE\xFF", 4));
    if (!wide) {
        int controls = 0;
        for (const char c : start) {
            const uchar u = uchar(c);
            if (u == 0)
                return QStringLiteral("it is not a text file (it holds zero bytes).");
            if ((u < 0x20 && u != '\t' && u != '\n' && u != '\r' && u != '\f' && u != '\v'
                 && u != 0x1B)
                || u == 0x7F)
                ++controls;
        }
        if (controls * 100 > start.size())
            return QStringLiteral("it is not a text file (it holds control characters).");
    }

    stream = new CSVPacketStream(file, TList<QString>());
    if (stream->headerCut()) {
        if (stream->headerPrefix().contains(QLatin1Char('\r')))
            return CR_ONLY;
        return QStringLiteral("its first line is longer than %1 MB, so it is no header of column "
                              "names (only its first %1 MB were read).")
            .arg(IPacketStream::HEADER_LIMIT >> 20);
    }
    const QList<QString> header = stream->header();
    if (header.isEmpty() || (header.size() == 1 && header.first().trimmed().isEmpty()))
        return QStringLiteral("its first line, the header of column names, is empty.");
    for (const QString& name : header) {
        if (name.contains(QLatin1Char('\r')))
            return CR_ONLY;
    }
    return QString();
}

void OpenWidget::refuseFile(const QString& path, const QString& problem)
{
    clearFile();
    updateFields();
    tellNotLoaded(path, problem);
}

void OpenWidget::tellNotLoaded(const QString& path, const QString& problem)
{
    const QString name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    MessageAsker::ask(QMessageBox::Warning, PRODUCT_NAME,
                      name + QStringLiteral(" cannot be loaded: ") + problem
                          + QStringLiteral("\n\nThe loaded log stays as it is."),
                      QMessageBox::Ok, this);
}

void OpenWidget::readHeader()
{
    headerNames = TList<QString>(stream->header());
    attributeNames = headerNames;

    smb2FilenameColumn = headerNames.indexOf(SMB2_FILENAME);
    smb2CmdColumn = headerNames.indexOf(SMB2_CMD);
    smb2FidColumn = headerNames.indexOf(SMB2_FID);
    frameNumberColumn = headerNames.indexOf(FRAME_NUMBER);
    smb2NtStatusColumn = headerNames.indexOf(SMB2_NT_STATUS);
    smb2FlagsResponseColumn = headerNames.indexOf(SMB2_FLAGS_RESPONSE);
    smb2MsgIdColumn = headerNames.indexOf(SMB2_MSG_ID);
    // The session key reads this log's own address columns.
    sessionSourceColumn = headerNames.indexOf(QStringLiteral("ip.src"));
    sessionDestinationColumn = headerNames.indexOf(QStringLiteral("ip.dst"));

    if (smb2FilenameColumn >= 0) {
        attributeNames.append(SMB2_CSEQ_FILENAME);
        attributeNames.append(SMB2_CSEQ_SESSION);
    }
    if (smb2FilenameColumn >= 0 && smb2FidColumn >= 0 && frameNumberColumn >= 0)
        attributeNames.append(SMB2_FILE);
    deriveTime = !headerNames.contains(FRAME_LENGTH);
    if (deriveTime) {
        for (const QString& name :
             {FRAME_TIME_SECOND, FRAME_TIME_MINUTE, FRAME_TIME_HOUR, FRAME_TIME_DAY,
              FRAME_TIME_DATE, FRAME_TIME_WEEK, FRAME_TIME_MONTH, FRAME_TIME_YEAR,
              FRAME_TIME_STRDAY, FRAME_TIME_STRYEAR})
            attributeNames.append(name);
    }
    baseNameCount = attributeNames.size();
}

bool OpenWidget::readPreview(QString* problem, QStringList* failed)
{
    attributeTypes.clear();
    for (const QString& name : attributeNames) {
        if (name.contains(QLatin1String("len")))
            attributeTypes[name] = Numeric;
    }

    // The preview starts from empty SMB2 state, as every load does.
    callSequences.clear();
    fileByFid.clear();
    fileByMessage.clear();
    uniqueColumns.clear();
    if (stream->atEnd()) {
        *problem = QStringLiteral("it has a header line but no data rows.");
        return false;
    }
    QStringList cut;
    stream->setLineLimit(PREVIEW_LINE_LIMIT);
    const TList<QSharedPointer<Packet>> preview =
        previewPackets(stream, PREVIEW_RECORDS, failed, &cut);
    stream->setLineLimit(0);
    if (preview.isEmpty() && !failed->isEmpty() && cut.isEmpty()) {
        *problem = QStringLiteral("none of its rows (%1 read) has as many fields as its header (%2).")
                       .arg(failed->size())
                       .arg(headerNames.size());
        return false;
    }
    if (!cut.isEmpty()) {
        previewNote->setText(QStringLiteral("The preview read only the first %1 MB of these longer "
                                            "lines and guessed no types from them: %2.")
                                 .arg(PREVIEW_LINE_LIMIT >> 20)
                                 .arg(cut.join(QStringLiteral(", "))));
        previewNote->show();
    }
    uniqueColumns = nearlyUniqueColumns(preview, headerNames.size());
    if (owner && owner->glyphStore) {
        for (const QString& name : owner->glyphStore->collectDistinctValues(preview, attributeNames))
            attributeTypes[name] = Identifier;
    }

    attributeTypes[SMB2_FILENAME] = Text;
    attributeTypes[SMB2_FILE] = Text;
    attributeTypes[SMB2_CSEQ_FILENAME] = Text;
    attributeTypes[SMB2_RESPONSE_TO] = Numeric;
    if (deriveTime) {
        for (const QString& name : {FRAME_TIME_SECOND, FRAME_TIME_MINUTE, FRAME_TIME_HOUR,
                                    FRAME_TIME_DATE, FRAME_TIME_WEEK, FRAME_TIME_MONTH,
                                    FRAME_TIME_YEAR})
            attributeTypes[name] = Numeric;
        attributeTypes[FRAME_TIME_DAY] = Text;
    }
    if (!TIME_ATTRIBUTE.isEmpty())
        attributeTypes[TIME_ATTRIBUTE] = Numeric;

    // The preview's texts and value tables served the guess only: a load
    // reads into tables of its own, and a wide log's preview holds as many
    // texts as the log.
    stream->pool = THash<QString, TVariant>();
    resetValues();

    stream->rewind();
    stream->readLine();
    return true;
}

void OpenWidget::fillAttributeTable()
{
    setUpdatesEnabled(false);
    typeCombosInView = false;
    typeComboRows.clear();
    attributeTable->clearContents();
    attributeTable->setRowCount(0);
    attributeTable->setColumnCount(2);
    const QString filter = filterEdit->text();
    QStringList shown;
    for (const QString& name : attributeNames) {
        if (name.contains(filter))
            shown.append(name);
    }
    // The rows are made at once: one by one, every row would move the
    // table's bookkeeping of the rows before it.
    attributeTable->setRowCount(shown.size());
    typeCombosInView = shown.size() > ALL_TYPE_COMBOS_ROWS;
    for (int row = 0; row < shown.size(); ++row) {
        attributeTable->setItem(row, 0, new QTableWidgetItem(shown.at(row)));
        if (!typeCombosInView)
            attributeTable->setCellWidget(row, 1, makeTypeCombo(shown.at(row)));
    }
    showTypeCombos();
    setUpdatesEnabled(true);
    repaint();
}

QComboBox* OpenWidget::makeTypeCombo(const QString& name)
{
    auto* type = new QComboBox;
    type->addItems({QStringLiteral("Numeric"), QStringLiteral("Text"),
                    QStringLiteral("Identifier")});
    const int stored = attributeTypes.value(name, Text);
    type->setCurrentIndex(stored == Numeric ? 0 : stored == Identifier ? 2 : 1);
    connect(type, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &OpenWidget::updateType);
    return type;
}

void OpenWidget::showTypeCombos()
{
    if (!typeCombosInView)
        return;
    const int rows = attributeTable->rowCount();
    if (rows == 0)
        return;
    int first = attributeTable->rowAt(0);
    int last = attributeTable->rowAt(std::max(0, attributeTable->viewport()->height() - 1));
    if (first < 0)
        first = 0;
    if (last < 0)
        last = rows - 1;
    first = std::max(0, first - TYPE_COMBO_MARGIN);
    last = std::min(rows - 1, last + TYPE_COMBO_MARGIN);

    if (int(typeComboRows.size()) > TYPE_COMBOS_KEPT) {
        std::vector<int> kept;
        for (int row : typeComboRows) {
            if (row >= first && row <= last)
                kept.push_back(row);
            else
                attributeTable->removeCellWidget(row, 1);
        }
        typeComboRows.swap(kept);
    }
    for (int row = first; row <= last; ++row) {
        if (attributeTable->cellWidget(row, 1))
            continue;
        const QTableWidgetItem* item = attributeTable->item(row, 0);
        if (!item)
            continue;
        attributeTable->setCellWidget(row, 1, makeTypeCombo(item->text()));
        typeComboRows.push_back(row);
    }
}

void OpenWidget::updateType(int index)
{
    QObject* combo = sender();
    // A type box's slot: out of memory the column keeps the type it had.
    HandlerGuard::run([this, combo, index] {
        // A long table has boxes in the rows it made them for only.
        const int count = typeCombosInView ? int(typeComboRows.size()) : attributeTable->rowCount();
        for (int i = 0; i < count; ++i) {
            const int row = typeCombosInView ? typeComboRows[std::size_t(i)] : i;
            if (attributeTable->cellWidget(row, 1) != combo)
                continue;
            const QTableWidgetItem* item = attributeTable->item(row, 0);
            if (!item)
                return;
            if (index == 0)
                attributeTypes[item->text()] = Numeric;
            else if (index == 2)
                attributeTypes[item->text()] = Identifier;
            else
                attributeTypes.remove(item->text());
            return;
        }
    });
}

void OpenWidget::filterByText()
{
    fillAttributeTable();
}

void OpenWidget::openInit()
{
    clearConversations();

    const QString time = timeCombo->currentText();
    TIME_ATTRIBUTE = time;
    if (!time.isEmpty())
        attributeTypes[time] = Numeric;

    timeColumn = attributeNames.indexOf(time);
    sourceColumn = attributeNames.indexOf(sourceCombo->currentText());
    destinationColumn = attributeNames.indexOf(destinationCombo->currentText());

    if (noneRadio->isChecked()) {
        grouping = -2;
    } else if (combinedRadio->isChecked()) {
        combinedColumns[0] = attributeNames.indexOf(combinedSourceCombo->currentText());
        combinedColumns[1] = attributeNames.indexOf(combinedDestinationCombo->currentText());
        combinedColumns[2] = attributeNames.indexOf(combinedSessionCombo->currentText());
        grouping = -3;
    } else if (attributeRadio->isChecked()) {
        grouping = attributeNames.indexOf(groupingCombo->currentText());
    } else {
        grouping = -1;
    }

    // The names end with "frame.convid" exactly while "Combined" is chosen,
    // however often this runs.
    combinedKey = grouping == -3;
    if (combinedKey) {
        if (attributeNames.size() <= baseNameCount)
            attributeNames.append(FRAME_CONVID);
        attributeTypes[FRAME_CONVID] = Text;
        grouping = attributeNames.size() - 1;
    } else {
        while (attributeNames.size() > baseNameCount)
            attributeNames.items.pop_back();
        if (grouping >= attributeNames.size())
            grouping = -1;
    }

    DST_ATTRIBUTE = destinationCombo->currentText();
    SRC_ATTRIBUTE = sourceCombo->currentText();
    TIME_ATTRIBUTE = timeCombo->currentText();
}

void OpenWidget::updateFields()
{
    const bool chosen = !fileLabel->text().isEmpty();
    for (QWidget* w : std::initializer_list<QWidget*>{timeCombo, sourceCombo, destinationCombo,
                                                      attributeTable, loadButton, noneRadio,
                                                      attributeRadio, combinedRadio})
        w->setEnabled(chosen);
    groupingCombo->setEnabled(chosen && attributeRadio->isChecked());
    for (QComboBox* combo : {combinedSourceCombo, combinedDestinationCombo, combinedSessionCombo})
        combo->setEnabled(chosen && combinedRadio->isChecked());
}

void OpenWidget::updateRadioButtons()
{
    groupingCombo->setEnabled(attributeRadio->isChecked());
    for (QComboBox* combo : {combinedSourceCombo, combinedDestinationCombo, combinedSessionCombo})
        combo->setEnabled(combinedRadio->isChecked());
}

void OpenWidget::updateTCP()
{
    updateRadioButtons();
}

TList<QSharedPointer<Packet>> OpenWidget::checkPackets(IPacketStream* stream, int max)
{
    QStringList failed;
    QStringList cut;
    TList<QSharedPointer<Packet>> result = previewPackets(stream, max, &failed, &cut);
    warnFailed(failed);
    return result;
}

TList<QSharedPointer<Packet>> OpenWidget::previewPackets(IPacketStream* stream, int max,
                                                         QStringList* failed, QStringList* cut)
{
    TList<QSharedPointer<Packet>> result;
    if (!stream || max < 1)
        return result;
    // The preview shares its texts through the stream's own pool: the
    // loaded log's glyph store is not touched.
    resetValues();
    const QIODevice* device = stream->device();
    for (int i = 0;; ++i) {
        const QString line = stream->readLine();
        if (stream->lineCut()) {
            // Only a part of it was read: the load reads it whole.
            *cut << QString::number(stream->lineNumber());
        } else if (const QSharedPointer<Packet> packet =
                       parsePacket(line, separator, -2, &stream->pool)) {
            result.append(packet);
        } else {
            qDebug().noquote().nospace() << "invalid Wireshark packet " << i;
            *failed << QString::number(i);
        }
        if (stream->atEnd() || i + 1 >= max)
            break;
        // A log of very long lines is previewed from its start only.
        if (device && device->pos() > PREVIEW_BYTES)
            break;
    }
    return result;
}

void OpenWidget::warnFailed(const QStringList& failed)
{
    if (failed.isEmpty())
        return;
    MessageAsker::ask(QMessageBox::Warning, PRODUCT_NAME,
                      QStringLiteral("Tshark was not able to convert all wireshark packets "
                                     "properly.\n\n Packets {")
                          + failed.join(QLatin1Char(','))
                          + QStringLiteral("} will be ignored."),
                      QMessageBox::Ok, this);
}

// ---------------------------------------------------------------------------
// Loading and export

void OpenWidget::import()
{
    // No log chosen, or a run in progress (its dialog's loop let this in).
    if (!stream || worker)
        return;

    // Out of memory before the log is handed over, the load stops with a
    // message, the dialog open and the loaded log as it was.
    bool ranOut = false;
    int limit = 0;
    // The reading's progress dialog runs a loop of its own: whatever runs
    // out of memory in it fails the load.
    const unsigned long failures = HandlerGuard::failures();
    try {
        readLog(&limit, &ranOut);
    } catch (const std::bad_alloc&) {
        ranOut = true;
    }
    if (HandlerGuard::failures() != failures)
        ranOut = true;
    const bool cancelled = aborted;
    aborted = false;
    if (cancelled && !ranOut)
        return;
    // A log that gave no event (it changed since it was chosen) does not
    // replace the loaded one; a limit of 0 asks for no event.
    if (!ranOut && packets.isEmpty() && limit > 0) {
        tellNotLoaded(fileLabel->text(), QStringLiteral("none of its rows gave an event."));
        return;
    }

    struct WaitCursor
    {
        bool on = false;
        ~WaitCursor()
        {
            if (on)
                QGuiApplication::restoreOverrideCursor();
        }
    } cursor;
    bool shown = false;
    QString during = QStringLiteral("reading its records");
    if (!ranOut) {
        during = QStringLiteral("passing its records on");
        try {
            // The trace numbers and the value caches of the load are not
            // needed any more, and the root context is computed next: their
            // memory goes first (the next load starts them anew).
            clearConversations();
            resetValues();

            TList<int> types;
            types.items.reserve(std::size_t(attributeNames.size()));
            for (const QString& name : attributeNames) {
                auto it = attributeTypes.constFind(name);
                const int stored = it == attributeTypes.constEnd() ? Text : it.value();
                types.append(stored == Numeric ? 1 : stored == Identifier ? 4 : 3);
            }

            QGuiApplication::setOverrideCursor(Qt::WaitCursor);
            cursor.on = true;
            fileByFid.clear();
            fileByMessage.clear();
            repaint();

            if (owner) {
                TList<QString> names = attributeNames;
                owner->setLoadSource(fileLabel->text(), std::move(textPool));
                textPool = THash<QString, TVariant>();
                // From here on the controller tells of its own failures.
                TList<QSharedPointer<Packet>> events = std::move(packets);
                packets = TList<QSharedPointer<Packet>>();
                shown = owner->loadData(std::move(events), std::move(names), std::move(types));
            }
        } catch (const std::bad_alloc&) {
            ranOut = true;
        }
    }
    if (ranOut) {
        dropRead();
        ControlWidget::tellLoadOutOfMemory(this, fileLabel->text(), during,
                                           QStringLiteral("The loaded log stays as it is."));
        return;
    }
    // The title names the log only once its data are on screen.
    if (shown) {
        loaded = true;
        try {
            const QString name = fileLabel->text().mid(fileLabel->text().lastIndexOf(QLatin1Char('/')) + 1);
            QCoreApplication::setApplicationName(QStringLiteral("Kolm ") + VERSION_STRING
                                                 + QStringLiteral(" Kolm (") + name + QLatin1Char(')'));
            if (owner->mainWindow)
                owner->mainWindow->setWindowTitle(QCoreApplication::applicationName());
        } catch (const std::bad_alloc&) {
            // The log is shown all the same, under the title it had.
        }
    }
    accept();
}

void OpenWidget::readLog(int* limit, bool* ranOut)
{
    openInit();
    bool ok = false;
    *limit = limitEdit->text().toInt(&ok, 10);
    if (!ok)
        *limit = 0;

    // The records are counted on the loader's thread, behind the progress
    // dialog (busy until the count is known), so that a Cancel is heard
    // from the start.
    std::unique_ptr<QProgressDialog> dialog(new QProgressDialog(
        QStringLiteral("Loading data..."), QStringLiteral("Cancel"), 0, 0, this));
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setMinimumDuration(0);
    connect(dialog.get(), &QProgressDialog::canceled, this, &OpenWidget::abort);

    std::unique_ptr<QThread> thread(new QThread(this));
    callSequences.clear();
    // Every run starts from the same SMB2 state, whatever a preview or a
    // cancelled run left behind.
    fileByFid.clear();
    fileByMessage.clear();
    derivedTime.clear();

    std::unique_ptr<OpenWidgetWorker> run(new OpenWidgetWorker(this, separator, 0));
    run->limit = *limit;
    run->moveToThread(thread.get());
    // The thread ends as soon as the reading returns, so that its end also
    // ends the progress dialog when the bar never reaches its maximum (an
    // empty range). Captures are copied first: the GUI thread frees them
    // with the worker once the thread has ended.
    OpenWidgetWorker* reader = run.get();
    QThread* own = thread.get();
    connect(own, &QThread::started, reader, [reader, own]() {
        QThread* ending = own;
        reader->loadData();
        ending->quit();
    });
    connect(reader, &OpenWidgetWorker::counted, dialog.get(), &QProgressDialog::setMaximum);
    connect(reader, &OpenWidgetWorker::progress, dialog.get(), &QProgressDialog::setValue);
    connect(reader, &OpenWidgetWorker::setLabelText, dialog.get(), &QProgressDialog::setLabelText);
    // Hide, not close: closing a progress dialog counts as cancelling it.
    connect(own, &QThread::finished, dialog.get(), &QProgressDialog::hide);

    // The run is the dialog's for as long as it lives; its progress dialog
    // goes without a word to it.
    struct Running
    {
        OpenWidget* self;
        QProgressDialog* dialog;
        ~Running()
        {
            self->worker = nullptr;
            self->progressDialog = nullptr;
            dialog->disconnect(self);
        }
    } running{this, dialog.get()};
    worker = reader;
    progressDialog = dialog.get();
    if (ThreadStarter::start(own)) {
        // Whatever happens here, nothing the worker uses is touched before
        // its thread has ended.
        OnExit join([own, reader]() {
            reader->cancelled.store(true);
            own->quit();
            own->wait();
        });
        dialog->exec();
        join.dismiss();
        own->quit();
        own->wait();
    } else {
        // No thread could be started for the reading: it runs here, its
        // dialog letting events through (a Cancel too) as it moves on.
        reader->loadData();
        dialog->hide();
    }
    reader->finished.load(std::memory_order_acquire);
    *ranOut = reader->outOfMemory.load();
}

void OpenWidget::dropRead()
{
    packets = TList<QSharedPointer<Packet>>();
    textPool = THash<QString, TVariant>();
    clearConversations();
    if (ValueTable* table = takeValueTable())
        table->deref();
    callSequences.clear();
    fileByFid.clear();
    fileByMessage.clear();
}

void OpenWidget::abort()
{
    aborted = true;
    // Written directly: the worker's thread is busy reading and runs no
    // queued calls.
    if (worker)
        worker->cancelled.store(true);
}

void OpenWidget::exportData()
{
    if (fileLabel->text().isEmpty() || !stream) {
        MessageAsker::ask(QMessageBox::Warning, QStringLiteral("Failed to export"),
                          QStringLiteral("Export failed: no event log chosen"), QMessageBox::Ok,
                          this);
        return;
    }
    openInit();
    const QString directory = FileAsker::existingDirectory(
        this, QStringLiteral("Select directory for export"), QDir::homePath());
    if (directory.isEmpty())
        return;
    MessageAsker::ask(QMessageBox::Warning, QStringLiteral("Processing"),
                      QStringLiteral("Be patient this may take a while... Press OK to start"),
                      QMessageBox::Ok, this);
    QString error;
    bool cancelled = false;
    if (!splitConversations(directory, &error, &cancelled)) {
        // A cancelled export that has left the folder as it was says
        // nothing; the dialog stays open for another attempt. One that
        // could not put everything back says what was left.
        if (cancelled)
            return;
        QString text;
        try {
            text = QStringLiteral("Export failed: ") + error;
        } catch (const std::bad_alloc&) {
            text = QStringLiteral("Export failed: ran out of memory");
        }
        MessageAsker::ask(QMessageBox::Warning, QStringLiteral("Failed to export"), text, QMessageBox::Ok,
                          this);
        return;
    }
    MessageAsker::ask(QMessageBox::Warning, QStringLiteral("Processing"),
                      QStringLiteral("Export successful!"), QMessageBox::Ok, this);
    accept();
}

namespace {

// Why an export that ran out of memory on the window's side failed: the
// split was stopped and has put the folder back, or says what it could
// not put back.
QString exportOutOfMemory(const ConversationSplitter* splitter) noexcept
{
    if (!splitter || splitter->leftBehind == 0)
        return QStringLiteral("ran out of memory; nothing was written");
    try {
        QString rest = splitter->errorText;
        const QString stopped = QStringLiteral("cancelled; ");
        if (rest.startsWith(stopped))
            rest.remove(0, stopped.size());
        return QStringLiteral("ran out of memory; ") + rest;
    } catch (const std::bad_alloc&) {
        return QStringLiteral("ran out of memory; the folder could not be put back as it was");
    }
}

} // namespace

bool OpenWidget::splitConversations(const QString& directory, QString* error, bool* cancelled)
{
    // The split runs on a thread of its own behind a progress dialog, so
    // that the window keeps answering; "Cancel" stops it, and the split
    // then puts the folder back as it was. Running out of memory on the
    // window's side stops it the same way, and the export fails as one
    // that ran out of memory (unless the split was complete by then).
    if (cancelled)
        *cancelled = false;
    std::unique_ptr<ConversationSplitter> splitter;
    bool complete = false;
    // Set last by the split's thread: whoever reads it true sees every
    // write of the split.
    std::atomic<bool> ended{false};
    bool ranOut = false;
    try {
        splitter = std::make_unique<ConversationSplitter>(fileLabel->text(), directory);
        ConversationSplitter* split = splitter.get();
        const int steps = 1000;
        QProgressDialog dialog(QStringLiteral("Exporting conversations..."), QStringLiteral("Cancel"), 0,
                               steps, this);
        dialog.setWindowModality(Qt::WindowModal);
        dialog.setMinimumDuration(0);
        dialog.setAutoReset(false);
        dialog.setAutoClose(false);
        // The dialog is shown and waited for in a loop of this function's
        // own, not by its exec(): an exception out of exec() would leave the
        // dialog holding the loop that is gone, which hiding it then uses.
        QEventLoop loop;
        // Written directly: the split polls the flag once a line. Escape
        // cancels too. A cancel hides the dialog; it shows again until the
        // split has put the folder back.
        const auto cancel = [split, &dialog, &loop]() {
            split->cancelled.store(true);
            HandlerGuard::run([&dialog] { dialog.setLabelText(QStringLiteral("Cancelling...")); });
            loop.quit();
        };
        connect(&dialog, &QProgressDialog::canceled, &dialog, cancel);
        connect(&dialog, &QDialog::rejected, &dialog, cancel);
        bool done = false;
        std::unique_ptr<QThread> thread;
        // However this is left, the split's thread has ended before what it
        // uses goes; left by an exception, the split is stopped first and
        // puts the folder back. Allocates nothing.
        OnExit join([split, &thread]() {
            if (thread) {
                split->cancelled.store(true);
                thread->wait();
            }
        });
        thread.reset(QThread::create([split, &complete, &ended]() {
            complete = split->run();
            ended.store(true, std::memory_order_release);
        }));
        // Hide, not close: closing a progress dialog counts as cancelling it.
        connect(thread.get(), &QThread::finished, &dialog, [&done, &dialog, &loop]() {
            done = true;
            dialog.hide();
            loop.quit();
        });
        QTimer poll;
        // Whatever runs out of memory in this loop fails the export.
        const unsigned long failures = HandlerGuard::failures();
        connect(&poll, &QTimer::timeout, &dialog, [split, &dialog, &ranOut, steps, failures]() {
            if (HandlerGuard::failures() != failures) {
                ranOut = true;
                split->cancelled.store(true);
            }
            if (split->inputSize <= 0)
                return;
            try {
                dialog.setValue(
                    int(qMin<qint64>(steps, split->bytesRead.load() * steps / split->inputSize)));
            } catch (const std::bad_alloc&) {
                ranOut = true;
                split->cancelled.store(true);
            }
        });
        if (!ThreadStarter::start(thread.get())) {
            // No thread could be started: the split runs here, the window
            // waiting for it.
            complete = split->run();
            done = true;
        }
        poll.start(100);
        while (!done) {
            dialog.show();
            loop.exec();
        }
        poll.stop();
        thread->wait();
        join.dismiss();
        if (HandlerGuard::failures() != failures)
            ranOut = true;
    } catch (const std::bad_alloc&) {
        ranOut = true;
    }
    ended.load(std::memory_order_acquire);

    if (ranOut && !complete) {
        if (error)
            *error = exportOutOfMemory(splitter.get());
        return false;
    }
    if (complete)
        return true;
    if (cancelled)
        *cancelled = splitter->cancelled.load() && splitter->leftBehind == 0;
    if (error)
        *error = splitter->errorText;
    return false;
}
