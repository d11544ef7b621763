#include "DebugCapture.h"
#include "FileAnswers.h"
#include "Restore.h"
#include "SequenceFixture.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"

#include "app/MainWindow.h"
#include "core/Constants.h"
#include "app/MessageAsker.h"
#include "app/SettingsWidget.h"
#include "views/events/BinCell.h"
#include "views/sequences/RuleOverviewWidget.h"
#include "events/GlyphsEvent.h"
#include "events/PacketsEvent.h"
#include "import/OpenWidget.h"
#include "views/attributes/AttributeWidget.h"
#include "views/attributes/ConversationWidget.h"
#include "views/charts/LineChart.h"
#include "views/charts/RibbonLineWidget.h"
#include "views/events/EventWidget.h"
#include "views/events/RibbonEventWidget.h"
#include "views/sequences/AlignmentBudget.h"
#include "views/sequences/RibbonSequenceWidget.h"
#include "views/sequences/SequenceAlignment.h"
#include "views/sequences/SequenceWidget.h"

#include <QCheckBox>
#include <QComboBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QtTest>

#include <memory>

using sequencefixture::Glyphs;
using sequencefixture::Rows;

namespace {

void sendGlyphs(SequenceWidget* view, const Rows& sequences)
{
    GlyphsEvent event(nullptr, sequences, {QStringLiteral("select")});
    QCoreApplication::sendEvent(view, &event);
}

// Answers every message box with Ok while it lives.
class QuietBoxes
{
public:
    QuietBoxes()
    {
        previous = MessageAsker::setHandler([](const MessageAsker::Request&) { return QMessageBox::Ok; });
    }
    ~QuietBoxes() { MessageAsker::setHandler(previous); }

private:
    MessageAsker::Handler previous;
};

// The events of the sequences' glyphs (gaps have none), stacked twins
// included, in one order.
QList<const Packet*> eventsIn(const Rows& sequences, const QHash<BinItem*, TList<BinItem*>>& twins = {})
{
    QList<const Packet*> events;
    auto add = [&events](const BinItem* item) {
        for (const QSharedPointer<Packet>& p : item->packets.items)
            events << p.data();
    };
    for (const TList<BinItem*>& sequence : sequences.items) {
        for (BinItem* item : sequence.items) {
            if (!item)
                continue;
            add(item);
            for (const BinItem* twin : twins.value(item).items)
                add(twin);
        }
    }
    std::sort(events.begin(), events.end());
    return events;
}

} // namespace

class RibbonSequenceWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { insertionCost = -1; substitutionCost = -1; }
    void controlsAtStart();
    void sliderAppliesOnceAfterPause();
    void fit_data();
    void fit();
    void gapPenaltyRealignsAtOnce();
    void activationFollowsTheButton();
    void switchesShowTheSelection_data();
    void switchesShowTheSelection();
    void droppedAlignmentUnchecksTheSwitch();
    void paneFollowsEverySelection_data();
    void paneFollowsEverySelection();
};

void RibbonSequenceWidgetTest::controlsAtStart()
{
    Glyphs glyphs;
    RibbonSequenceWidget ribbon(glyphs.control.get(), nullptr);
    QVERIFY(ribbon.active);
    QVERIFY(!ribbon.fitButton->icon().isNull());
    QVERIFY(!ribbon.mergeButton->icon().isNull());
    // The penalty boxes show the negated costs.
    QCOMPARE(ribbon.gapPenaltyBox->value(), -insertionCost);
    QCOMPARE(ribbon.substitutionPenaltyBox->value(), -substitutionCost);

    // Merge mode and its button agree; the first click turns it off.
    QVERIFY(ribbon.mergeButton->isChecked());
    QVERIFY(ribbon.sequenceView->mergeMode);
    ribbon.mergeButton->click();
    QVERIFY(!ribbon.sequenceView->mergeMode);
    ribbon.alignmentButton->click();
    QVERIFY(ribbon.alignment && ribbon.sequenceView->msaOn);
    ribbon.linesBox->click();
    QVERIFY(ribbon.sequenceView->drawLines);
}

