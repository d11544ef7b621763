#include "DebugCapture.h"
#include "MatrixFixture.h"
#include "TestRegistry.h"

#include "events/RenderEvent.h"
#include "items/Axis.h"
#include "items/BinAxis.h"
#include "items/EmptyAxis.h"
#include "items/ScreenPlacement.h"
#include "views/attributes/HistogramWidget.h"
#include "views/attributes/PlotWidget.h"

#include <QApplication>
#include <QCheckBox>
#include <QCursor>
#include <QTimer>
#include <QtTest>

#include <memory>

using namespace matrixfixture;

namespace {

// Values of one attribute "v" of a store of its own, one event per value
// and count; the attribute is a range attribute (kept in value order) or a
// text attribute.
struct Values
{
    Values(const QList<QPair<TVariant, int>>& counts, bool range)
        : control(new ControlWidget(nullptr))
    {
        GlyphStore* store = control->glyphStore;
        store->resetConversationAttributes();
        store->setAttributes(TList<QString>{QStringLiteral("v")}, TList<int>{range ? 1 : 3});
        TList<PacketPtr> events;
        int trace = 0;
        for (const auto& entry : counts) {
            for (int i = 0; i < entry.second; ++i) {
                PacketPtr p(new Packet(TList<TVariant>{entry.first}));
                p->conversationId = trace++;
                events.append(p);
            }
        }
        store->rootContext = new Context(nullptr, QStringLiteral("All"), events, store, true);
        view.reset(new EventWidget(control.get(), nullptr, 0, nullptr));
        view->context = store->rootContext;
        options.reset(new OptionsWidget(control.get(), view.get()));
    }

    ~Values()
    {
        options.reset();
        view.reset();
        control.reset();
    }

    QStringList texts(const TList<TVariant>& values) const
    {
        QStringList out;
        for (const TVariant& v : values)
            out.append(v.toString() + (v.type == TVariant::String ? QStringLiteral("s") : QString()));
        return out;
    }

    std::unique_ptr<ControlWidget> control;
    std::unique_ptr<EventWidget> view;
    std::unique_ptr<OptionsWidget> options;
};

TVariant text(const char* t)
{
    return TVariant(QString::fromLatin1(t), false);
}

using Counts = QList<QPair<TVariant, int>>;

} // namespace

class OptionsWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void valueOrder_data();
    void valueOrder();
    void axisWindow_data();
    void axisWindow();
    void createAxis_data();
    void createAxis();
    void refillKeepsTheView();
    void boxesFitTheNames();
    void connectionsAreMadeOnce();
    void frequencyDialogPosition_data();
    void frequencyDialogPosition();
    void frequencyDialogOnScreen_data();
    void frequencyDialogOnScreen();
    void inspectionDialogs();
};

void OptionsWidgetTest::valueOrder_data()
{
    QTest::addColumn<Counts>("counts");
    QTest::addColumn<bool>("range");
    QTest::addColumn<QString>("order");
    QTest::addColumn<QString>("direction");
    QTest::addColumn<QStringList>("expected");

    // A range attribute's histogram is visited in value order.
    const Counts ints = {{TVariant(1), 3}, {TVariant(2), 1}, {TVariant(3), 3}, {TVariant(4), 2}, {TVariant(5), 1}};
    QTest::newRow("frequency ascending, ties in visiting order")
        << ints << true << "Frequency" << "ASC" << QStringList({"2", "5", "4", "1", "3"});
    QTest::newRow("frequency descending, ties reversed")
        << ints << true << "Frequency" << "DESC" << QStringList({"3", "1", "4", "5", "2"});
    QTest::newRow("10 before 9") << Counts{{TVariant(9), 1}, {TVariant(10), 1}, {TVariant(100), 1}} << true
                                 << "Alphabetical" << "ASC" << QStringList({"10", "100", "9"});
    QTest::newRow("capitals first") << Counts{{text("b"), 1}, {text("B"), 1}, {text("a"), 1}, {text("A"), 1}}
                                    << false << "Alphabetical" << "ASC"
                                    << QStringList({"As", "Bs", "as", "bs"});
    // An int and a text that print alike: both keep a bin, the int first.
    QTest::newRow("one text, two values")
        << Counts{{text("10"), 1}, {TVariant(10), 2}, {text("2"), 1}} << false << "Alphabetical" << "ASC"
        << QStringList({"10", "10s", "2s"});
    QTest::newRow("descending with one value") << Counts{{TVariant(7), 4}} << true << "Frequency" << "DESC"
                                               << QStringList({"7"});
    QTest::newRow("no values") << Counts{} << true << "Alphabetical" << "ASC" << QStringList();
}

