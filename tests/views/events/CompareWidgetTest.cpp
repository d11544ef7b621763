#include "ContextFixture.h"
#include "TestRegistry.h"

#include "app/ControlWidget.h"
#include "core/Constants.h"
#include "core/DisplayText.h"
#include "model/GlyphStore.h"
#include "views/events/CompareWidget.h"
#include "views/events/GlyphPopup.h"
#include "views/events/SortTriangle.h"

#include <QElapsedTimer>
#include <QHeaderView>
#include <QImage>
#include <QPainter>
#include <QtTest>

#include <memory>

using fixture::Packets;

namespace {

QStringList headerLabels(const QTableWidget* table)
{
    QStringList out;
    for (int c = 0; c < table->columnCount(); ++c)
        out << table->horizontalHeaderItem(c)->text();
    return out;
}

QStringList column(const QTableWidget* table, int c)
{
    QStringList out;
    for (int r = 0; r < table->rowCount(); ++r)
        out << table->item(r, c)->text();
    return out;
}

// A triangle of the given size drawn into a white image of that size
// (one pixel more each way, for the closing edges).
QImage drawTriangle(double w, double h, int state, bool highlighted = false)
{
    SortTriangle triangle(nullptr, nullptr);
    triangle.setWidth(w);
    triangle.setHeight(h);
    triangle.setState(state);
    triangle.highlighted = highlighted;
    QImage image(int(w) + 1, int(h) + 1, QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    QPen pen;
    QBrush brush;
    triangle.paint(&painter, pen, brush);
    painter.end();
    return image;
}

// First and last x of the row that are not white.
QPair<int, int> drawnSpan(const QImage& image, int y)
{
    int first = -1;
    int last = -1;
    for (int x = 0; x < image.width(); ++x) {
        if (image.pixelColor(x, y) != QColor(Qt::white)) {
            if (first < 0)
                first = x;
            last = x;
        }
    }
    return {first, last};
}

} // namespace

class CompareWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void layouts_data();
    void layouts();
    void valuesAndFlags();
    void onlyShownEventsDecideTheAttributes();
    void popupShowsTheFirst500();
    void popupClosesWhenLeft();
    void popupShortensLongValues_data();
    void popupShortensLongValues();
    void triangleMargins_data();
    void triangleMargins();
    void trianglePixels();

private:
    std::unique_ptr<ControlWidget> control;
    Packets events(int n) const;
};

void CompareWidgetTest::init()
{
    control.reset(new ControlWidget(nullptr));
    // Column order is not name order: the table sorts by name.
    control->glyphStore->setAttributes(TList<QString>(QStringList{"zeta", "alpha", "mid", "never"}),
                                       TList<int>(QList<int>{3, 3, 0, 3}));
}

void CompareWidgetTest::cleanup()
{
    control.reset();
}

// Events with "zeta" and "alpha" always, "mid" for the second one only.
Packets CompareWidgetTest::events(int n) const
{
    Packets out;
    for (int i = 0; i < n; ++i)
        out.append(fixture::makeEvent({"z" + QString::number(i), "a" + QString::number(i),
                                       i == 1 ? "7" : "", ""}));
    return out;
}

void CompareWidgetTest::layouts_data()
{
    QTest::addColumn<bool>("popup");
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("header");
    QTest::addColumn<QStringList>("firstColumn");
    QTest::addColumn<bool>("rowHeader");

    const QStringList oneEvent{"alpha", "zeta"};
    const QStringList twoEvents{"alpha", "mid", "zeta"};
    QTest::newRow("inspect one") << false << 1 << QStringList{"Properties:", "P0"} << oneEvent
                                 << false;
    QTest::newRow("popup one") << true << 1 << QStringList{"Properties:", "P0"} << oneEvent
                               << false;
    QTest::newRow("inspect two") << false << 2 << QStringList{"Properties:", "P0", "P1"}
                                 << twoEvents << false;
    QTest::newRow("inspect three") << false << 3 << QStringList{"Data:", "alpha", "mid", "zeta"}
                                   << QStringList{"P0", "P1", "P2"} << true;
    QTest::newRow("popup two") << true << 2 << QStringList{"Data:", "alpha", "mid", "zeta"}
                               << QStringList{"P0", "P1"} << true;
}