void RibbonSequenceWidgetTest::sliderAppliesOnceAfterPause()
{
    Glyphs glyphs;
    RibbonSequenceWidget ribbon(glyphs.control.get(), nullptr);
    int applied = 0;
    connect(ribbon.sizeTimer, &QTimer::timeout, [&applied]() { ++applied; });
    for (int v : {40, 50, 60})
        ribbon.sizeSlider->setValue(v);
    QVERIFY(ribbon.sizeTimer->isActive());
    QCOMPARE(ribbon.sequenceView->itemWidth, 30.0);
    QTRY_COMPARE_WITH_TIMEOUT(ribbon.sequenceView->itemWidth, 60.0, 2000);
    QVERIFY(!ribbon.sizeTimer->isActive());
    QTest::qWait(350);
    QCOMPARE(applied, 1);
}

void RibbonSequenceWidgetTest::fit_data()
{
    QTest::addColumn<int>("glyphs");
    QTest::addColumn<int>("size");
    // (400 - 2 x 10 - L x 1) / L, bounded to 30 .. 100.
    QTest::newRow("20 glyphs: 18 gives the lower bound") << 20 << 30;
    QTest::newRow("5 glyphs") << 5 << 75;
    QTest::newRow("2 glyphs") << 2 << 100;
    QTest::newRow("no rows") << 0 << 100;
}

void RibbonSequenceWidgetTest::fit()
{
    QFETCH(int, glyphs);
    QFETCH(int, size);
    Glyphs items;
    RibbonSequenceWidget ribbon(items.control.get(), nullptr);
    if (glyphs > 0) {
        QStringList names;
        for (int i = 0; i < glyphs; ++i)
            names << QStringLiteral("G%1").arg(i);
        sendGlyphs(ribbon.sequenceView, items.rows({names.join(QLatin1Char(' '))}));
    }
    ribbon.sequenceView->resize(400, 300);
    ribbon.fitButton->click();
    QCOMPARE(ribbon.sizeSlider->value(), size);
    QCOMPARE(ribbon.sequenceView->itemWidth, double(size));
    // The slider was set without its signal.
    QVERIFY(!ribbon.sizeTimer->isActive());
}

void RibbonSequenceWidgetTest::gapPenaltyRealignsAtOnce()
{
    Glyphs glyphs;
    RibbonSequenceWidget ribbon(glyphs.control.get(), nullptr);
    ribbon.alignmentButton->setChecked(true);
    sendGlyphs(ribbon.sequenceView, glyphs.rows({"A B C", "A C", "B C D"}));
    const quint64 before = EventWidget::sequenceDistanceCount();
    ribbon.gapPenaltyBox->setValue(5);
    QCOMPARE(insertionCost, -5);
    QVERIFY(EventWidget::sequenceDistanceCount() > before);
    ribbon.substitutionPenaltyBox->setValue(7);
    QCOMPARE(substitutionCost, -7);
    QCOMPARE(ribbon.sequenceView->rows.size(), 3);
}

void RibbonSequenceWidgetTest::activationFollowsTheButton()
{
    TempWorkDir work;
    QuietBoxes boxes;
    DebugCapture capture;
    capture.setForward(false);
    Glyphs glyphs;
    MainWindow window;
    RibbonSequenceWidget* ribbon = window.sequenceRibbon;
    RibbonEventWidget* left = window.leftEventRibbon;
    // The event ribbon's switch, wired to the sequence ribbon.
    QPushButton* button = left->sequenceViewButton;
    QCOMPARE(button->isChecked(), ribbon->active);
    left->view->selectedSequences = glyphs.rows({"A B", "A C"});

    // Collapsing the pane: inactive, the button follows and hides the ribbon.
    capture.clear();
    ribbon->setActive(false, false);
    QVERIFY(!ribbon->active);
    QVERIFY(!button->isChecked());
    QVERIFY(ribbon->isHidden());
    QVERIFY(ribbon->sequenceView->rows.isEmpty());

    // Opening it: rebuilt once from the matrix's selection, shown.
    capture.clear();
    ribbon->setActive(true, false);
    QVERIFY(ribbon->active && button->isChecked() && !ribbon->isHidden());
    QCOMPARE(capture.count(QStringLiteral("build result")), 1);
    QCOMPARE(ribbon->sequenceView->rows.size(), 2);
    // The view holds copies: the matrix may drop its items.
    glyphs.clear();
    left->view->selectedSequences.clear();
    QVERIFY(!ribbon->sequenceView->grab().isNull());

    button->click();
    QVERIFY(!ribbon->active && ribbon->isHidden());
    button->click();
    QVERIFY(ribbon->active && !ribbon->isHidden());

    // After a load the ribbon is inactive, hidden, its view empty and the
    // button unchecked.
    TList<QSharedPointer<Packet>> events;
    for (int i = 0; i < 6; ++i) {
        auto event = QSharedPointer<Packet>::create(TList<TVariant>{
            TVariant(1000 + i), TVariant(QStringLiteral("10.0.0.%1").arg(i % 2)), TVariant(QStringLiteral("x"))});
        event->conversationId = i % 2;
        events.append(event);
    }
    window.controlWidget->loadData(events,
                                   TList<QString>{QStringLiteral("frame.time_epoch"), QStringLiteral("ip.src"),
                                                  QStringLiteral("ip.dst")},
                                   TList<int>{1, 3, 3});
    QVERIFY(!ribbon->active);
    QVERIFY(ribbon->isHidden());
    QVERIFY(!button->isChecked());
    QVERIFY(ribbon->sequenceView->rows.isEmpty());

    // The load's reload of the matrix rebuilt the rule overview from its cells.
    int items = 0;
    for (BinCell* cell : left->view->cells.items)
        items += cell->items().size();
    QVERIFY(items > 0);
    RuleOverviewWidget* overview = window.settingsWidget->ruleOverview;
    QCOMPARE(overview->counts.value(overview->root), items);
}