void OptionsWidgetTest::valueOrder()
{
    QFETCH(Counts, counts);
    QFETCH(bool, range);
    QFETCH(QString, order);
    QFETCH(QString, direction);
    QFETCH(QStringList, expected);
    Values values(counts, range);
    values.options->groupOrderBox->setCurrentText(order);
    values.options->groupDirectionBox->setCurrentText(direction);
    std::unique_ptr<IAxis> axis(values.options->createAxis(QStringLiteral("v"), 1, false));
    auto* bins = dynamic_cast<BinAxis*>(axis.get());
    QVERIFY(bins);
    QCOMPARE(values.texts(bins->values()), expected);
    QCOMPARE(values.texts(values.options->axisValueLists[1]), expected);
}

void OptionsWidgetTest::axisWindow_data()
{
    QTest::addColumn<int>("distinct");
    QTest::addColumn<QString>("direction");
    QTest::addColumn<int>("bins");
    QTest::addColumn<int>("first");
    QTest::newRow("120 values: the first 50") << 120 << "ASC" << 50 << 1;
    QTest::newRow("120 values descending") << 120 << "DESC" << 50 << 120;
    QTest::newRow("30 values") << 30 << "DESC" << 30 << 30;
}

void OptionsWidgetTest::axisWindow()
{
    QFETCH(int, distinct);
    QFETCH(QString, direction);
    QFETCH(int, bins);
    QFETCH(int, first);
    Counts counts;
    for (int v = 1; v <= distinct; ++v)
        counts.append({TVariant(v), 1});
    Values values(counts, true);
    values.options->groupOrderBox->setCurrentText(QStringLiteral("Frequency"));
    values.options->groupDirectionBox->setCurrentText(direction);
    std::unique_ptr<IAxis> axis(values.options->createAxis(QStringLiteral("v"), 1, false));
    auto* binAxis = dynamic_cast<BinAxis*>(axis.get());
    QVERIFY(binAxis);
    QCOMPARE(binAxis->count(), bins);
    QCOMPARE(binAxis->value(0).toInt(), first);
    QCOMPARE(values.options->axisValueLists[1].size(), distinct);
}

void OptionsWidgetTest::createAxis_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("role");
    QTest::addColumn<bool>("traceSide");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("column");
    QTest::newRow("X is always empty") << "kind" << 0 << false << "empty" << -1;
    QTest::newRow("Y none") << "none" << 1 << true << "empty" << -1;
    QTest::newRow("Y over an event attribute") << "kind" << 1 << false << "bins" << KIND;
    QTest::newRow("Y over a trace attribute") << "conv.length" << 1 << true << "bins" << 1;
    QTest::newRow("Z over a range attribute") << "size" << 2 << false << "numeric" << SIZE;
    QTest::newRow("Z over a missing attribute") << "nothing" << 2 << false << "null" << -1;
}

void OptionsWidgetTest::createAxis()
{
    QFETCH(QString, name);
    QFETCH(int, role);
    QFETCH(bool, traceSide);
    QFETCH(QString, kind);
    QFETCH(int, column);
    Matrix m({{1, QStringLiteral("ab"), QString()}, {2, QStringLiteral("abc"), QString()}});
    DebugCapture capture;
    std::unique_ptr<IAxis> axis(m.options->createAxis(name, role, traceSide));
    if (kind == QLatin1String("null")) {
        QVERIFY(!axis);
        QVERIFY(capture.lines().filter(QStringLiteral("no glyph-size axis")).size() == 1);
        return;
    }
    QVERIFY(axis);
    if (kind == QLatin1String("empty")) {
        QVERIFY(dynamic_cast<EmptyAxis*>(axis.get()));
    } else if (kind == QLatin1String("bins")) {
        auto* bins = dynamic_cast<BinAxis*>(axis.get());
        QVERIFY(bins);
        QCOMPARE(bins->name, name);
        QCOMPARE(bins->column, column);
        QVERIFY(bins->vertical);
        QVERIFY(!bins->miscBin);
    } else {
        auto* numeric = dynamic_cast<Axis*>(axis.get());
        QVERIFY(numeric);
        QCOMPARE(numeric->column, column);
        QCOMPARE(numeric->min, 1.0);
        QCOMPARE(numeric->max, 3.0);
    }
}