void CompareWidgetTest::layouts()
{
    QFETCH(bool, popup);
    QFETCH(int, count);
    QFETCH(QStringList, header);
    QFETCH(QStringList, firstColumn);
    QFETCH(bool, rowHeader);

    // InspectWidget builds its table as CompareWidget(control, 10000, n >= 3).
    std::unique_ptr<GlyphPopup> dialog;
    std::unique_ptr<CompareWidget> own;
    CompareWidget* table;
    if (popup) {
        dialog.reset(new GlyphPopup(control.get(), events(count)));
        table = dialog->table;
    } else {
        own.reset(new CompareWidget(control.get(), 10000, count >= 3));
        own->setPackets(events(count));
        table = own.get();
    }
    QCOMPARE(headerLabels(table), header);
    QCOMPARE(column(table, 0), firstColumn);
    QCOMPARE(table->verticalHeader()->isHidden(), !rowHeader);
    QVERIFY(!table->showGrid());
    QVERIFY(table->isSortingEnabled());
    QCOMPARE(table->sizeHint(), QSize(400, 300));
}

void CompareWidgetTest::valuesAndFlags()
{
    CompareWidget table(control.get(), -1, false);
    table.setPackets(events(2));
    // Rows alpha, mid, zeta; the first event has no "mid".
    QCOMPARE(column(&table, 1), (QStringList{"a0", "", "z0"}));
    QCOMPARE(column(&table, 2), (QStringList{"a1", "7", "z1"}));
    QCOMPARE(table.item(0, 1)->flags(), Qt::ItemFlags(Qt::NoItemFlags));
    QCOMPARE(table.item(0, 0)->flags(), QTableWidgetItem().flags());

    // As rows: the values of event k stand in row k.
    CompareWidget rows(control.get(), -1, true);
    rows.setPackets(events(3));
    QCOMPARE(column(&rows, 2), (QStringList{"", "7", ""}));
    QCOMPARE(rows.item(1, 2)->flags(), Qt::ItemFlags(Qt::NoItemFlags));

    // Columns share the width, never under 100 pixels.
    rows.resize(1000, 300);
    rows.updateTable();
    QCOMPARE(rows.columnWidth(0), 250);
    rows.resize(200, 300);
    rows.updateTable();
    QCOMPARE(rows.columnWidth(0), 100);
}

void CompareWidgetTest::onlyShownEventsDecideTheAttributes()
{
    // Event 2 alone has "never", and only two events are shown.
    Packets list = events(3);
    list.items[2] = fixture::makeEvent({"z2", "a2", "", "late"});
    CompareWidget table(control.get(), 2, false);
    table.setPackets(list);
    QCOMPARE(headerLabels(&table), (QStringList{"Properties:", "P0", "P1"}));
    QCOMPARE(column(&table, 0), (QStringList{"alpha", "mid", "zeta"}));

    table.limit = -1;
    table.updateTable();
    QCOMPARE(column(&table, 0), (QStringList{"alpha", "mid", "never", "zeta"}));
}

void CompareWidgetTest::popupShowsTheFirst500()
{
    GlyphPopup popup(control.get(), events(600));
    QCOMPARE(popup.table->rowCount(), 500);
    QCOMPARE(popup.table->item(499, 0)->text(), QStringLiteral("P499"));
    QCOMPARE(popup.table->item(499, 3)->text(), QStringLiteral("z499"));
}

void CompareWidgetTest::popupClosesWhenLeft()
{
    GlyphPopup popup(control.get(), events(1));
    popup.show();
    QVERIFY(popup.isVisible());
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(&popup, &leave);
    QVERIFY(!popup.isVisible());
    QCOMPARE(popup.result(), int(QDialog::Accepted));
}

