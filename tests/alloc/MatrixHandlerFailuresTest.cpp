#include "FailingNew.h"
#include "MatrixFixture.h"
#include "OverviewFixture.h"
#include "PaintSweep.h"
#include "Restore.h"
#include "Sweep.h"
#include "TestRegistry.h"
#include "UserSweep.h"

#include "app/AppGlobals.h"
#include "events/PacketsEvent.h"
#include "events/RenderEvent.h"
#include "views/events/CompareWidget.h"
#include "views/events/GlyphPopup.h"

#include <QAction>
#include <QCheckBox>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTimer>
#include <QWheelEvent>
#include <QtTest>

#include <memory>

// What the user does to the event matrix with the mouse and its menu, and
// what other views send it, with every allocation failing in turn: no
// exception leaves the handler, the matrix is left as before, as after the
// action, or without a selection (with that action's message), what it
// last told the other views is what it shows, at most one box says so, and
// the action done again gives what it gives when nothing fails. And the
// paint of every view of the matrix: a failed paint leaves the view able
// to paint again.

using namespace matrixfixture;

namespace {

const QList<Trace> TRACES{{1, QStringLiteral("abca"), QStringLiteral("10.0.0.1")},
                          {2, QStringLiteral("bc"), QStringLiteral("10.0.0.2")},
                          {3, QStringLiteral("cab"), QStringLiteral("10.0.0.1")},
                          {4, QStringLiteral("abcab"), QStringLiteral("10.0.0.2")},
                          {5, QStringLiteral("ab"), QStringLiteral("10.0.0.1")},
                          {6, QStringLiteral("bca"), QStringLiteral("10.0.0.2")}};

const QString SELECT_TITLE = QStringLiteral("Failed to select events");
const QString RULES_TITLE = QStringLiteral("Failed to apply rules");

TList<BinItem*> row(const Matrix& m, int r)
{
    if (m.view->cells.isEmpty() || m.view->cells.first()->rows.size() <= r)
        return TList<BinItem*>();
    return m.view->cells.first()->rows[r];
}

TList<PacketPtr> eventsOf(const Matrix& m, int r)
{
    TList<PacketPtr> events;
    for (const BinItem* item : row(m, r))
        for (const PacketPtr& p : item->packets)
            events.append(p);
    return events;
}

QPoint centre(const BinItem* item)
{
    return QPointF((item->parentLeft() + item->parentRight()) / 2, (item->parentTop() + item->parentBottom()) / 2)
        .toPoint();
}

// Every glyph with its marks, the selection, the popup, the scroll
// position and where each cell is.
QStringList matrixText(const Matrix& m)
{
    QStringList out;
    for (const BinCell* cell : m.view->cells) {
        out << QStringLiteral("%1%7 line %2 at %3,%4 %5x%6")
                   .arg(cell->header.title)
                   .arg(cell->firstLine)
                   .arg(cell->x())
                   .arg(cell->y())
                   .arg(cell->width())
                   .arg(cell->height())
                   .arg(cell->header.toggled ? QStringLiteral(" collapsed") : QString());
        for (const TList<BinItem*>& glyphs : cell->rows) {
            QString text;
            for (const BinItem* item : glyphs)
                text += item->name + QLatin1Char('/') + QString::number(item->packets.size())
                        + (item->selected ? QStringLiteral("+") : QString())
                        + (item->highlighted ? QStringLiteral("*") : QString()) + QLatin1Char(' ');
            out << text;
        }
    }
    out << QStringLiteral("selected %1 glyphs %2 offset %3 multi-match %4, box %5")
               .arg(m.view->selectedPacketSet.size())
               .arg(m.view->selectedItems().size())
               .arg(m.view->binOffset)
               .arg(showMulti)
               .arg(m.options->multiMatchBox->isChecked());
    if (m.view->popup)
        out << QStringLiteral("popup %1x%2")
                   .arg(m.view->popup->table->rowCount())
                   .arg(m.view->popup->table->columnCount());
    return out;
}

QMouseEvent* mouse(QEvent::Type type, const QPoint& p, Qt::MouseButton button)
{
    return new QMouseEvent(type, p, button, type == QEvent::MouseMove ? Qt::NoButton : Qt::MouseButtons(button),
                           Qt::NoModifier);
}

// One action as the user's input reaches a matrix made for it: its events
// made and the steps before it taken without failures. The scene keeps the
// last selection the matrix told the other views of.
class Scene : public QObject, public usersweep::Scene
{
public:
    explicit Scene(const QString& name) : m(TRACES, false, QSize(220, 160)), name(name)
    {
        m.view->applySelection(row(m, 0), true, false);
        m.control->installEventFilter(this);
    }
    ~Scene() override { m.control->removeEventFilter(this); }