void OptionsWidgetTest::refillKeepsTheView()
{
    Matrix m({{1, QStringLiteral("ab"), QStringLiteral("h1")}, {2, QStringLiteral("x"), QStringLiteral("h2")}});
    m.options->eventAxisBox->setCurrentText(QStringLiteral("kind"));
    m.options->glyphSizeAxisBox->setCurrentText(QStringLiteral("size"));
    QCOMPARE(m.view->yAxis->name, QStringLiteral("kind"));
    QVERIFY(!m.view->zNone);
    const IAxis* y = m.view->yAxis;
    const IAxis* z = m.view->zAxis;
    const QStringList before = m.cellTitles();

    // The same log again: the choices stay, the glyph size goes back to "none".
    DebugCapture capture;
    m.options->setupAxisCombos();
    QCOMPARE(m.options->eventAxisBox->currentText(), QStringLiteral("kind"));
    QCOMPARE(m.options->sequentialAxisBox->currentText(), QStringLiteral("none"));
    QCOMPARE(m.options->glyphSizeAxisBox->currentText(), QStringLiteral("none"));
    QCOMPARE(m.options->glyphSizeAxisBox->count(), 2);
    QCOMPARE(m.options->sequentialAxisBox->itemText(1), QStringLiteral("conv.convid"));
    QCOMPARE(m.options->sequentialAxisBox->count(), m.store()->conversationAttributeNames.size() + 1);

    // A log without "kind": the event box falls back to "none".
    m.store()->packetAttributeNames.clear();
    m.store()->attributeColumns.clear();
    m.store()->rangeAttributes.clear();
    m.store()->setAttributes(TList<QString>{QStringLiteral("frame.time_epoch"), QStringLiteral("other")},
                             TList<int>{0, 3});
    m.options->setupAxisCombos();
    QCOMPARE(m.options->eventAxisBox->currentText(), QStringLiteral("none"));
    QCOMPARE(m.options->eventAxisBox->count(), 3);
    QCOMPARE(m.options->glyphSizeAxisBox->count(), 1);

    // Nothing reached the view.
    QVERIFY(!capture.contains(QStringLiteral("reload")));
    QCOMPARE(m.view->yAxis, y);
    QCOMPARE(m.view->zAxis, z);
    QCOMPARE(m.cellTitles(), before);
}

// The attribute boxes are sized before the first load, with "none" alone;
// refilled with the log's names they are wide enough to show each of them.
void OptionsWidgetTest::boxesFitTheNames()
{
    Matrix m({{1, QStringLiteral("ab"), QStringLiteral("h1")}});
    QComboBox* boxes[] = {m.options->glyphSizeAxisBox, m.options->eventAxisBox,
                          m.options->sequentialAxisBox};
    for (QComboBox* box : boxes) {
        box->show();
        box->adjustSize();
    }
    const QString longName = QStringLiteral("frame.time_a_rather_long_attribute_name");
    m.store()->setAttributes(TList<QString>{QStringLiteral("frame.time_epoch"), longName}, TList<int>{0, 1});
    m.store()->conversationAttributeNames.append(longName);
    m.options->setupAxisCombos();
    for (QComboBox* box : boxes) {
        QVERIFY(box->findText(longName) >= 0);
        box->adjustSize();
        QVERIFY2(box->width() > box->fontMetrics().horizontalAdvance(longName),
                 qPrintable(QString::number(box->width())));
        box->hide();
    }
}

void OptionsWidgetTest::connectionsAreMadeOnce()
{
    Matrix m({{1, QStringLiteral("ab"), QString()}, {2, QStringLiteral("abc"), QString()}});
    m.options->connectSignals();
    m.options->connectSignals();
    const int cells = m.view->cells.size();
    QCOMPARE(cells, 1);

    DebugCapture capture;
    m.options->stackBox->click();
    QVERIFY(m.view->stack);
    QCOMPARE(capture.count(QStringLiteral("clearing data")), cells);

    EventCounter renders(RENDEREVENT);
    m.control->installEventFilter(&renders);
    m.options->sortBox->setCurrentText(QStringLiteral("Alphabetical"));
    QCOMPARE(renders.count, 1);
    QCOMPARE(m.view->clusterMode, QStringLiteral("Alphabetical"));

    // A choice in one Y box puts the other back to "none".
    m.options->sequentialAxisBox->setCurrentText(QStringLiteral("conv.length"));
    m.options->eventAxisBox->setCurrentText(QStringLiteral("kind"));
    QCOMPARE(m.options->sequentialAxisBox->currentText(), QStringLiteral("none"));
    QCOMPARE(m.view->yAxis->name, QStringLiteral("kind"));
    QVERIFY(m.options->groupOrderBox->isEnabled());
    m.options->sequentialAxisBox->setCurrentText(QStringLiteral("conv.length"));
    QCOMPARE(m.options->eventAxisBox->currentText(), QStringLiteral("none"));
    QCOMPARE(m.view->yAxis->name, QStringLiteral("conv.length"));
    m.options->sequentialAxisBox->setCurrentText(QStringLiteral("none"));
    QVERIFY(m.view->yNone);
    QVERIFY(!m.options->groupOrderBox->isEnabled());
    m.control->removeEventFilter(&renders);
}