void CompareWidgetTest::popupShortensLongValues_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("shown");
    const int n = DisplayText::LIMIT;
    const QChar dots = DisplayText::ELLIPSIS;
    QTest::newRow("5 MB") << QByteArray(5 << 20, 'a') << QString(n, 'a') + dots;
    // More bytes than the limit, but no more characters: nothing is cut.
    QTest::newRow("two-byte letters") << QByteArray("\xc3\xa9").repeated(n) << QString(n, QChar(0xe9));
    // A surrogate pair across the cut is left out whole.
    QTest::newRow("pair at the cut") << QByteArray(n - 1, 'a') + "\xf0\x9f\x98\x80"
                                     << QString(n - 1, 'a') + dots;
    QTest::newRow("bad bytes") << QByteArray(4 * n, '\xff') << QString(n, QChar(0xfffd)) + dots;
}

void CompareWidgetTest::popupShortensLongValues()
{
    QFETCH(QByteArray, value);
    QFETCH(QString, shown);
    const TList<TVariant> row{TVariant("z"), TVariant(value.constData(), false), TVariant(), TVariant()};
    Packets list;
    list.append(QSharedPointer<Packet>::create(row));
    QElapsedTimer clock;
    clock.start();
    GlyphPopup popup(control.get(), list);
    popup.adjustSize();
    popup.show();
    popup.grab();
    // Laying out and painting megabytes of text took seconds.
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(popup.table->item(0, 1)->text(), shown);
    QCOMPARE(list.at(0)->get(1).text, value);
}

void CompareWidgetTest::triangleMargins_data()
{
    QTest::addColumn<double>("width");
    QTest::addColumn<int>("margin");
    QTest::addColumn<int>("span");

    QTest::newRow("3: at least 1") << 3.0 << 1 << 1;
    QTest::newRow("5: a third, whole part") << 5.0 << 1 << 3;
    QTest::newRow("6") << 6.0 << 2 << 2;
    QTest::newRow("12: at most 3") << 12.0 << 3 << 6;
}

void CompareWidgetTest::triangleMargins()
{
    QFETCH(double, width);
    QFETCH(int, margin);
    QFETCH(int, span);

    // State 0: the top edge runs from the margin over the span.
    const QImage image = drawTriangle(width, 12, 0);
    QCOMPARE(drawnSpan(image, 0), qMakePair(margin, margin + span));
}

void CompareWidgetTest::trianglePixels()
{
    const QColor blueGrey(177, 189, 197);
    const QColor white(Qt::white);

    // Downward and filled: the top centre is blue-grey, the bottom corners white.
    QImage down = drawTriangle(12, 12, 0);
    QCOMPARE(down.pixelColor(6, 2), blueGrey);
    QCOMPARE(down.pixelColor(3, 11), white);

    // Upward and filled: the bottom centre filled, the top corners white.
    QImage up = drawTriangle(12, 12, 1);
    QCOMPARE(up.pixelColor(6, 10), blueGrey);
    QCOMPARE(up.pixelColor(3, 0), white);

    // No direction: both outlines, the centre stays background.
    QImage both = drawTriangle(12, 12, 2);
    QCOMPARE(both.pixelColor(6, 6), white);
    QCOMPARE(both.pixelColor(3, 0), blueGrey);
    QCOMPARE(both.pixelColor(3, 12), blueGrey);

    // Highlighted: an orange outline.
    QImage hot = drawTriangle(12, 12, 2, true);
    const QColor edge = hot.pixelColor(3, 0);
    QVERIFY2(edge.red() > 200 && edge.blue() < 150, qPrintable(edge.name()));
    QCOMPARE(hot.pixelColor(6, 6), white);

    // The position moves the drawing.
    SortTriangle moved(nullptr, nullptr);
    moved.setWidth(12);
    moved.setHeight(12);
    moved.setState(0);
    moved.setPos(QPointF(20, 10));
    QImage image(40, 30, QImage::Format_ARGB32);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        QPen pen;
        QBrush brush;
        moved.paint(&painter, pen, brush);
    }
    QCOMPARE(image.pixelColor(26, 12), blueGrey);
    QCOMPARE(image.pixelColor(6, 2), white);
}

LUMIVANE_TEST(CompareWidgetTest)
#include "CompareWidgetTest.moc"