void RibbonSequenceWidgetTest::switchesShowTheSelection_data()
{
    // Steps: "select" (the matrix's selection changes while the pane is
    // closed, so no glyphs event reaches the view), "open", "close" (the
    // pane), "align", "unalign" (the alignment switch), "lost copy" (the
    // pane copies the selection in parts, a cell lets its items go
    // meanwhile, and the alignment is switched on before the copy goes on).
    QTest::addColumn<QStringList>("steps");
    QTest::newRow("open, then alignment on and off")
        << QStringList({"close", "select", "open", "align", "unalign", "align"});
    QTest::newRow("alignment on while closed, then open")
        << QStringList({"close", "select", "align", "open", "unalign"});
    QTest::newRow("alignment off while closed, then open")
        << QStringList({"align", "close", "select", "unalign", "open", "align"});
    QTest::newRow("closed and opened between the switches")
        << QStringList({"close", "select", "open", "align", "close", "open", "unalign", "close", "open"});
    QTest::newRow("a penalty changed after opening")
        << QStringList({"close", "select", "open", "align", "penalty", "unalign", "penalty"});
    QTest::newRow("a copy lost as the alignment is switched on")
        << QStringList({"close", "select", "open", "lost copy", "unalign"});
}

// Whichever order the pane and the alignment are switched in, an open pane
// shows the rows of the matrix's current selection.
void RibbonSequenceWidgetTest::switchesShowTheSelection()
{
    QFETCH(QStringList, steps);
    TempWorkDir work;
    QuietBoxes boxes;
    DebugCapture capture;
    capture.setForward(false);
    Glyphs glyphs;
    MainWindow window;
    RibbonSequenceWidget* ribbon = window.sequenceRibbon;
    SequenceWidget* view = ribbon->sequenceView;
    EventWidget* matrix = window.leftEventRibbon->view;
    const Rows selection = glyphs.rows({"A B C", "A C", "B C", "A C"});
    for (const QString& step : steps) {
        if (step == QLatin1String("select"))
            matrix->selectedSequences = selection;
        else if (step == QLatin1String("open"))
            ribbon->setActive(true, false);
        else if (step == QLatin1String("close"))
            ribbon->setActive(false, false);
        else if (step == QLatin1String("align"))
            ribbon->alignmentButton->setChecked(true);
        else if (step == QLatin1String("unalign"))
            ribbon->alignmentButton->setChecked(false);
        else if (step == QLatin1String("penalty"))
            ribbon->gapPenaltyBox->setValue(ribbon->gapPenaltyBox->value() + 1);
        else if (step == QLatin1String("lost copy")) {
            view->partsFrom = 0;
            view->showSequences(selection);
            BinCell(window.controlWidget, nullptr, QStringLiteral("All"), nullptr).clearData();
            ribbon->alignmentButton->setChecked(true);
        }
        if (!ribbon->active || matrix->selectedSequences.isEmpty())
            continue;
        // Three distinct sequences, the repeated one stacked.
        QTRY_VERIFY2(view->rows.size() == 3 && !view->building(), qPrintable(step));
        QCOMPARE(view->countOf(0), 4);
        QStringList shown;
        for (const TList<BinItem*>& row : view->rows.items) {
            QStringList names;
            for (const BinItem* item : row.items)
                if (!SequenceWidget::isGap(item))
                    names << item->name;
            shown << names.join(QLatin1Char(' '));
        }
        shown.sort();
        QCOMPARE(shown, QStringList({"A B C", "A C", "B C"}));
        if (ribbon->alignmentButton->isChecked()) {
            // Aligned: the "A C" row has a gap in the middle, not at the end.
            QCOMPARE(view->columnCount(), 3);
            bool inner = false;
            for (const TList<BinItem*>& row : view->rows.items)
                inner = inner || (SequenceWidget::isGap(row[1]) && !SequenceWidget::isGap(row[2]));
            QVERIFY2(inner, qPrintable(step));
        }
    }
}

