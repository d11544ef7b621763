#include "DebugCapture.h"
#include "Restore.h"
#include "SequenceFixture.h"
#include "TestRegistry.h"

#include "core/Constants.h"
#include "core/HandlerGuard.h"
#include "core/DeferredRelease.h"
#include "events/ContextEvent.h"
#include "events/EventType.h"
#include "events/GlyphsEvent.h"
#include "events/PacketsEvent.h"
#include "items/ScreenPlacement.h"
#include "patterns/Automaton.h"
#include "patterns/Edge.h"
#include "patterns/ConditionParser.h"
#include "patterns/ParseNode.h"
#include "views/attributes/HistogramWidget.h"
#include "views/attributes/PlotWidget.h"
#include "app/MessageAsker.h"
#include "views/events/BinCell.h"
#include "views/events/EventWidget.h"
#include "views/events/SortTriangle.h"
#include "views/sequences/AlignmentBudget.h"
#include "views/sequences/SequenceAlignment.h"
#include "views/sequences/SequenceWidget.h"

#include <QAction>
#include <QCryptographicHash>
#include <QApplication>
#include <QMenu>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QProgressDialog>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTimer>
#include <QToolTip>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <limits>
#include <memory>
#include <set>

using sequencefixture::Glyphs;
using sequencefixture::PacketPtr;
using sequencefixture::Rows;

namespace {

// The view at 400 x 300: cells span H = 300 - 20 - 30 - 10 = 240 pixels
// from y = 50, column k starts at x = 10 + 31 k.
constexpr int TOP = 50;
constexpr int H = 240;
int columnX(int k) { return 10 + 31 * k; }

std::unique_ptr<SequenceWidget> makeView(Glyphs& glyphs)
{
    std::unique_ptr<SequenceWidget> view(new SequenceWidget(glyphs.control.get(), nullptr));
    view->resize(400, 300);
    return view;
}

void sendGlyphs(SequenceWidget* view, const Rows& sequences)
{
    GlyphsEvent event(nullptr, sequences, {QStringLiteral("select")});
    QCoreApplication::sendEvent(view, &event);
}

// The shown items of column k, top to bottom.
QList<BinItem*> column(SequenceWidget& view, int k)
{
    QList<BinItem*> items;
    for (BinItem* item : view.shownList())
        if (int(item->left()) == columnX(k))
            items.append(item);
    std::sort(items.begin(), items.end(), [](BinItem* a, BinItem* b) { return a->y < b->y; });
    return items;
}

QStringList names(const QList<BinItem*>& items)
{
    QStringList out;
    for (const BinItem* item : items)
        out << item->name;
    return out;
}

// The first names of the rows, top to bottom.
QStringList rowHeads(const SequenceWidget& view, int k)
{
    QStringList out;
    for (const TList<BinItem*>& row : view.rows.items)
        out << row[k]->name;
    return out;
}

void mouse(QWidget* w, QEvent::Type type, QPoint at, Qt::MouseButton button = Qt::NoButton)
{
    QMouseEvent e(type, at, w->mapToGlobal(at), button,
                  type == QEvent::MouseMove ? Qt::NoButton : Qt::MouseButtons(button), Qt::NoModifier);
    QCoreApplication::sendEvent(w, &e);
}

QPoint centre(const BinItem* item)
{
    return QPoint(int(item->left() + item->width() / 2), int(item->top() + item->height() / 2));
}

class PacketsSpy : public QObject
{
public:
    explicit PacketsSpy(QObject* target) { target->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (int(event->type()) == PACKETSEVENT) {
            auto* pe = static_cast<PacketsEvent*>(event);
            packets.append(pe->eventList());
            args.append(pe->args);
        }
        return false;
    }
    QList<TList<PacketPtr>> packets;
    QList<QList<QVariant>> args;
};

// Records the message boxes shown while it lives.
class Messages
{
public:
    Messages()
    {
        previous = MessageAsker::setHandler([this](const MessageAsker::Request& request) {
            requests.append(request);
            return QMessageBox::Ok;
        });
    }
    ~Messages() { MessageAsker::setHandler(previous); }
    QList<MessageAsker::Request> requests;

private:
    MessageAsker::Handler previous;
};

// Puts the machine's memory limit and the allocations back.
struct BudgetReset
{
    ~BudgetReset()
    {
        AlignmentBudget::setLimitOverride(0);
        AlignmentBudget::setAllocationFailure(AlignmentBudget::Clustering, -1);
    }
};

// The rows as text, gaps as "-"; without gaps, sorted.
QStringList rowTexts(const SequenceWidget& view, bool gaps = true)
{
    QStringList out;
    for (const TList<BinItem*>& row : view.rows.items) {
        QStringList names;
        for (const BinItem* item : row.items)
            if (gaps || !SequenceWidget::isGap(item))
                names << (SequenceWidget::isGap(item) ? QStringLiteral("-") : item->name);
        out << names.join(QLatin1Char(' '));
    }
    if (!gaps)
        out.sort();
    return out;
}

// Cancels the progress dialog of view once its label holds text (and it
// shows what `when` waits for), or does `act` instead.
class Canceller : public QObject
{
public:
    Canceller(SequenceWidget* view, const QString& text,
              std::function<bool(const QProgressDialog&)> when = {}, std::function<void()> act = {})
        : view(view), text(text)
    {
        // Fires only while the alignment lets events through.
        poller.setInterval(0);
        connect(&poller, &QTimer::timeout, this, [this, when, act]() {
            for (QProgressDialog* dialog : this->view->findChildren<QProgressDialog*>()) {
                seen << dialog->labelText();
                if (dialog->isVisible() && dialog->labelText().contains(this->text) && (!when || when(*dialog))) {
                    poller.stop();
                    act ? act() : dialog->cancel();
                }
            }
        });
        poller.start();
    }
    SequenceWidget* view;
    QString text;
    QTimer poller;
    QStringList seen;
};

// n distinct sequences of 3 to 8 glyphs named A to F.
QStringList distinctTexts(int n)
{
    QRandomGenerator random(17);
    QStringList texts;
    while (texts.size() < n) {
        QString text;
        const int len = random.bounded(3, 9);
        for (int k = 0; k < len; ++k)
            text += QString(QLatin1Char(char('A' + random.bounded(6)))) + QLatin1Char(' ');
        text.chop(1);
        if (!texts.contains(text))
            texts << text;
    }
    return texts;
}

} // namespace

class SequenceWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { insertionCost = -1; substitutionCost = -1; }
    void stackedRowShare();
    void sharedBeginning();
    void shortRowsEndInGaps();
    void sortingAColumnTwice();
    void firstColumnSortsDescending();
    void sortOutsideTheColumnsDoesNothing();
    void alignedRowWeight();
    void alignedGapsAreOneItem();
    void mergeModeRunsAndClick();
    void emptyNames();
    void labelsAreWholeNames_data();
    void labelsAreWholeNames();
    void emptyRewriteCellIsNotBlack();
    void contextEventAndAlignmentAfterMatrixRebuild();
    void badInput_data();
    void badInput();
    void contextMenu();
    void hoverQueryOverlay();
    void inspectFrequencies();
    void sizes();
    void rebuildMatchesAFreshView_data();
    void rebuildMatchesAFreshView();
    void buildInPartsMatchesOneBuild_data();
    void buildInPartsMatchesOneBuild();
    void prefixAutomaton();
    void manyBranchesAtOneState();
    void alignmentThatCannotComplete_data();
    void alignmentThatCannotComplete();
    void rebuildAskedForWhileAligning_data();
    void rebuildAskedForWhileAligning();
    void guideTreeThatIsStopped_data();
    void guideTreeThatIsStopped();
    void stoppedAlignmentMatchesAFreshView_data();
    void stoppedAlignmentMatchesAFreshView();
    void viewsAsRecorded_data();
    void viewsAsRecorded();
    void sequencesLetGoWhileCopied_data();
    void sequencesLetGoWhileCopied();
    void copiesLetGoInTheBackground_data();
    void copiesLetGoInTheBackground();
    void failureInAnotherHandlerOfTheLoop_data();
    void failureInAnotherHandlerOfTheLoop();
};

void SequenceWidgetTest::stackedRowShare()
{
    Glyphs glyphs;
    auto view = makeView(glyphs);
    view->setMergeMode(false);
    sendGlyphs(view.get(), glyphs.rows({"A B", "A B", "A B", "C B"}));
    QCOMPARE(view->rows.size(), 2);
    QCOMPARE(view->countOf(0), 4);
    const QList<BinItem*> first = column(*view, 0);
    QCOMPARE(names(first), QStringList({"A", "C"}));
    QCOMPARE(int(first[0]->height()), H * 3 / 4);
    QCOMPARE(int(first[1]->height()), H / 4);
    QCOMPARE(int(first[1]->top()), TOP + H * 3 / 4);
    // The stacked row's cells carry the events of all three sequences.
    QCOMPARE(view->eventsOf(first[0]).size(), 3);

    mouse(view.get(), QEvent::MouseMove, centre(first[0]));
    QVERIFY(first[0]->highlighted);
    QCOMPARE(first[0]->auxValue, 1);
    QCOMPARE(QToolTip::text(), QStringLiteral("Event: A (75%)"));
    mouse(view.get(), QEvent::MouseMove, centre(column(*view, 1)[1]));
    QVERIFY(!first[0]->highlighted);
    QCOMPARE(QToolTip::text(), QStringLiteral("Event: C.B (25%)"));
    QVERIFY(view->hoverTimer->isActive());
    QCOMPARE(view->hoverTimer->interval(), 1000);
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(view.get(), &leave);
    QCOMPARE(view->lastMouse.x(), -1);
    QVERIFY(!view->hoverTimer->isActive());
}

