#include "TestRegistry.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWidget>
#include <QtTest>

#include "events/EventType.h"
#include "events/ResizeEvent.h"
#include "core/Constants.h"
#include "items/BinHeader.h"

namespace {

class ResizeCounter : public QObject
{
public:
    bool event(QEvent* e) override
    {
        if (e->type() == toEventType(RESIZEEVENT)) {
            auto* resize = static_cast<ResizeEvent*>(e);
            senders.append(resize->sender);
            argCounts.append(resize->args.size());
            return true;
        }
        return QObject::event(e);
    }
    QList<QObject*> senders;
    QList<int> argCounts;
};

void press(BinHeader& header, QPointF at)
{
    QMouseEvent event(QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    header.mousePress(&event);
}

bool near(const QColor& a, const QColor& b, int tolerance = 3)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance
           && qAbs(a.blue() - b.blue()) <= tolerance;
}

QImage render(BinHeader& header, int w, int h)
{
    QImage image(w, h, QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    QPen pen;
    QBrush brush;
    header.paint(&painter, pen, brush);
    painter.end();
    return image;
}

QStringList warnings;
void collectWarnings(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtWarningMsg)
        warnings << message;
}

} // namespace

class BinHeaderTest : public QObject
{
    Q_OBJECT

private slots:
    void toggleHitArea_data();
    void toggleHitArea();
    void twoPressesSendTwoResizes();
    void pressWithoutReceiver();
    void paintsPlusThenMinus();
    void smallerThanMargins();
};

void BinHeaderTest::toggleHitArea_data()
{
    QTest::addColumn<double>("height");
    QTest::addColumn<QPoint>("widgetPos");
    QTest::addColumn<QPointF>("pressAt");
    QTest::addColumn<bool>("toggles");
    // 200 x 40: b = 20, the button starts at 170.
    QTest::newRow("on the button") << 40.0 << QPoint(0, 0) << QPointF(175, 5) << true;
    QTest::newRow("left of the button") << 40.0 << QPoint(0, 0) << QPointF(165, 5) << false;
    QTest::newRow("cell moved right") << 40.0 << QPoint(100, 0) << QPointF(275, 5) << true;
    QTest::newRow("cell moved, press left") << 40.0 << QPoint(100, 0) << QPointF(265, 5) << false;
    QTest::newRow("cell moved down") << 40.0 << QPoint(0, 300) << QPointF(175, 305) << true;
    QTest::newRow("below the header") << 40.0 << QPoint(0, 0) << QPointF(175, 41) << false;
    QTest::newRow("half rounds up into the button") << 40.0 << QPoint(0, 0) << QPointF(169.5, 5) << true;
    QTest::newRow("just short of the button") << 40.0 << QPoint(0, 0) << QPointF(169.4, 5) << false;
    // 200 x 100: b = 50 (capped), the button starts at 140.
    QTest::newRow("capped, on the button") << 100.0 << QPoint(0, 0) << QPointF(141, 50) << true;
    QTest::newRow("capped, left of it") << 100.0 << QPoint(0, 0) << QPointF(139, 50) << false;
}

void BinHeaderTest::toggleHitArea()
{
    QFETCH(double, height);
    QFETCH(QPoint, widgetPos);
    QFETCH(QPointF, pressAt);
    QFETCH(bool, toggles);

    QWidget cell;
    cell.move(widgetPos);
    ResizeCounter receiver;
    BinHeader header(&cell, nullptr, &receiver, "T");
    header.setWidth(200);
    header.setHeight(height);
    press(header, pressAt);
    QCOMPARE(header.toggled, toggles);
    QCOMPARE(receiver.senders.size(), toggles ? 1 : 0);
}

void BinHeaderTest::twoPressesSendTwoResizes()
{
    QWidget cell;
    ResizeCounter receiver;
    BinHeader header(&cell, nullptr, &receiver, "T");
    header.setWidth(200);
    header.setHeight(40);
    QCOMPARE(header.buttonSize(), 20);
    press(header, QPointF(175, 5));
    QVERIFY(header.toggled);
    press(header, QPointF(180, 30));
    QVERIFY(!header.toggled);
    QCOMPARE(receiver.senders, QList<QObject*>({&receiver, &receiver}));
    QCOMPARE(receiver.argCounts, QList<int>({0, 0}));
}

void BinHeaderTest::pressWithoutReceiver()
{
    BinHeader header(nullptr, nullptr, nullptr, "T");
    header.setWidth(200);
    header.setHeight(40);
    press(header, QPointF(175, 5));
    QVERIFY(header.toggled);
}

void BinHeaderTest::paintsPlusThenMinus()
{
    BinHeader header(nullptr, nullptr, nullptr, "");
    header.setWidth(200);
    header.setHeight(40);
    QImage image = render(header, 200, 40);
    QVERIFY(near(image.pixelColor(100, 3), EDGE_COLOR));
    QVERIFY(near(image.pixelColor(175, 20), TEXT_COLOR));  // horizontal bar
    QVERIFY(near(image.pixelColor(180, 12), TEXT_COLOR));  // vertical bar: plus
    QVERIFY(near(image.pixelColor(160, 20), EDGE_COLOR));

    header.toggled = true;
    image = render(header, 200, 40);
    QVERIFY(near(image.pixelColor(175, 20), TEXT_COLOR));
    QVERIFY(near(image.pixelColor(180, 12), EDGE_COLOR));  // minus only
}

void BinHeaderTest::smallerThanMargins()
{
    QWidget cell;
    ResizeCounter receiver;
    BinHeader header(&cell, nullptr, &receiver, "Title");
    header.setWidth(60);
    header.setHeight(12);  // less than the two margins of 10
    QCOMPARE(header.buttonSize(), 0);

    warnings.clear();
    QtMessageHandler previous = qInstallMessageHandler(collectWarnings);
    QImage image = render(header, 60, 12);
    qInstallMessageHandler(previous);
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join("; ")));

    // The zero-size button still takes a press on its place at the right.
    press(header, QPointF(55, 5));
    QVERIFY(header.toggled);
    press(header, QPointF(40, 5));
    QVERIFY(header.toggled);
}

LUMIVANE_TEST(BinHeaderTest)
#include "BinHeaderTest.moc"