// An alignment too large for the memory switches the alignment button off
// without another rebuild, and the message box opens over the ribbon.
void RibbonSequenceWidgetTest::droppedAlignmentUnchecksTheSwitch()
{
    Glyphs glyphs;
    DebugCapture capture;
    capture.setForward(false);
    RibbonSequenceWidget ribbon(glyphs.control.get(), nullptr);
    sendGlyphs(ribbon.sequenceView, glyphs.rows({"A B C", "A C", "B C"}));
    QList<MessageAsker::Request> boxes;
    const MessageAsker::Handler previous = MessageAsker::setHandler([&boxes](const MessageAsker::Request& r) {
        boxes.append(r);
        return QMessageBox::Ok;
    });
    AlignmentBudget::setLimitOverride(1);
    capture.clear();
    ribbon.alignmentButton->click();
    AlignmentBudget::setLimitOverride(0);
    MessageAsker::setHandler(previous);
    QCOMPARE(capture.count(QStringLiteral("build result")), 1);
    QVERIFY(!ribbon.alignmentButton->isChecked());
    QVERIFY(!ribbon.alignment);
    QVERIFY(!ribbon.sequenceView->msaOn);
    QCOMPARE(ribbon.sequenceView->rows.size(), 3);
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes.first().parent, static_cast<QWidget*>(&ribbon));
    QVERIFY(!boxes.first().modal);
    // The next click aligns.
    ribbon.alignmentButton->click();
    QVERIFY(ribbon.alignmentButton->isChecked() && ribbon.sequenceView->msaOn);
    QCOMPARE(ribbon.sequenceView->columnCount(), 3);
}

void RibbonSequenceWidgetTest::paneFollowsEverySelection_data()
{
    // Where the second selection is made.
    QTest::addColumn<QString>("origin");
    QTest::newRow("event attribute panel") << "attr";
    QTest::newRow("trace attribute panel") << "conv";
    QTest::newRow("line chart") << "chart";
    QTest::newRow("matrix: select traces") << "traces";
    QTest::newRow("matrix: invert") << "invert";
}