void SequenceWidgetTest::sharedBeginning()
{
    Glyphs glyphs;
    auto view = makeView(glyphs);
    view->setMergeMode(false);
    sendGlyphs(view.get(), glyphs.rows({"A B", "A C"}));
    const QList<BinItem*> first = column(*view, 0);
    const QList<BinItem*> second = column(*view, 1);
    QCOMPARE(names(first), QStringList({"A"}));
    QCOMPARE(int(first[0]->height()), H);
    QCOMPARE(names(second), QStringList({"A.B", "A.C"}));
    QCOMPARE(int(second[0]->height()), H / 2);
    QCOMPARE(int(second[1]->height()), H / 2);
    QCOMPARE(int(second[1]->top()), TOP + H / 2);
    QCOMPARE(second[1]->label, QStringLiteral("C"));
}

void SequenceWidgetTest::shortRowsEndInGaps()
{
    Glyphs glyphs;
    auto view = makeView(glyphs);
    view->setMergeMode(false);
    sendGlyphs(view.get(), glyphs.rows({"A B", "C D E F"}));
    QCOMPARE(view->sortTriangles.size(), 4);
    // One gap item of the view's own lengthens the short row.
    QCOMPARE(view->gapItems.size(), 1);
    const TList<BinItem*>& shortRow = view->rows.first();
    QCOMPARE(shortRow.size(), 4);
    QCOMPARE(shortRow[2]->name, GAP_GLYPH_NAME);
    QCOMPARE(shortRow[2], view->gapItems.first());
    QCOMPARE(shortRow[3], view->gapItems.first());
    for (int k = 2; k < 4; ++k) {
        const QList<BinItem*> cells = column(*view, k);
        QCOMPARE(cells.size(), 2);
        QVERIFY(!cells[0]->visible);
        QVERIFY(cells[1]->visible);
    }
    QCOMPARE(view->sortTriangles[0]->state, 0);
    QCOMPARE(view->sortTriangles[3]->state, 2);
    QCOMPARE(int(view->sortTriangles[3]->x), columnX(3));
    QCOMPARE(int(view->sortTriangles[3]->height()), 30);
}

void SequenceWidgetTest::sortingAColumnTwice()
{
    Glyphs glyphs;
    auto view = makeView(glyphs);
    view->setMergeMode(false);
    sendGlyphs(view.get(), glyphs.rows({"A Z", "B Y", "A X"}));
    // Unsorted, the two rows beginning with A share their first cell.
    QCOMPARE(names(column(*view, 0)), QStringList({"A", "B"}));

    // A click on triangle 1 sorts ascending by column 1.
    mouse(view.get(), QEvent::MouseButtonPress, QPoint(columnX(1) + 15, 20), Qt::LeftButton);
    QCOMPARE(view->sortColumn, 1);
    QCOMPARE(view->sortTriangles[1]->state, 0);
    QCOMPARE(view->sortTriangles[0]->state, 2);
    QCOMPARE(rowHeads(*view, 1), QStringList({"X", "Y", "Z"}));
    QCOMPARE(rowHeads(*view, 0), QStringList({"A", "B", "A"}));
    // Left of the sorted column equal names merge only where contiguous.
    QCOMPARE(names(column(*view, 0)), QStringList({"A", "B", "A1"}));
    QCOMPARE(column(*view, 0)[2]->label, QStringLiteral("A"));

    view->setSort(1);
    QCOMPARE(view->sortTriangles[1]->state, 1);
    QCOMPARE(rowHeads(*view, 1), QStringList({"Z", "Y", "X"}));
    QCOMPARE(names(column(*view, 0)), QStringList({"A", "B", "A1"}));

    // Rows of one key keep their order; labels A, A, B, A1, B1 down a column.
    sendGlyphs(view.get(), glyphs.rows({"A P", "A Q", "B R", "A S", "B T"}));
    QCOMPARE(view->sortColumn, 0);
    view->setSort(1);
    QStringList labels;
    for (int r = 0; r < view->rows.size(); ++r)
        labels << view->keyOf(view->stateAt(r, 0));
    QCOMPARE(labels, QStringList({"A", "A", "B", "A1", "B1"}));
}

void SequenceWidgetTest::firstColumnSortsDescending()
{
    Glyphs glyphs;
    auto view = makeView(glyphs);
    sendGlyphs(view.get(), glyphs.rows({"B", "A", "C", "A"}));
    QCOMPARE(view->sortTriangles[0]->state, 0);
    view->setSort(0);
    QCOMPARE(view->sortTriangles[0]->state, 1);
    QCOMPARE(rowHeads(*view, 0), QStringList({"C", "B", "A"}));
    view->setSort(0);
    QCOMPARE(rowHeads(*view, 0), QStringList({"A", "B", "C"}));
    // Every rebuild marks column 0 ascending again.
    view->recompute();
    QCOMPARE(view->sortTriangles[0]->state, 0);
}

void SequenceWidgetTest::sortOutsideTheColumnsDoesNothing()
{
    Glyphs glyphs;
    auto view = makeView(glyphs);
    sendGlyphs(view.get(), glyphs.rows({"B C", "A D"}));
    const QStringList before = rowHeads(*view, 0);
    for (int k : {-1, 2, 100}) {
        view->setSort(k);
        QCOMPARE(view->sortColumn, 0);
        QCOMPARE(rowHeads(*view, 0), before);
    }
    SequenceWidget empty(glyphs.control.get(), nullptr);
    empty.setSort(0);
    QCOMPARE(empty.sortColumn, 0);
}

void SequenceWidgetTest::alignedRowWeight()
{
    Glyphs glyphs;
    auto view = makeView(glyphs);
    view->setMergeMode(false);
    view->setMSA(true);
    sendGlyphs(view.get(), glyphs.rows({"A C", "A C", "A C", "A B C"}));
    QCOMPARE(view->rows.size(), 2);
    QCOMPARE(view->columnCount(), 3);
    int r = -1;
    for (int k = 0; k < view->rows.size(); ++k)
        if (view->rows[k][1]->name == GAP_GLYPH_NAME)
            r = k;
    QVERIFY(r >= 0);
    const TList<BinItem*>* stacked = &view->rows[r];
    // The gap state and the rest of the row count its three sequences; the
    // first cell is shared with the other row.
    QList<int> counts;
    for (int c = 0; c < stacked->size(); ++c)
        counts << view->countOf(view->stateAt(r, c));
    QCOMPARE(counts, QList<int>({4, 3, 3}));
    QCOMPARE(view->countOf(0), 4);
    QVERIFY(view->gapItems.contains((*stacked)[1]));
    QVERIFY(!view->stateItem(view->stateAt(r, 1))->visible);
}

// The aligned rows hold one gap item of the view's own at every gap
// position; it is an invisible gap cell wherever it stands, and the next
// build replaces it.
void SequenceWidgetTest::alignedGapsAreOneItem()
{
    Glyphs glyphs;
    auto view = makeView(glyphs);
    view->setMergeMode(false);
    view->setMSA(true);
    sendGlyphs(view.get(), glyphs.rows({"A B C D", "A C", "B D", "A D", "C"}));
    QCOMPARE(view->gapItems.size(), 1);
    BinItem* gap = view->gapItems.first();
    QVERIFY(SequenceWidget::isGap(gap));
    int gaps = 0;
    for (const TList<BinItem*>& row : view->rows.items)
        for (BinItem* item : row.items)
            if (SequenceWidget::isGap(item)) {
                QCOMPARE(item, gap);
                ++gaps;
            }
    QVERIFY(gaps >= 8);
    for (BinItem* shown : view->shownList())
        QCOMPARE(shown->visible, !shown->name.endsWith(QLatin1String("<dummy>")));
    sendGlyphs(view.get(), glyphs.rows({"A C", "A B C"}));
    QCOMPARE(view->gapItems.size(), 1);
    QCOMPARE(rowTexts(*view, true).join(QLatin1Char('|')), QStringLiteral("A - C|A B C"));
}

void SequenceWidgetTest::mergeModeRunsAndClick()
{
    Glyphs glyphs;
    auto view = makeView(glyphs);
    QVERIFY(view->mergeMode);
    PacketsSpy spy(glyphs.control.get());
    sendGlyphs(view.get(), glyphs.rows({"A B", "C B", "D E"}));
    const QList<BinItem*> second = column(*view, 1);
    QCOMPARE(names(second), QStringList({"...B", "D.E"}));
    QCOMPARE(view->runItems(second[0]).size(), 2);
    QCOMPARE(int(second[0]->height()), H * 2 / 3);

    mouse(view.get(), QEvent::MouseButtonPress, centre(second[0]), Qt::LeftButton);
    QVERIFY(second[0]->selected);
    QCOMPARE(view->clickedEvents.size(), 2);
    QCOMPARE(spy.packets.size(), 1);
    QCOMPARE(spy.args.last(), QList<QVariant>({QStringLiteral("select")}));
    QCOMPARE(spy.packets.last().size(), 2);

    // A click on empty space selects nothing and sends nothing.
    mouse(view.get(), QEvent::MouseButtonPress, QPoint(390, 290), Qt::LeftButton);
    QVERIFY(!second[0]->selected);
    QVERIFY(view->clickedEvents.isEmpty());
    QCOMPARE(spy.packets.size(), 1);

    view->setMergeMode(false);
    QCOMPARE(names(column(*view, 1)), QStringList({"A.B", "C.B", "D.E"}));
}