    // The first row selected, nothing highlighted, no popup, at the top.
    void prepare(bool) override
    {
        EventWidget* view = m.view;
        // Where the user starts from.
        if (view->cells.isEmpty())
            view->reload();
        if (!showMulti || !m.options->multiMatchBox->isChecked()) {
            showMulti = true;
            m.options->multiMatchBox->setChecked(true);
            view->reloadRules();
        }
        BinCell* cell = view->cells.first();
        if (cell->header.toggled) {
            cell->header.toggled = false;
            view->setSize(-1, -1);
        }
        view->clickPending = false;
        view->doubleClickTimer->stop();
        if (view->clearHighlights())
            view->render(true, true, nullptr);
        m.ribbon->binScrollBar->setValue(0);
        view->applySelection(row(m, 0), true, false);
        QPoint target = centre(row(m, 2).first());
        if (name == QLatin1String("collapse"))
            target = cell->pos() + QPoint(int(cell->header.storedWidth) - 1, int(cell->header.y) + 1);
        if (name == QLatin1String("click") || name == QLatin1String("double click")
            || name == QLatin1String("collapse")) {
            std::unique_ptr<QMouseEvent> first(mouse(QEvent::MouseButtonPress, target, Qt::LeftButton));
            QCoreApplication::sendEvent(view, first.get());
            event.reset(mouse(QEvent::MouseButtonPress, target, Qt::LeftButton));
        } else if (name == QLatin1String("hover")) {
            event.reset(mouse(QEvent::MouseMove, target, Qt::NoButton));
        } else if (name == QLatin1String("popup")) {
            std::unique_ptr<QMouseEvent> move(mouse(QEvent::MouseMove, target, Qt::NoButton));
            QCoreApplication::sendEvent(view, move.get());
        } else if (name == QLatin1String("wheel")) {
            event.reset(new QWheelEvent(QPointF(target), QPointF(view->mapToGlobal(target)), QPoint(),
                                        QPoint(0, -120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false));
        } else if (name == QLatin1String("multi-match")) {
            // As the ribbon wires the box at the first load.
            QObject::connect(m.options->multiMatchBox, &QCheckBox::clicked, m.ribbon.get(),
                             &RibbonEventWidget::setMulti, Qt::UniqueConnection);
        } else if (name.startsWith(QLatin1String("other view"))) {
            const QString what = name.endsWith(QLatin1String("hover")) ? QStringLiteral("hover")
                                                                       : QStringLiteral("select");
            event.reset(new PacketsEvent(&sender, eventsOf(m, 3), {what}));
        }
        told = false;
    }

    void act() override
    {
        EventWidget* view = m.view;
        if (name == QLatin1String("click") || name == QLatin1String("collapse"))
            QMetaObject::invokeMethod(view->doubleClickTimer, "timeout");
        else if (name == QLatin1String("popup"))
            QMetaObject::invokeMethod(view->hoverTimer, "timeout");
        else if (name == QLatin1String("invert"))
            view->invertSelectionAction->trigger();
        else if (name == QLatin1String("multi-match"))
            m.options->multiMatchBox->click();
        else
            QCoreApplication::sendEvent(view, event.get());
    }

    // The other views show what the matrix told them last.
    QStringList state() const override
    {
        return matrixText(m) << QStringLiteral("told the other views what it shows: %1")
                                    .arg(!told || last == m.view->selectedPacketSet);
    }

    QString failed(const MessageAsker::Request& box, const QStringList& after, const QStringList& before,
                   const QStringList& once) override
    {
        EventWidget* view = m.view;
        if (after.last() != once.last())
            return QStringLiteral("the other views were told another selection");
        // The action's own way back: no selection.
        if (box.title == SELECT_TITLE)
            return view->selectedPacketSet.isEmpty() && view->selectedItems().isEmpty() ? QString() : after.join('|');
        // The reload's own way back: no cells, built again by the next
        // change; the switch shows the flag they are built with.
        if (box.title == RULES_TITLE)
            return view->cells.isEmpty() && showMulti == m.options->multiMatchBox->isChecked() ? QString()
                                                                                                 : after.join('|');
        // The handler stopped: its data as before or as after the action.
        // Where the cells were being laid out anew, the next layout places
        // them.
        view->setSize(-1, -1);
        const QStringList laid = state();
        return box.title == QLatin1String("Out of memory") && (laid == before || laid == once)
                   ? QString()
                   : QStringLiteral("shows ") + laid.join('|');
    }

    bool eventFilter(QObject*, QEvent* e) override
    {
        if (int(e->type()) == PACKETSEVENT) {
            auto* pe = static_cast<PacketsEvent*>(e);
            if (pe->sender == m.view && !pe->args.isEmpty() && pe->args.first().toString() == QLatin1String("select")) {
                told = true;
                last = pe->eventSet();
            }
        }
        return false;
    }

private:
    Matrix m;
    QString name;
    QObject sender;
    std::unique_ptr<QEvent> event;
    bool told = false;
    PacketSet last;
};

// The table's headers and cells, and whether it is ready to be used.
QStringList tableText(const CompareWidget& table)
{
    QStringList out;
    out << QStringLiteral("%1 events, updates %2, signals %3, sorting %4")
               .arg(table.packets.size())
               .arg(table.updatesEnabled())
               .arg(!table.signalsBlocked())
               .arg(table.isSortingEnabled());
    for (int c = 0; c < table.columnCount(); ++c)
        out << (table.horizontalHeaderItem(c) ? table.horizontalHeaderItem(c)->text() : QString());
    for (int r = 0; r < table.rowCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < table.columnCount(); ++c)
            cells << (table.item(r, c) ? table.item(r, c)->text() : QStringLiteral("-"));
        out << cells.join(QLatin1Char(','));
    }
    return out;
}

} // namespace

class MatrixHandlerFailuresTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void entries_data();
    void entries();
    void table_data();
    void table();
    void paint_data();
    void paint();
};

void MatrixHandlerFailuresTest::initTestCase()
{
    // Qt's own code does not recover from its failures (the delivery of a
    // mouse event, a window it cannot make): the program's are swept.
    for (const char* library : {"libQt5Widgets", "libQt5Gui", "libQt5Core", "qt5/plugins/platforms", "libstdc++"})
        failingnew::spareCallersIn(library);
}

void MatrixHandlerFailuresTest::entries_data()
{
    QTest::addColumn<QString>("action");
    QTest::newRow("click") << "click";
    QTest::newRow("double click") << "double click";
    QTest::newRow("collapse a cell") << "collapse";
    QTest::newRow("hover") << "hover";
    QTest::newRow("popup") << "popup";
    QTest::newRow("wheel") << "wheel";
    QTest::newRow("invert selection") << "invert";
    QTest::newRow("multi-match switch") << "multi-match";
    QTest::newRow("selection of another view") << "other view select";
    QTest::newRow("hover in another view") << "other view hover";
}

void MatrixHandlerFailuresTest::entries()
{
    QFETCH(QString, action);
    Restore<bool> loaded(NO_DATA, false);
    Restore<bool> multi(showMulti, true);
    const usersweep::Tally t =
        usersweep::sweep(action, [&] { return std::unique_ptr<usersweep::Scene>(new Scene(action)); });
    QVERIFY(!QTest::currentTestFailed());
}