void OptionsWidgetTest::frequencyDialogPosition_data()
{
    QTest::addColumn<QPoint>("cursor");
    QTest::addColumn<QPoint>("expected");
    // A 200 x 150 dialog over a 1000 x 800 matrix.
    QTest::newRow("room on both sides") << QPoint(100, 100) << QPoint(95, 95);
    QTest::newRow("near the right edge") << QPoint(900, 100) << QPoint(795, 95);
    QTest::newRow("near the bottom") << QPoint(100, 700) << QPoint(95, 645);
    QTest::newRow("in the corner") << QPoint(990, 790) << QPoint(795, 645);
}

void OptionsWidgetTest::frequencyDialogPosition()
{
    QFETCH(QPoint, cursor);
    QFETCH(QPoint, expected);
    QCOMPARE(OptionsWidget::frequencyDialogPosition(cursor, QSize(200, 150), QSize(1000, 800)), expected);
}

void OptionsWidgetTest::frequencyDialogOnScreen_data()
{
    QTest::addColumn<bool>("bottomRight");   // the matrix in the screen's bottom right corner, else top left
    QTest::newRow("glyph in the top rows") << false;
    QTest::newRow("glyph in the bottom right corner") << true;
}

void OptionsWidgetTest::frequencyDialogOnScreen()
{
    QFETCH(bool, bottomRight);
    Matrix m({{1, QStringLiteral("ab"), QStringLiteral("h1")}});
    m.ribbon->resize(500, 420);
    m.ribbon->show();
    QVERIFY(QTest::qWaitForWindowExposed(m.ribbon.get()));
    const QRect screen = ScreenPlacement::availableGeometryAt(m.view->mapToGlobal(QPoint(0, 0)));
    if (bottomRight)
        m.ribbon->move(m.ribbon->pos() + screen.bottomRight()
                       - m.view->mapToGlobal(QPoint(m.view->width() - 1, m.view->height() - 1)));
    else
        m.ribbon->move(m.ribbon->pos() + screen.topLeft() - m.view->mapToGlobal(QPoint(0, 0)));
    const QPoint local = bottomRight ? QPoint(m.view->width() - 10, m.view->height() - 10) : QPoint(20, 10);
    const QPoint pointer = m.view->mapToGlobal(local);
    QVERIFY(screen.contains(pointer));
    QCursor::setPos(pointer);
    QRect shown;
    QTimer::singleShot(0, [&shown]() {
        auto* dialog = qobject_cast<HistogramWidget*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        shown = dialog->frameGeometry();
        dialog->reject();
    });
    m.options->inspectFreq();
    QVERIFY(shown.isValid());
    QVERIFY2(screen.contains(shown), qPrintable(QStringLiteral("%1,%2 %3x%4")
                                                     .arg(shown.x()).arg(shown.y())
                                                     .arg(shown.width()).arg(shown.height())));
    if (!bottomRight)
        QCOMPARE(shown.topLeft(), pointer - QPoint(5, 5));
    else   // moved up and left so far that it ends inside the matrix
        QVERIFY(QRect(m.view->mapToGlobal(QPoint(0, 0)), m.view->size()).contains(shown.bottomRight()));
}

void OptionsWidgetTest::inspectionDialogs()
{
    Matrix m({{1, QStringLiteral("ab"), QStringLiteral("h1")}});
    QString seen;
    const auto answer = [&seen]() {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* histogram = qobject_cast<HistogramWidget*>(modal))
            seen = QStringLiteral("histogram ") + histogram->plot->attribute;
        else if (modal)
            seen = QString::fromLatin1(modal->metaObject()->className());
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
    };
    QTimer::singleShot(0, answer);
    m.options->inspectFreq();
    QCOMPARE(seen, QStringLiteral("histogram ip.src"));
    QTimer::singleShot(0, answer);
    m.options->inspect();
    QCOMPARE(seen, QStringLiteral("InspectWidget"));
}

LUMIVANE_TEST(OptionsWidgetTest)
#include "OptionsWidgetTest.moc"