void SequenceWidgetTest::emptyNames()
{
    Glyphs glyphs;
    auto view = makeView(glyphs);
    view->setMergeMode(false);
    sendGlyphs(view.get(), glyphs.rows({"_ A", "B _"}));
    const QList<BinItem*> first = column(*view, 0);
    QCOMPARE(names(first), QStringList({"*", "B"}));
    QCOMPARE(first[0]->label, QString());
    QVERIFY(first[0]->visible);
    QCOMPARE(view->pathOf(view->stateOfItem(first[0])), QStringLiteral("*"));
    QCOMPARE(names(column(*view, 1)), QStringList({"*.A", "B.*"}));
    view->setSort(1);
    QCOMPARE(rowHeads(*view, 1), QStringList({"A", QString()}));
    mouse(view.get(), QEvent::MouseMove, centre(column(*view, 1)[1]));
    QCOMPARE(QToolTip::text(), QStringLiteral("Event: B.* (50%)"));
}

void SequenceWidgetTest::labelsAreWholeNames_data()
{
    QTest::addColumn<bool>("merge");
    QTest::newRow("merge mode") << true;
    QTest::newRow("without merging") << false;
}

// A name that holds a dot is its cell's whole label; the keys and display
// paths still join the names with dots.
void SequenceWidgetTest::labelsAreWholeNames()
{
    QFETCH(bool, merge);
    Glyphs glyphs;
    auto view = makeView(glyphs);
    view->setMergeMode(merge);
    sendGlyphs(view.get(), glyphs.rows({"TLSv1.2 X.Y", "X.Y X.Y"}));
    const QList<BinItem*> first = column(*view, 0);
    QCOMPARE(names(first), QStringList({"TLSv1.2", "X.Y"}));
    QCOMPARE(first[0]->label, QStringLiteral("TLSv1.2"));
    QCOMPARE(first[1]->label, QStringLiteral("X.Y"));
    const QList<BinItem*> second = column(*view, 1);
    if (merge) {
        QCOMPARE(names(second), QStringList({"...X.Y"}));
        QCOMPARE(second[0]->label, QStringLiteral("X.Y"));
    } else {
        QCOMPARE(names(second), QStringList({"TLSv1.2.X.Y", "X.Y.X.Y"}));
        for (const BinItem* item : second) {
            QCOMPARE(item->label, QStringLiteral("X.Y"));
            QCOMPARE(view->pathOf(view->stateOfItem(item)), item->name);
            QVERIFY(item->visible);
        }
    }
}

void SequenceWidgetTest::emptyRewriteCellIsNotBlack()
{
    Glyphs glyphs;
    const auto cell = sequencefixture::cellAfterEmptyRewrite(glyphs.control.get(), {"a", "b"}, "a");
    QCOMPARE(cell->rows.size(), 1);
    QCOMPARE(cell->rows[0].size(), 2);
    QCOMPARE(cell->rows[0][0]->fillColor.alpha(), 0);

    auto view = makeView(glyphs);
    sendGlyphs(view.get(), cell->rows);
    QImage image(view->size(), QImage::Format_ARGB32);
    image.fill(Qt::black);
    view->render(&image);
    // The rewritten event's cell takes the empty glyph's fill: none, so the
    // white ground shows; the event left alone keeps its grey.
    const QColor rewritten = image.pixelColor(columnX(0) + 15, TOP + H / 2);
    QVERIFY2(rewritten.rgb() == QColor(Qt::white).rgb(), qPrintable(rewritten.name()));
    QCOMPARE(image.pixelColor(columnX(1) + 15, TOP + H / 2).rgb(), DEFAULT_FILL_COLOR.darker(110).rgb());
}

void SequenceWidgetTest::contextEventAndAlignmentAfterMatrixRebuild()
{
    Glyphs glyphs;
    auto view = makeView(glyphs);
    sendGlyphs(view.get(), glyphs.rows({"A B C", "A C", "B C"}));
    QCOMPARE(view->rows.size(), 3);
    // The matrix rebuilds: its items are gone, the view's copies stay.
    glyphs.clear();
    ContextEvent context(nullptr, QList<Context*>());
    QCoreApplication::sendEvent(view.get(), &context);
    QVERIFY(view->rows.isEmpty());
    QCOMPARE(view->shownCount(), 0);
    QVERIFY(view->sortTriangles.isEmpty());
    QCOMPARE(view->lastSequences.size(), 3);

    view->setMSA(true);
    QCOMPARE(view->rows.size(), 3);
    QCOMPARE(view->columnCount(), 3);
    QStringList seen;
    for (const TList<BinItem*>& row : view->rows.items) {
        QStringList namesOfRow;
        for (const BinItem* item : row.items)
            namesOfRow << item->name;
        seen << namesOfRow.join(QLatin1Char(' '));
    }
    QVERIFY(seen.contains(QStringLiteral("A B C")));
    QVERIFY(seen.contains(QStringLiteral("A <dummy> C")));
    QVERIFY(!view->grab().isNull());
}

void SequenceWidgetTest::badInput_data()
{
    QTest::addColumn<QStringList>("sequences");
    QTest::addColumn<bool>("align");
    QTest::addColumn<int>("rows");
    QTest::newRow("nothing") << QStringList() << false << 0;
    QTest::newRow("nothing aligned") << QStringList() << true << 0;
    QTest::newRow("empty sequences") << QStringList({"", ""}) << false << 1;
    QTest::newRow("a row of gaps only") << QStringList({"", "A B"}) << false << 2;
    QTest::newRow("a row of gaps only, aligned") << QStringList({"", "A B"}) << true << 2;
    QTest::newRow("empty names") << QStringList({"_ _", "_"}) << true << 2;
}

void SequenceWidgetTest::badInput()
{
    QFETCH(QStringList, sequences);
    QFETCH(bool, align);
    QFETCH(int, rows);
    Glyphs glyphs;
    auto view = makeView(glyphs);
    DebugCapture capture;
    capture.setForward(false);
    view->setMSA(align);
    sendGlyphs(view.get(), glyphs.rows(sequences));
    QCOMPARE(view->rows.size(), rows);
    if (sequences.size() == 2 && sequences[0].isEmpty() && !sequences[1].isEmpty()) {
        // The row of gaps draws nothing and still counts.
        const int gaps = view->rows.first().first()->name == GAP_GLYPH_NAME ? 0 : view->rows.size() - 1;
        for (int c = 0; c < view->rows[gaps].size(); ++c)
            QVERIFY(!view->stateItem(view->stateAt(gaps, c))->visible);
        QCOMPARE(view->countOf(0), 2);
    }
    // Every slot still works.
    view->setSort(0);
    view->setItemSize(12);
    view->setVItemSize(40);
    view->setDrawLines(true);
    view->setMergeMode(false);
    view->hoverQuery(ConditionParser::parse(QStringLiteral("kind == A")));
    view->setMergeMode(true);
    view->hoverQuery(nullptr);
    view->inspectFreq();
    view->selectSequences();
    view->hoverTimeOut();
    mouse(view.get(), QEvent::MouseMove, QPoint(12, 60));
    mouse(view.get(), QEvent::MouseButtonPress, QPoint(12, 60), Qt::LeftButton);
    QVERIFY(!view->grab().isNull());
    // Null glyphs, as a router may carry them.
    Rows nulls;
    nulls.append(TList<BinItem*>{nullptr, nullptr});
    nulls.append(TList<BinItem*>{nullptr});
    sendGlyphs(view.get(), nulls);
    QCOMPARE(view->rows.size(), 2);
}

void SequenceWidgetTest::contextMenu()
{
    Glyphs glyphs;
    auto view = makeView(glyphs);
    sendGlyphs(view.get(), glyphs.rows({"A B"}));
    const QList<QAction*> actions = view->contextMenu->actions();
    QCOMPARE(actions.size(), 3);
    QCOMPARE(actions[0]->text(), QStringLiteral("Select sequences.."));
    QCOMPARE(actions[1]->text(), QStringLiteral("Inspect selection.."));
    QCOMPARE(actions[2]->text(), QStringLiteral("Inspect frequencies.."));

    mouse(view.get(), QEvent::MouseButtonPress, QPoint(20, 100), Qt::RightButton);
    QVERIFY(!actions[0]->isEnabled());
    QVERIFY(!actions[1]->isEnabled());
    view->contextMenu->hide();
    mouse(view.get(), QEvent::MouseButtonPress, QPoint(20, 100), Qt::LeftButton);
    QCOMPARE(view->clickedEvents.size(), 1);
    mouse(view.get(), QEvent::MouseButtonPress, QPoint(20, 100), Qt::RightButton);
    QVERIFY(!actions[0]->isEnabled());
    QVERIFY(actions[1]->isEnabled());
    QVERIFY(actions[2]->isEnabled());
    // The right button keeps the clicked cell.
    QCOMPARE(view->clickedEvents.size(), 1);
    view->contextMenu->hide();
    // A geometry pass empties the clicked cell.
    view->setItemSize(20);
    QVERIFY(view->clickedEvents.isEmpty());
}