// The open pane shows the matrix's current selection, wherever it was made,
// and the alignment switch aligns that selection; a closed pane takes none.
void RibbonSequenceWidgetTest::paneFollowsEverySelection()
{
    QFETCH(QString, origin);
    // The import sets the attributes it was given.
    Restore<QString> time(TIME_ATTRIBUTE, TIME_ATTRIBUTE);
    Restore<QString> source(SRC_ATTRIBUTE, SRC_ATTRIBUTE);
    Restore<QString> destination(DST_ATTRIBUTE, DST_ATTRIBUTE);
    TempWorkDir work;
    DebugCapture capture;
    capture.setForward(false);
    QList<MessageAsker::Request> boxes;
    const MessageAsker::Handler previous = MessageAsker::setHandler([&boxes](const MessageAsker::Request& r) {
        boxes.append(r);
        return QMessageBox::Yes;
    });
    MainWindow window;
    {
        FileAnswers files({QStringLiteral(LUMIVANE_TEST_DATA_DIR "/app/select/streams.csv")});
        OpenWidget dialog(window.controlWidget);
        dialog.openFile();
        dialog.groupingCombo->setCurrentIndex(dialog.groupingCombo->findText(QStringLiteral("tcp.stream")));
        dialog.import();
    }
    EventWidget* matrix = window.leftEventRibbon->view;
    RibbonSequenceWidget* ribbon = window.sequenceRibbon;
    SequenceWidget* pane = ribbon->sequenceView;
    QVERIFY(matrix->context && !ribbon->active);
    window.leftLineRibbon->setActive(true, false);
    QVERIFY(window.leftLineRibbon->chart->isActive());

    auto select = [&](const QString& from, const QString& column, const QString& value) {
        const int at = window.controlWidget->glyphStore->attributeColumns.value(column);
        TList<QSharedPointer<Packet>> events;
        for (const QSharedPointer<Packet>& p : matrix->context->packets.items)
            if (p->values[at].toString() == value)
                events.append(p);
        QObject* sender = from == QLatin1String("conv") ? static_cast<QObject*>(window.settingsWidget->conversationWidget)
                          : from == QLatin1String("chart") ? static_cast<QObject*>(window.leftLineRibbon->chart)
                                                          : static_cast<QObject*>(window.settingsWidget->attributeWidget);
        PacketsEvent e(sender, events, {QStringLiteral("select")});
        QCoreApplication::sendEvent(window.controlWidget, &e);
        QVERIFY(!matrix->selectedSequences.isEmpty());
    };
    auto shows = [&]() {
        return pane->lastSequences.size() == matrix->selectedSequences.size()
               && pane->countOf(0) == matrix->selectedSequences.size()
               && eventsIn(pane->lastSequences) == eventsIn(matrix->selectedSequences)
               && eventsIn(pane->rows, pane->twins) == eventsIn(matrix->selectedSequences);
    };

    // Closed: a selection leaves the pane alone; opened, it shows it.
    select(QStringLiteral("attr"), QStringLiteral("tcp.stream"), QStringLiteral("1"));
    QVERIFY(pane->rows.isEmpty() && pane->lastSequences.isEmpty());
    ribbon->setActive(true, true);
    QVERIFY(shows());
    const QList<const Packet*> firstEvents = eventsIn(pane->rows, pane->twins);

    if (origin == QLatin1String("traces")) {
        select(QStringLiteral("attr"), QStringLiteral("proto"), QStringLiteral("udp"));
        matrix->selectConversations();
    } else if (origin == QLatin1String("invert")) {
        matrix->invertSelection();
    } else {
        select(origin, QStringLiteral("proto"), QStringLiteral("udp"));
    }
    QVERIFY(shows());
    QVERIFY(eventsIn(pane->rows, pane->twins) != firstEvents);

    // The alignment switch aligns what is shown: the current selection.
    ribbon->alignmentButton->click();
    QVERIFY(pane->msaOn);
    QVERIFY(shows());
    for (const TList<BinItem*>& row : pane->rows.items)
        QCOMPARE(row.size(), pane->columnCount());
    // The small selections asked nothing.
    QVERIFY(boxes.isEmpty());

    // A click in the pane selects in the matrix and leaves the pane as it is.
    const QList<const Packet*> aligned = eventsIn(pane->rows, pane->twins);
    pane->resize(600, 400);
    BinItem* cell = nullptr;
    QPoint at;
    const QList<BinItem*> shown = pane->shownList();
    for (BinItem* item : shown) {
        at = QPoint(int(item->left() + item->width() / 2), int(item->top() + item->height() / 2));
        // The first cell under its own centre, which a click there selects.
        BinItem* hit = nullptr;
        for (BinItem* other : shown)
            if (!hit && other->contains(at.x(), at.y()))
                hit = other;
        if (hit == item && item->visible && !pane->eventsOf(item).isEmpty()) {
            cell = item;
            break;
        }
    }
    QVERIFY(cell);
    QMouseEvent press(QEvent::MouseButtonPress, at, pane->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(pane, &press);
    QVERIFY(!pane->clickedEvents.isEmpty());
    QCOMPARE(matrix->selectedPacketSet.size(), pane->clickedEvents.size());
    QCOMPARE(eventsIn(pane->rows, pane->twins), aligned);
    MessageAsker::setHandler(previous);
}

LUMIVANE_TEST(RibbonSequenceWidgetTest)

#include "RibbonSequenceWidgetTest.moc"