void MatrixHandlerFailuresTest::table_data()
{
    QTest::addColumn<bool>("eventsAsRows");
    QTest::newRow("events side by side") << false;
    QTest::newRow("events as rows") << true;
}

void MatrixHandlerFailuresTest::table()
{
    // The table that shows other events runs out of memory while it is
    // refilled: it shows the events it showed, ready for the next refill.
    QFETCH(bool, eventsAsRows);
    Matrix m(TRACES);
    const TList<PacketPtr> first = eventsOf(m, 0);
    const TList<PacketPtr> second = eventsOf(m, 3);
    CompareWidget table(m.control.get(), -1, eventsAsRows);
    table.setPackets(first);
    const QStringList before = tableText(table);
    table.setPackets(second);
    const QStringList after = tableText(table);
    QVERIFY(before != after);

    long failed = 0;
    const long points = sweep::run(QStringLiteral("table"), [&](long n) {
        table.setPackets(first);
        bool threw = false;
        failingnew::FailAt fail(n);
        try {
            table.setPackets(second);
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        const bool hit = fail.stop();
        failed += threw;
        const QStringList shown = tableText(table);
        table.setPackets(second);
        const QString where = QStringLiteral("failure point %1: ").arg(n);
        if (shown != (threw ? before : after))
            return sweep::fail(where + (threw ? "failed" : "ran through") + ", but shows " + shown.join('|'));
        if (tableText(table) != after)
            return sweep::fail(where + "the next refill shows " + tableText(table).join('|'));
        return hit;
    });
    QVERIFY(!QTest::currentTestFailed());
    qInfo().noquote() << points << "failure points," << failed << "of them kept the table";
    QVERIFY(failed > 0);
}

void MatrixHandlerFailuresTest::paint_data()
{
    QTest::addColumn<QString>("view");
    QTest::newRow("event matrix") << "matrix";
    QTest::newRow("matrix cell") << "cell";
    QTest::newRow("overview strip") << "strip";
    QTest::newRow("event ribbon") << "ribbon";
    QTest::newRow("overview ribbon") << "overview ribbon";
    QTest::newRow("compare table") << "table";
    QTest::newRow("glyph popup") << "popup";
}

void MatrixHandlerFailuresTest::paint()
{
    QFETCH(QString, view);
    overviewfixture::Group g(TRACES);
    g.build();
    g.m.view->applySelection(row(g.m, 0), true, false);
    g.m.ribbon->resize(700, 400);
    // The strip's picture.
    RenderEvent render(g.m.view, {QStringLiteral("OverviewWidget"), 0});
    QCoreApplication::sendEvent(g.strip, &render);
    QVERIFY(overviewfixture::settle(g.strip));
    QVERIFY(!g.strip->stackedImage.isNull());

    // The table and the popup show the events of a row.
    std::unique_ptr<QWidget> own;
    if (view == QLatin1String("table")) {
        auto* table = new CompareWidget(g.m.control.get(), -1, false);
        own.reset(table);
        table->setPackets(eventsOf(g.m, 1));
    } else if (view == QLatin1String("popup")) {
        own.reset(new GlyphPopup(g.m.control.get(), eventsOf(g.m, 1), nullptr));
    }
    const QMap<QString, QWidget*> shown{{QStringLiteral("matrix"), g.m.view},
                                        {QStringLiteral("cell"), g.m.view->cells.first()},
                                        {QStringLiteral("strip"), g.strip},
                                        {QStringLiteral("ribbon"), g.m.ribbon.get()},
                                        {QStringLiteral("overview ribbon"), g.overviewRibbon}};
    QWidget* widget = own ? own.get() : shown.value(view);
    const long points = paintsweep::check(widget, view);
    QVERIFY(!QTest::currentTestFailed());
    qInfo().noquote() << view << points << "failure points";
}

LUMIVANE_TEST(MatrixHandlerFailuresTest)
#include "MatrixHandlerFailuresTest.moc"