void SequenceWidgetTest::hoverQueryOverlay()
{
    Glyphs glyphs;
    auto view = makeView(glyphs);
    view->setMergeMode(false);
    // Three sequences stacked in one row, the query matching two of them
    // in column 0 and the third in column 2; another row without a match.
    Rows sequences;
    for (const char* third : {"q", "q", "x"}) {
        TList<BinItem*> s;
        s.append(glyphs.item(QStringLiteral("A"), QString::fromLatin1(third) == QLatin1String("x")
                                                        ? QStringLiteral("a") : QStringLiteral("q")));
        s.append(glyphs.item(QStringLiteral("B"), QStringLiteral("b")));
        s.append(glyphs.item(QStringLiteral("C"), QString::fromLatin1(third) == QLatin1String("x")
                                                        ? QStringLiteral("q") : QStringLiteral("c")));
        s.append(glyphs.item(QStringLiteral("D"), QStringLiteral("d")));
        sequences.append(s);
    }
    sequences.append(glyphs.sequence(QStringLiteral("E F G H")));
    sendGlyphs(view.get(), sequences);
    QCOMPARE(view->rows.size(), 2);

    view->hoverQuery(ConditionParser::parse(QStringLiteral("kind == q")));
    QVERIFY(view->currentQuery);
    QCOMPARE(view->overlayPaths.size(), 1);
    // Row one: 3 checks in column 0, 1 in column 1, 1 in column 2 (all
    // matched, stop); row two: one check per column.
    QCOMPARE(view->overlayChecks, quint64(3 + 1 + 1 + 4));
    // The ribbon spans the whole row: the height of A's cell at full share.
    const QRectF bounds = view->overlayPaths.first().boundingRect();
    QVERIFY(bounds.left() <= columnX(0) + 15 + 1);
    QVERIFY(bounds.right() >= columnX(3) + 15 - 1);
    QCOMPARE(int(bounds.height() + 0.5), int(column(*view, 0)[0]->height()));

    view->setDrawLines(true);
    QCOMPARE(view->overlayPaths.size(), 1);
    QCOMPARE(int(view->overlayPaths.first().boundingRect().height()), 0);
    // The same tree again keeps it; another replaces it; null clears.
    ParseNode* same = view->currentQuery;
    view->hoverQuery(same);
    QCOMPARE(view->currentQuery, same);
    view->hoverQuery(ConditionParser::parse(QStringLiteral("kind == nothing")));
    QVERIFY(view->overlayPaths.isEmpty());
    view->hoverQuery(nullptr);
    QVERIFY(!view->currentQuery);
    QVERIFY(view->overlayPaths.isEmpty());
}

void SequenceWidgetTest::inspectFrequencies()
{
    Glyphs glyphs;
    auto view = makeView(glyphs);
    PacketsSpy spy(glyphs.control.get());
    sendGlyphs(view.get(), glyphs.rows({"A B", "A C"}));
    // Nothing hovered: nothing happens.
    view->inspectFreq();
    QVERIFY(spy.packets.isEmpty());
    QVERIFY(!view->histogramDialog);

    const QList<BinItem*> first = column(*view, 0);
    mouse(view.get(), QEvent::MouseMove, centre(first[0]));
    const QRect screen = ScreenPlacement::availableGeometryAt(view->mapToGlobal(QPoint(0, 0)));
    view->move(view->pos() + screen.bottomRight() - view->mapToGlobal(centre(first[0])));
    bool sawDialog = false;
    QRect shownAt;
    QTimer::singleShot(0, [&]() {
        HistogramWidget* dialog = view->histogramDialog;
        QVERIFY(dialog);
        sawDialog = true;
        QCOMPARE(dialog->plot->attribute, DST_ATTRIBUTE);
        QCOMPARE(dialog->context->packets.size(), 2);
        QCOMPARE(dialog->parent(), static_cast<QObject*>(view.get()));
        shownAt = dialog->frameGeometry();
        // A hover in the dialog draws its query in the view.
        emit dialog->hoverQuery(ConditionParser::parse(QStringLiteral("kind == A")));
        QVERIFY(view->currentQuery);
        dialog->reject();
    });
    view->inspectFreq();
    QVERIFY(sawDialog);
    // The glyph lies in the screen's bottom right corner: the dialog opened
    // on the screen all the same.
    QVERIFY(screen.contains(shownAt));
    QCOMPARE(spy.packets.size(), 1);
    QCOMPARE(spy.args.last(), QList<QVariant>({QStringLiteral("hover")}));
    QCOMPARE(spy.packets.last().size(), 2);
    QVERIFY(!view->currentQuery);
    QVERIFY(view->histogramDialog);
    // The next move over the view closes the dialog.
    mouse(view.get(), QEvent::MouseMove, QPoint(5, 5));
    QVERIFY(!view->histogramDialog);
}

void SequenceWidgetTest::sizes()
{
    Glyphs glyphs;
    auto view = makeView(glyphs);
    sendGlyphs(view.get(), glyphs.rows({"A B C D"}));
    view->setItemSize(50);
    QCOMPARE(view->minimumWidth(), 1 + 4 * 50 + 50);
    QCOMPARE(int(view->sortTriangles[1]->x), 10 + 51);
    view->setVItemSize(50);
    QCOMPARE(view->topOffset, int(0.5 * (300 - 20) + 10));
}

namespace {

// The states, the laid-out items and the runs of a view as text, state by
// state, with the tables that must agree with one another checked.
QStringList describe(SequenceWidget& view)
{
    QStringList out;
    const int states = view.stateCount();
    for (int id = 0; id < states; ++id) {
        QString line = QStringLiteral("%1 %2 %3 %4 %5 %6")
                           .arg(id)
                           .arg(view.countOf(id))
                           .arg(view.keyOf(id), view.pathOf(id), view.colourOf(id).name())
                           .arg(view.eventsOfState(id).size());
        if (view.stateOfKey(view.keyOf(id)) != id)
            line += QStringLiteral(" key elsewhere");
        if (BinItem* item = view.stateItem(id)) {
            if (view.stateOfItem(item) != id)
                line += QStringLiteral(" item elsewhere");
            line += QStringLiteral(" %1,%2 %3x%4 %5 %6 %7")
                        .arg(item->x)
                        .arg(item->y)
                        .arg(item->width())
                        .arg(item->height())
                        .arg(item->name, item->label)
                        .arg(item->visible);
        } else if (id > 0) {
            line += QStringLiteral(" not laid out");
        }
        out << line;
    }
    int covered = 0;
    for (BinItem* shown : view.shownList()) {
        QString line = QStringLiteral("shown %1,%2 %3 %4 %5")
                           .arg(shown->x)
                           .arg(shown->y)
                           .arg(shown->height())
                           .arg(shown->name)
                           .arg(view.shareOf(shown));
        if (view.mergeMode) {
            const QList<BinItem*> run = view.runItems(shown);
            covered += run.size();
            line += QStringLiteral(" covers %1").arg(run.size());
        }
        out << line;
    }
    if (view.mergeMode && covered != std::max(states - 1, 0))
        out << QStringLiteral("runs differ");
    return out;
}

} // namespace

void SequenceWidgetTest::rebuildMatchesAFreshView_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<bool>("merge");
    const QStringList many = {"A B C D", "A B C E", "A B", "B C D A", "C C C C C C", "A B C D", "_ A"};
    const QStringList few = {"D A", "A"};
    QTest::newRow("fewer states") << many << few << false;
    QTest::newRow("fewer states, merged") << many << few << true;
    QTest::newRow("more states, merged") << few << many << true;
    QTest::newRow("other states of one number") << QStringList({"A B", "A C"})
                                                << QStringList({"B A", "C A"}) << true;
    QTest::newRow("to nothing") << many << QStringList() << true;
    QTest::newRow("from nothing") << QStringList() << many << false;
}

// Tables and items that a view keeps from one build to the next hold
// nothing of the sequences before.
void SequenceWidgetTest::rebuildMatchesAFreshView()
{
    QFETCH(QStringList, before);
    QFETCH(QStringList, after);
    QFETCH(bool, merge);
    Glyphs glyphs;
    auto used = makeView(glyphs);
    auto fresh = makeView(glyphs);
    used->setMergeMode(merge);
    fresh->setMergeMode(merge);
    sendGlyphs(used.get(), glyphs.rows(before));
    used->setSort(1);
    mouse(used.get(), QEvent::MouseMove, QPoint(columnX(0) + 5, TOP + 5));
    mouse(used.get(), QEvent::MouseButtonPress, QPoint(columnX(0) + 5, TOP + 5), Qt::LeftButton);
    used->setMergeMode(!merge);
    used->setMergeMode(merge);
    const Rows next = glyphs.rows(after);
    sendGlyphs(used.get(), next);
    sendGlyphs(fresh.get(), next);
    QCOMPARE(describe(*used), describe(*fresh));
    // A geometry pass keeps them too.
    used->setItemSize(20);
    fresh->setItemSize(20);
    QCOMPARE(describe(*used), describe(*fresh));
    used->setSort(0);
    fresh->setSort(0);
    QCOMPARE(describe(*used), describe(*fresh));
}

void SequenceWidgetTest::buildInPartsMatchesOneBuild_data()
{
    // What happens while the build in parts runs: nothing, a sort, other
    // sequences, a context event.
    QTest::addColumn<QString>("meanwhile");
    QTest::addColumn<bool>("merge");
    QTest::newRow("nothing") << "" << false;
    QTest::newRow("nothing, merged") << "" << true;
    QTest::newRow("a sort") << "sort" << true;
    QTest::newRow("other sequences") << "replace" << true;
    QTest::newRow("a context event") << "context" << false;
    QTest::newRow("an item size while laying out") << "size" << true;
    QTest::newRow("an item size while laying out, not merged") << "size" << false;
}

// A build in parts, one row a part, ends with the states, items, runs and
// shares of a build at once; what is asked for meanwhile is done after it
// or replaces it.
void SequenceWidgetTest::buildInPartsMatchesOneBuild()
{
    QFETCH(QString, meanwhile);
    QFETCH(bool, merge);
    Glyphs glyphs;
    auto parts = makeView(glyphs);
    auto once = makeView(glyphs);
    parts->partsFrom = 0;
    parts->partMs = 0;
    parts->layoutPartsFrom = 0;
    parts->setMergeMode(merge);
    once->setMergeMode(merge);
    const Rows sequences = glyphs.rows({"A B C D", "A B C E", "A B", "B C D A", "C C C C C C", "A B C D", "_ A",
                                        "B C D A", "A B C D"});
    sendGlyphs(parts.get(), meanwhile == QLatin1String("replace") ? glyphs.rows({"X Y", "Z"}) : sequences);
    QVERIFY(parts->building());
    // Nothing of the last rows is shown meanwhile.
    QVERIFY(parts->rows.isEmpty() && parts->shownCount() == 0 && parts->sortTriangles.isEmpty());
    QCoreApplication::processEvents();
    QVERIFY(parts->building());
    if (meanwhile == QLatin1String("replace"))
        sendGlyphs(parts.get(), sequences);
    sendGlyphs(once.get(), sequences);
    if (meanwhile == QLatin1String("sort")) {
        parts->setSort(1);
        once->setSort(1);
    }
    if (meanwhile == QLatin1String("context")) {
        ContextEvent context(nullptr, QList<Context*>());
        QCoreApplication::sendEvent(parts.get(), &context);
        QCoreApplication::sendEvent(once.get(), &context);
    }
    if (meanwhile == QLatin1String("size")) {
        // Once the rows are copied and merged (a turn a row), the states
        // are laid out a cell a turn; a new size starts that again.
        for (int turn = 0; turn < 100 && parts->stateCount() != once->stateCount(); ++turn)
            QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QVERIFY(parts->building());
        QCOMPARE(parts->stateCount(), once->stateCount());
        parts->setItemSize(20);
        once->setItemSize(20);
        QVERIFY(parts->building());
        QCOMPARE(parts->shownCount(), 0);
    }
    QTRY_VERIFY(!parts->building());
    QCOMPARE(describe(*parts), describe(*once));
    QCOMPARE(rowTexts(*parts), rowTexts(*once));
    QCOMPARE(parts->sortColumn, once->sortColumn);
    // Rows that were never shown set no width.
    if (meanwhile != QLatin1String("context"))
        QCOMPARE(parts->minimumWidth(), once->minimumWidth());
    QCOMPARE(parts->lastSequences.size(), once->lastSequences.size());
}

void SequenceWidgetTest::prefixAutomaton()
{
    Glyphs glyphs;
    auto view = makeView(glyphs);
    QVERIFY(!view->prefixAutomaton());
    sendGlyphs(view.get(), glyphs.rows({"A B", "A C", "D"}));
    Automaton* automaton = view->prefixAutomaton();
    QVERIFY(automaton);
    QCOMPARE(view->prefixAutomaton(), automaton);
    QCOMPARE(automaton->start(), view->startState);
    QCOMPARE(automaton->stateList.size(), view->stateCount());
    // One unlabelled edge into every state but the start, in the order
    // the rows reached them.
    QStringList edges;
    for (const Node& state : automaton->stateList) {
        for (const Edge* edge : automaton->outEdges(state)) {
            QCOMPARE(edge->label ? int(edge->label->type) : -1, int(ParseNode::Epsilon));
            edges << view->keyOf(state.id) + QStringLiteral(">") + view->keyOf(edge->to.id);
        }
    }
    QCOMPARE(edges, QStringList({">A", ">D", "A>A.B", "A>A.C", "D>D.<dummy>"}));
    // A merge replaces it.
    view->setSort(1);
    QCOMPARE(view->prefixAutomaton()->stateList.size(), view->stateCount());
}

// A state with many children finds each of them again, also those it had
// before it grew wide.
void SequenceWidgetTest::manyBranchesAtOneState()
{
    Glyphs glyphs;
    auto view = makeView(glyphs);
    QStringList sequences;
    for (int k = 0; k < 40; ++k)
        sequences << QStringLiteral("N%1 A").arg(k);
    for (int k = 0; k < 40; k += 3)
        sequences << QStringLiteral("N%1 B").arg(k) << QStringLiteral("N%1 A").arg(k);
    sendGlyphs(view.get(), glyphs.rows(sequences));
    QCOMPARE(view->stateCount(), 1 + 40 + 40 + 14);
    auto count = [&view](const QString& key) {
        const int state = view->stateOfKey(key);
        return state < 0 ? -1 : view->countOf(state);
    };
    QCOMPARE(count(QString()), 40 + 28);
    QCOMPARE(count(QStringLiteral("N0")), 3);
    QCOMPARE(count(QStringLiteral("N0.A")), 2);
    QCOMPARE(count(QStringLiteral("N39.A")), 2);
    QCOMPARE(count(QStringLiteral("N39.B")), 1);
    QCOMPARE(count(QStringLiteral("N38")), 1);
    QCOMPARE(count(QStringLiteral("N38.B")), -1);
}

void SequenceWidgetTest::alignmentThatCannotComplete_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("message");   // a part of it; empty: none
    QTest::newRow("too large to start") << "limit below the start" << "was not started: it needs about";
    QTest::newRow("a profile too wide") << "limit below a profile" << "was stopped: it needs more than the";
    QTest::newRow("too large for its rows") << "limit below the rows" << "was stopped: it needs about";
    QTest::newRow("out of memory while aligning") << "fail Aligning 2" << "ran out of memory and was stopped";
    QTest::newRow("out of memory in the view's merge") << "fail LayingOut 1" << "ran out of memory and was stopped";
    QTest::newRow("cancelled at the guide tree") << "cancel guide tree" << "";
    QTest::newRow("cancelled while aligning") << "cancel Aligning" << "";
    QTest::newRow("cancelled before the rows") << "cancel Laying out" << "";
}

// An alignment that cannot complete leaves the rows unaligned, switches
// the alignment off and says why, unless the analyst cancelled it; the
// sequences stay for the next try.
void SequenceWidgetTest::alignmentThatCannotComplete()
{
    QFETCH(QString, how);
    QFETCH(QString, message);
    BudgetReset reset;
    Glyphs glyphs;
    auto view = makeView(glyphs);
    DebugCapture capture;
    capture.setForward(false);
    const Rows input = glyphs.rows({"A B C D", "A B C E", "A C D E", "F", "A B C E"});
    sendGlyphs(view.get(), input);
    const QStringList unaligned = rowTexts(*view);
    const int paddingGaps = view->gapItems.size();

    AlignmentBudget probe(std::numeric_limits<qint64>::max());
    Rows distinct = input;
    distinct.items.pop_back();
    const Rows probed = SequenceWidget::computeAlignment(distinct, &probe);
    std::set<BinItem*> gaps;
    for (const auto& row : probed)
        for (BinItem* item : row)
            if (std::find(glyphs.owned.begin(), glyphs.owned.end(), item) == glyphs.owned.end())
                gaps.insert(item);
    for (BinItem* gap : gaps)
        delete gap;

    std::unique_ptr<Canceller> canceller;
    const QStringList words = how.split(QLatin1Char(' '));
    if (how == QLatin1String("limit below the start"))
        AlignmentBudget::setLimitOverride(probe.resultBytes(4, 4) - 1);
    else if (how == QLatin1String("limit below a profile"))
        AlignmentBudget::setLimitOverride(probe.resultBytes(4, 4));
    else if (how == QLatin1String("limit below the rows"))
        AlignmentBudget::setLimitOverride(probe.needed - 1);
    else if (words.first() == QLatin1String("fail"))
        AlignmentBudget::setAllocationFailure(words[1] == QLatin1String("Aligning") ? AlignmentBudget::Aligning
                                                                                     : AlignmentBudget::LayingOut,
                                              words[2].toInt());
    if (words.first() == QLatin1String("cancel")) {
        view->progressDelay = 0;
        canceller = std::make_unique<Canceller>(view.get(), how.mid(7));
    }

    Messages messages;
    QSignalSpy dropped(view.get(), &SequenceWidget::alignmentDropped);
    view->setMSA(true);
    QCOMPARE(dropped.count(), 1);
    QVERIFY(!view->msaOn);
    QCOMPARE(rowTexts(*view), unaligned);
    QCOMPARE(view->countOf(0), 5);
    QCOMPARE(view->gapItems.size(), paddingGaps);
    QVERIFY(view->findChildren<QProgressDialog*>().isEmpty());
    if (message.isEmpty()) {
        QVERIFY(messages.requests.isEmpty());
        QVERIFY2(canceller && canceller->poller.isActive() == false, qPrintable(canceller->seen.join('|')));
    } else {
        QCOMPARE(messages.requests.size(), 1);
        const MessageAsker::Request& box = messages.requests.first();
        QCOMPARE(box.title, QStringLiteral("Multiple Sequence Alignment"));
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(box.parent, view->window());
        QVERIFY2(box.text.contains(message), qPrintable(box.text));
        QVERIFY(box.text.contains(QStringLiteral("The alignment of 4 distinct sequences")));
        QVERIFY(box.text.endsWith(QStringLiteral("The sequences are shown unaligned.")));
    }
    QVERIFY(!view->grab().isNull());

    // With room, the same sequences align.
    AlignmentBudget::setLimitOverride(0);
    AlignmentBudget::setAllocationFailure(AlignmentBudget::Clustering, -1);
    canceller.reset();
    view->setMSA(true);
    QVERIFY(view->msaOn);
    QCOMPARE(view->columnCount(), 5);
    QCOMPARE(view->countOf(0), 5);
    QCOMPARE(dropped.count(), 1);
    QCOMPARE(messages.requests.size(), message.isEmpty() ? 0 : 1);
}

void SequenceWidgetTest::rebuildAskedForWhileAligning_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<bool>("aligned");
    QTest::addColumn<QStringList>("rows");   // sorted, gaps left out
    QTest::newRow("a new selection") << "glyphs" << true << QStringList({"X Y", "X Z"});
    QTest::newRow("the alignment switched off") << "off" << false << QStringList({"A B C", "A C"});
    QTest::newRow("a penalty changed") << "recompute" << true << QStringList({"A B C", "A C"});
    QTest::newRow("a new context") << "context" << true << QStringList();
    QTest::newRow("the pane opened") << "build" << true << QStringList({"X Y", "X Z"});
    QTest::newRow("a column sorted") << "sort" << true << QStringList({"A B C", "A C"});
}

// A rebuild asked for while an alignment lets events through stops it and
// runs once it has unwound, on sequences copied when it was asked for.
void SequenceWidgetTest::rebuildAskedForWhileAligning()
{
    QFETCH(QString, request);
    QFETCH(bool, aligned);
    QFETCH(QStringList, rows);
    Glyphs glyphs;
    auto view = makeView(glyphs);
    DebugCapture capture;
    capture.setForward(false);
    Messages messages;
    view->progressDelay = 0;
    view->setMSA(true);
    QSignalSpy dropped(view.get(), &SequenceWidget::alignmentDropped);

    bool asked = false;
    QTimer once;
    once.setSingleShot(true);
    connect(&once, &QTimer::timeout, view.get(), [&]() {
        asked = true;
        // The sender's items go right after it sent them.
        auto other = std::make_unique<Glyphs>();
        const Rows next = other->rows({"X Y", "X Z"});
        if (request == QLatin1String("glyphs")) {
            sendGlyphs(view.get(), next);
        } else if (request == QLatin1String("build")) {
            view->showSequences(next);
        } else if (request == QLatin1String("off")) {
            view->setMSA(false);
        } else if (request == QLatin1String("recompute")) {
            view->recompute();
        } else if (request == QLatin1String("sort")) {
            view->setSort(1);
        } else {
            ContextEvent context(nullptr, QList<Context*>());
            QCoreApplication::sendEvent(view.get(), &context);
        }
    });
    once.start(0);
    sendGlyphs(view.get(), glyphs.rows({"A B C", "A C", "A C"}));
    QVERIFY(asked);
    QCOMPARE(view->msaOn, request != QLatin1String("off"));
    QCOMPARE(dropped.count(), 0);
    QVERIFY(messages.requests.isEmpty());
    QVERIFY(view->findChildren<QProgressDialog*>().isEmpty());
    QCOMPARE(rowTexts(*view, false), rows);
    QCOMPARE(view->sortColumn, request == QLatin1String("sort") ? 1 : 0);
    if (!rows.isEmpty()) {
        // Aligned rows have their gap inside, padded ones at the end.
        bool inner = false;
        for (const TList<BinItem*>& row : view->rows.items)
            for (int c = 0; c + 1 < row.size(); ++c)
                inner = inner || (SequenceWidget::isGap(row[c]) && !SequenceWidget::isGap(row[c + 1]));
        QCOMPARE(inner, aligned && request != QLatin1String("glyphs") && request != QLatin1String("build"));
    }
    QVERIFY(!view->grab().isNull());
}

void SequenceWidgetTest::guideTreeThatIsStopped_data()
{
    QTest::addColumn<bool>("helpers");
    QTest::addColumn<bool>("merging");   // where it stops: the merges, else the distance table
    QTest::addColumn<bool>("superseded");   // by a new selection, else cancelled
    QTest::newRow("cancelled in the distance table, on helpers") << true << false << false;
    QTest::newRow("cancelled in the distance table, on the window's thread") << false << false << false;
    QTest::newRow("cancelled while the tree merges") << false << true << false;
    QTest::newRow("a new selection while the table is built") << true << false << true;
}

// The guide tree of many sequences stops where it is when the alignment is
// cancelled or superseded, and the view goes on as it does when that
// happens later: the rows unaligned and the alignment off, or the new
// selection aligned.
void SequenceWidgetTest::guideTreeThatIsStopped()
{
    QFETCH(bool, helpers);
    QFETCH(bool, merging);
    QFETCH(bool, superseded);
    Restore<int> parallel(EventWidget::parallelClustering, helpers ? 1 : std::numeric_limits<int>::max());
    Glyphs glyphs;
    auto view = makeView(glyphs);
    DebugCapture capture;
    capture.setForward(false);
    const int n = 400;
    sendGlyphs(view.get(), glyphs.rows(distinctTexts(n)));
    const QStringList unaligned = rowTexts(*view);
    view->progressDelay = 0;
    view->progressInterval = 0;

    // The dialog counts the steps of the tree once the tree reports them:
    // the rows of the distance table, then the merges.
    std::unique_ptr<Glyphs> other;
    std::function<void()> supersede;
    if (superseded)
        supersede = [&]() {
            other = std::make_unique<Glyphs>();
            sendGlyphs(view.get(), other->rows({"X Y", "X Z"}));
        };
    Canceller watcher(view.get(), QStringLiteral("guide tree"),
                      [n, merging](const QProgressDialog& dialog) {
                          return dialog.maximum() == 2 * n - 1 && (dialog.value() > n) == merging;
                      },
                      supersede);
    Messages messages;
    QSignalSpy dropped(view.get(), &SequenceWidget::alignmentDropped);
    const quint64 before = EventWidget::sequenceDistanceCount();
    view->setMSA(true);
    const quint64 computed = EventWidget::sequenceDistanceCount() - before;
    const quint64 table = quint64(n) * (n + 1) / 2;
    QVERIFY(!watcher.poller.isActive());
    QVERIFY(view->findChildren<QProgressDialog*>().isEmpty());
    QVERIFY(messages.requests.isEmpty());
    QCOMPARE(view->msaOn, superseded);
    QCOMPARE(dropped.count(), superseded ? 0 : 1);
    if (superseded) {
        QCOMPARE(rowTexts(*view, false), QStringList({"X Y", "X Z"}));
    } else {
        QCOMPARE(rowTexts(*view), unaligned);
        QCOMPARE(view->countOf(0), n);
    }
    QVERIFY2(merging ? computed == table : computed < table, qPrintable(QString::number(computed)));
}

void SequenceWidgetTest::stoppedAlignmentMatchesAFreshView_data()
{
    QTest::addColumn<QStringList>("shown");   // empty: the stored sequences
    QTest::addColumn<bool>("sorted");
    QTest::addColumn<bool>("parts");   // unaligned builds in parts
    const QStringList other{"B C D", "A C", "X", "Y Z"};
    QTest::newRow("the rows shown") << QStringList() << false << false;
    QTest::newRow("the rows shown, sorted") << QStringList() << true << false;
    QTest::newRow("other rows shown") << other << false << false;
    QTest::newRow("the rows shown, built in parts") << QStringList() << false << true;
    QTest::newRow("other rows shown, built in parts") << other << false << true;
}

// An alignment that stops leaves the view as a fresh view shows the stored
// sequences unaligned, whatever it showed before.
void SequenceWidgetTest::stoppedAlignmentMatchesAFreshView()
{
    QFETCH(QStringList, shown);
    QFETCH(bool, sorted);
    QFETCH(bool, parts);
    BudgetReset reset;
    Glyphs glyphs;
    auto used = makeView(glyphs);
    auto fresh = makeView(glyphs);
    if (parts) {
        used->partsFrom = 1;
        fresh->partsFrom = 1;
    }
    auto built = [](SequenceWidget* view) {
        QElapsedTimer waited;
        waited.start();
        while (view->building() && waited.elapsed() < 10000)
            QCoreApplication::processEvents();
        return !view->building();
    };
    DebugCapture capture;
    capture.setForward(false);
    Messages messages;
    // Column 1 sorts them into another order.
    const Rows stored = glyphs.rows({"A C X", "B B", "A B C D", "A C", "A B C D"});
    sendGlyphs(used.get(), stored);
    if (!shown.isEmpty())
        used->buildSequences(glyphs.rows(shown));
    QVERIFY(built(used.get()));
    if (sorted)
        used->setSort(1);
    AlignmentBudget::setLimitOverride(1);
    used->setMSA(true);
    QVERIFY(!used->msaOn);
    // Said at once, also while other rows are built in parts.
    QCOMPARE(messages.requests.size(), 1);
    QCOMPARE(used->building(), parts && !shown.isEmpty());
    QVERIFY(built(used.get()));
    sendGlyphs(fresh.get(), stored);
    QVERIFY(built(fresh.get()));
    QCOMPARE(describe(*used), describe(*fresh));
    QCOMPARE(rowTexts(*used), rowTexts(*fresh));
    QCOMPARE(used->sortColumn, 0);
    QCOMPARE(used->sortTriangles.size(), fresh->sortTriangles.size());
    QCOMPARE(used->sortTriangles.first()->state, fresh->sortTriangles.first()->state);
    QCOMPARE(used->sortTriangles.last()->x, fresh->sortTriangles.last()->x);
}

namespace {

QString number(double v) { return QString::number(v, 'g', 17); }

// Everything the view shows and answers of its rows as text: the states,
// the row items' states, the laid-out and shown cells with their shares
// and events, the overlay, and at points across the view the cell a click
// selects and the tooltip a hover gives.
QString snapshot(SequenceWidget& view, const Glyphs& glyphs)
{
    QHash<const Packet*, int> eventIds;
    for (std::size_t k = 0; k < glyphs.events.size(); ++k)
        eventIds.insert(glyphs.events[k].data(), int(k));
    auto ids = [&eventIds](const TList<PacketPtr>& events) {
        QStringList out;
        for (const PacketPtr& event : events.items)
            out << QString::number(eventIds.value(event.data(), -1));
        return out.join(QLatin1Char(','));
    };
    auto cell = [](const BinItem* item) {
        return QStringList{number(item->x), number(item->y), number(item->width()), number(item->height()),
                           item->name, item->label, QString::number(item->visible),
                           item->fillColor.name(QColor::HexArgb)}
            .join(QLatin1Char(' '));
    };
    QStringList out;
    for (int s = 0; s < view.stateCount(); ++s) {
        QString line = QStringLiteral("state %1 %2 %3 [%4] [%5] %6 {%7}")
                           .arg(s)
                           .arg(view.parentOf(s))
                           .arg(view.countOf(s))
                           .arg(view.keyOf(s), view.pathOf(s), view.colourOf(s).name(QColor::HexArgb),
                                ids(view.eventsOfState(s)));
        if (view.stateOfKey(view.keyOf(s)) != s)
            line += QStringLiteral(" key elsewhere");
        if (BinItem* item = view.stateItem(s)) {
            line += QStringLiteral(" cell ") + cell(item);
            if (view.stateOfItem(item) != s)
                line += QStringLiteral(" item elsewhere");
        }
        out << line;
    }
    for (int r = 0; r < view.rows.size(); ++r) {
        QStringList states;
        for (int c = 0; c < view.rows[r].size(); ++c)
            states << QString::number(view.stateAt(r, c));
        out << QStringLiteral("row ") + states.join(QLatin1Char(' '));
    }
    const QList<BinItem*> shown = view.shownList();
    for (int k = 0; k < shown.size(); ++k) {
        QStringList covered;
        for (const BinItem* item : view.runItems(shown[k]))
            covered << QString::number(view.stateOfItem(item));
        out << QStringLiteral("shown %1 %2 %3 {%4} [%5]")
                   .arg(cell(shown[k]), number(view.shareOf(shown[k])), ids(view.eventsOf(shown[k])),
                        covered.join(QLatin1Char(' ')))
                   .arg(view.stateOfItem(shown[k]));
    }
    for (const QPainterPath& path : view.overlayPaths.items) {
        QStringList points;
        for (int e = 0; e < path.elementCount(); ++e)
            points << QStringLiteral("%1:%2,%3").arg(int(path.elementAt(e).type))
                          .arg(number(path.elementAt(e).x), number(path.elementAt(e).y));
        out << QStringLiteral("overlay ") + points.join(QLatin1Char(' '));
    }
    for (int y = TOP - 1; y < 300; y += 5) {
        for (int x = 8; x < 400; x += 6) {
            mouse(&view, QEvent::MouseMove, QPoint(x, y));
            const QString tip = QToolTip::isVisible() ? QToolTip::text() : QString();
            mouse(&view, QEvent::MouseButtonPress, QPoint(x, y), Qt::LeftButton);
            int selected = -1;
            int highlighted = 0;
            const QList<BinItem*> now = view.shownList();
            for (int k = 0; k < now.size(); ++k) {
                if (now[k]->selected && selected < 0)
                    selected = k;
                highlighted += now[k]->highlighted;
            }
            if (selected >= 0 || !tip.isEmpty())
                out << QStringLiteral("at %1,%2 %3 %4 %5 %6")
                           .arg(x)
                           .arg(y)
                           .arg(selected)
                           .arg(highlighted)
                           .arg(view.clickedEvents.size())
                           .arg(tip);
        }
    }
    return out.join(QLatin1Char('\n'));
}

} // namespace

void SequenceWidgetTest::viewsAsRecorded_data()
{
    QTest::addColumn<QStringList>("sequences");
    QTest::addColumn<bool>("merge");
    QTest::addColumn<bool>("align");
    QTest::addColumn<QString>("sorts");
    QTest::addColumn<QString>("query");
    QTest::addColumn<bool>("lines");
    QTest::addColumn<QString>("digest");
    const QStringList stacked{"A B", "A B", "A B", "C B"};
    const QStringList mixed{"A B C", "A C", "B", "A B C D E", "_ A", "X.Y Z", "A C", "B B B"};
    const QStringList aligned{"A B C D", "A C", "B D", "A D", "C", "A C", "D D"};
    const QStringList queried{"A B C", "A B D", "A C", "B C", "A B C", "C"};
    const QStringList crowded = distinctTexts(300);
    QTest::newRow("stacked") << stacked << true << false << "" << "" << false
                  << "239995067dc7097aa960faaca80cdd38db27a036";
    QTest::newRow("stacked, not merged") << stacked << false << false << "" << "" << false
                  << "7e08f44da28d3ae77a98a8e26f0335f6065788a6";
    QTest::newRow("gaps and names") << mixed << true << false << "" << "" << false
                  << "2a634305651670caefea3e2bec0e8f6dacb98407";
    QTest::newRow("gaps and names, not merged") << mixed << false << false << "" << "" << false
                  << "4a0202259136f8db16b35453d1e0c72d44c312ac";
    QTest::newRow("sorted twice") << mixed << true << false << "1 1" << "" << false
                  << "e83278bb373e9b9f4402c84415710bf91d929b5b";
    QTest::newRow("sorted columns") << mixed << false << false << "2 0 3" << "" << false
                  << "a553d1dc7aa66a908a2d0d5bb6077ad006cdbb84";
    QTest::newRow("aligned") << aligned << true << true << "" << "" << false
                  << "145617ea53cb80e76dea004900b87ce87aebbd36";
    QTest::newRow("aligned, not merged") << aligned << false << true << "" << "" << false
                  << "d2a9bb8f17b989f0cd86ad309bfb812470de2358";
    QTest::newRow("aligned, sorted") << aligned << true << true << "2" << "" << false
                  << "35900921c218e6575cc3ffb0e63b8a3761da92e6";
    QTest::newRow("overlay ribbon") << queried << false << false << "" << "kind == C" << false
                  << "fb46e735cd963c0ae55ec1983c235bc0b395f367";
    QTest::newRow("overlay lines") << queried << false << false << "" << "kind == B" << true
                  << "8e0d519484698cd3a2fb4f8bb2e189729995bc22";
    QTest::newRow("overlay, merged and sorted") << queried << true << false << "1" << "kind == C" << false
                  << "951b30123de66bbedcf4867b39a2ff256b2c7093";
    QTest::newRow("crowded") << crowded << false << false << "" << "" << false
                  << "f7ffe5290dc4e97481e88b3b0c8f4e5c266ac5c6";
    QTest::newRow("crowded, merged") << crowded << true << false << "" << "" << false
                  << "b895c16ea5d16eb2d5e6b1a8db5c0a09092b7215";
    QTest::newRow("crowded, sorted, overlay") << crowded << true << false << "3" << "kind == E" << false
                  << "55365d13f531da493949880147f9c3cd008527e5";
    QTest::newRow("crowded, aligned") << distinctTexts(60) << false << true << "" << "kind == A" << false
                  << "4d666d2648e21c0fdecb64f610c5bb15e0941495";
    QTest::newRow("crowded, aligned, merged") << distinctTexts(60) << true << true << "" << "" << false
                  << "a3f55ef97063a0633d7ab60305329fe50de734d1";
}

// The views of varied rows are as they were recorded before the view's
// tables were made lean: every state, cell, run, share, event, overlay
// point, click and tooltip.
void SequenceWidgetTest::viewsAsRecorded()
{
    QFETCH(QStringList, sequences);
    QFETCH(bool, merge);
    QFETCH(bool, align);
    QFETCH(QString, sorts);
    QFETCH(QString, query);
    QFETCH(bool, lines);
    QFETCH(QString, digest);
    Glyphs glyphs;
    auto view = makeView(glyphs);
    DebugCapture capture;
    capture.setForward(false);
    view->setMergeMode(merge);
    view->setDrawLines(lines);
    view->setMSA(align);
    sendGlyphs(view.get(), glyphs.rows(sequences));
    for (const QString& column : sorts.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        view->setSort(column.toInt());
    if (!query.isEmpty())
        view->hoverQuery(ConditionParser::parse(query));
    const QString text = snapshot(*view, glyphs);
    const QString got =
        QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha1).toHex());
    const QByteArray dump = qgetenv("SEQUENCE_SNAPSHOTS");
    if (!dump.isEmpty()) {
        QFile file(QString::fromLocal8Bit(dump) + QLatin1Char('/') + QString::fromLatin1(QTest::currentDataTag()));
        if (file.open(QIODevice::WriteOnly))
            file.write(text.toUtf8());
    }
    QCOMPARE(got, digest);
}

void SequenceWidgetTest::sequencesLetGoWhileCopied_data()
{
    QTest::addColumn<bool>("whileCopying");
    QTest::newRow("while they are copied") << true;
    QTest::newRow("once they are copied") << false;
}

// Many sequences are copied a row a part; once a cell has let its items go
// meanwhile (as the matrix does at a rebuild) none of the sequences is read
// again: the view empties, stores none and says so.
void SequenceWidgetTest::sequencesLetGoWhileCopied()
{
    QFETCH(bool, whileCopying);
    Glyphs glyphs;
    auto view = makeView(glyphs);
    view->partsFrom = 0;
    view->partMs = 0;
    QSignalSpy gone(view.get(), &SequenceWidget::sequencesGone);
    const QStringList texts = distinctTexts(30);
    sendGlyphs(view.get(), glyphs.rows(texts));
    QVERIFY(view->building());
    QCoreApplication::processEvents();
    if (!whileCopying) {
        while (view->lastSequences.size() < texts.size())
            QCoreApplication::processEvents();
    }
    {
        BinCell cell(glyphs.control.get(), nullptr, QStringLiteral("All"), nullptr);
        cell.clearData();
    }
    glyphs.clear();
    QTRY_VERIFY(!view->building());
    QCOMPARE(gone.count(), whileCopying ? 1 : 0);
    QCOMPARE(view->lastSequences.size(), whileCopying ? 0 : texts.size());
    QCOMPARE(view->rows.size(), whileCopying ? 0 : texts.size());
    QCOMPARE(view->shownCount() > 0, !whileCopying);
    // The view goes on as usual.
    view->setMSA(true);
    QCOMPARE(view->rows.size(), whileCopying ? 0 : texts.size());
    QVERIFY(!view->grab().isNull());
}

void SequenceWidgetTest::copiesLetGoInTheBackground_data()
{
    QTest::addColumn<int>("remaining");
    QTest::addColumn<bool>("inParts");
    QTest::newRow("a cleared selection") << 0 << false;
    QTest::newRow("a smaller selection") << 40 << false;
    QTest::newRow("a smaller selection copied in parts") << 40 << true;
}

// Many stored copies that a new selection does not reuse are freed on the
// background thread, not on the one that empties the view; the view shows
// what a fresh one shows.
void SequenceWidgetTest::copiesLetGoInTheBackground()
{
    QFETCH(int, remaining);
    QFETCH(bool, inParts);
    Glyphs glyphs;
    auto view = makeView(glyphs);
    auto fresh = makeView(glyphs);
    sendGlyphs(view.get(), glyphs.rows(distinctTexts(1500)));
    QVERIFY(!view->building());
    // The view's copies hold the only references to these events.
    std::vector<QWeakPointer<Packet>> stored(glyphs.events.begin(), glyphs.events.end());
    QVERIFY(stored.size() > 4096);
    glyphs.clear();
    glyphs.events.clear();
    const Rows next = glyphs.rows(distinctTexts(remaining));
    int nextGlyphs = 0;
    for (const TList<BinItem*>& row : next)
        nextGlyphs += row.size();
    const auto alive = [&stored]() {
        return int(std::count_if(stored.begin(), stored.end(), [](const QWeakPointer<Packet>& p) { return !p.isNull(); }));
    };
    {
        const deferredrelease::Pause pause;
        if (inParts) {
            view->partsFrom = 0;
            view->partMs = 0;
        }
        sendGlyphs(view.get(), next);
        QTRY_VERIFY(!view->building());
        // The copies reused for the new selection let go of their events;
        // the others wait for the background thread.
        QCOMPARE(alive(), int(stored.size()) - nextGlyphs);
    }
    deferredrelease::waitForAll();
    QCOMPARE(alive(), 0);
    sendGlyphs(fresh.get(), next);
    QCOMPARE(rowTexts(*view), rowTexts(*fresh));
    QCOMPARE(describe(*view), describe(*fresh));
}

namespace {

// A view whose paint runs out of memory, as a paint does that cannot have
// the memory for its picture.
class FailingPaint : public QWidget
{
protected:
    void paintEvent(QPaintEvent*) override
    {
        HandlerGuard::paint(this, [] { throw std::bad_alloc(); });
    }
};

} // namespace

void SequenceWidgetTest::failureInAnotherHandlerOfTheLoop_data()
{
    // The loop: the alignment's progress, which lets events through, or
    // the histogram dialog that "Inspect frequencies.." runs. The failure:
    // none, one before the loop, a handler or a paint that ran out of
    // memory while the loop ran (each ended in its own guard).
    QTest::addColumn<QString>("loop");
    QTest::addColumn<QString>("failure");
    QTest::newRow("alignment, nothing fails") << "alignment" << "none";
    QTest::newRow("alignment, a failure before it") << "alignment" << "before";
    QTest::newRow("alignment, a handler fails meanwhile") << "alignment" << "handler";
    QTest::newRow("alignment, a paint fails meanwhile") << "alignment" << "paint";
    QTest::newRow("histogram dialog, nothing fails") << "histogram" << "none";
    QTest::newRow("histogram dialog, a handler fails meanwhile") << "histogram" << "handler";
}

// An operation that lets events through fails as a whole when anything
// ran out of memory while it did, though the failure was ended elsewhere:
// the alignment stops with its rollback and its message, the histogram
// dialog goes with its query; a failure before the loop changes nothing.
void SequenceWidgetTest::failureInAnotherHandlerOfTheLoop()
{
    QFETCH(QString, loop);
    QFETCH(QString, failure);
    Glyphs glyphs;
    auto view = makeView(glyphs);
    DebugCapture capture;
    capture.setForward(false);
    const Rows input = glyphs.rows({"A B C D", "A B C E", "A C D E", "F", "A B C E"});
    sendGlyphs(view.get(), input);
    const QStringList unaligned = rowTexts(*view);
    // What an alignment that never failed shows.
    QStringList aligned;
    {
        auto reference = makeView(glyphs);
        sendGlyphs(reference.get(), input);
        reference->setMSA(true);
        aligned = rowTexts(*reference);
    }
    QVERIFY(aligned != unaligned);
    view->progressDelay = 0;
    view->progressInterval = 0;

    Messages messages;
    FailingPaint painted;
    painted.resize(20, 20);
    auto fail = [&]() {
        if (failure == QLatin1String("paint"))
            painted.grab();
        else
            HandlerGuard::run([] { throw std::bad_alloc(); });
    };
    if (failure == QLatin1String("before"))
        fail();
    const unsigned long failuresBefore = HandlerGuard::failures();
    bool failed = false;
    QTimer during;
    during.setSingleShot(true);
    connect(&during, &QTimer::timeout, view.get(), [&]() {
        if (failure == QLatin1String("handler") || failure == QLatin1String("paint")) {
            fail();
            failed = true;
        }
        if (view->histogramDialog)
            view->histogramDialog->reject();
    });
    const bool fails = failure == QLatin1String("handler") || failure == QLatin1String("paint");
    QSignalSpy dropped(view.get(), &SequenceWidget::alignmentDropped);

    if (loop == QLatin1String("alignment")) {
        during.start(0);
        view->setMSA(true);
        QCOMPARE(failed, fails);
        QCOMPARE(HandlerGuard::failures() - failuresBefore, fails ? 1UL : 0UL);
        QCoreApplication::processEvents();
        QStringList said;
        for (const MessageAsker::Request& box : messages.requests)
            said << box.title + QStringLiteral(": ") + box.text;
        if (!fails) {
            QVERIFY(view->msaOn);
            QCOMPARE(rowTexts(*view), aligned);
            QCOMPARE(dropped.count(), 0);
            QVERIFY2(said.filter(QStringLiteral("Multiple Sequence Alignment")).isEmpty(), qPrintable(said.join('|')));
            return;
        }
        // Stopped as out of memory: unaligned, switched off, said once.
        QVERIFY(!view->msaOn);
        QCOMPARE(dropped.count(), 1);
        QCOMPARE(rowTexts(*view), unaligned);
        QCOMPARE(view->countOf(0), 5);
        QVERIFY(view->findChildren<QProgressDialog*>().isEmpty());
        const QStringList alignment = said.filter(QStringLiteral("Multiple Sequence Alignment: "));
        QCOMPARE(alignment.size(), 1);
        QVERIFY2(alignment.first().contains(QStringLiteral("ran out of memory and was stopped")),
                 qPrintable(alignment.first()));
        QVERIFY2(said.size() <= 2, qPrintable(said.join('|')));
        // Again, with nothing failing: aligned as by a run that never failed.
        view->setMSA(true);
        QVERIFY(view->msaOn);
        QCOMPARE(rowTexts(*view), aligned);
        return;
    }

    const QList<BinItem*> first = column(*view, 0);
    mouse(view.get(), QEvent::MouseMove, centre(first[0]));
    during.start(0);
    view->inspectFreq();
    QCOMPARE(failed, fails);
    QVERIFY(!view->currentQuery);
    QVERIFY(view->overlayPaths.isEmpty());
    // Kept until the next mouse move after a whole inspection only.
    QCOMPARE(view->histogramDialog != nullptr, !fails);
    QVERIFY(!view->grab().isNull());
}

LUMIVANE_TEST(SequenceWidgetTest)

#include "SequenceWidgetTest.moc"
