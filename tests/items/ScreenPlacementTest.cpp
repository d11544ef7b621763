#include "TestRegistry.h"

#include "items/ScreenPlacement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <QtTest>

class ScreenPlacementTest : public QObject
{
    Q_OBJECT

private slots:
    void fitInto_data();
    void fitInto();
    void besidePointer_data();
    void besidePointer();
    void windowsAtTheCorners_data();
    void windowsAtTheCorners();
    void centreOver_data();
    void centreOver();
};

namespace {

// The screen the Xvfb check uses.
const QRect SCREEN(0, 0, 1600, 1000);
// The glyph popup of a few events.
const QSize POPUP(422, 322);

} // namespace

void ScreenPlacementTest::fitInto_data()
{
    QTest::addColumn<QRect>("rect");
    QTest::addColumn<QRect>("area");
    QTest::addColumn<QRect>("expected");
    const QRect area(100, 50, 800, 600);   // a screen right of and below another
    QTest::newRow("inside") << QRect(200, 100, 226, 280) << area << QRect(200, 100, 226, 280);
    QTest::newRow("above the top") << QRect(200, -93, 226, 280) << area << QRect(200, 50, 226, 280);
    QTest::newRow("past the bottom right") << QRect(850, 600, 226, 280) << area << QRect(674, 370, 226, 280);
    QTest::newRow("left of the area") << QRect(0, 300, 226, 280) << area << QRect(100, 300, 226, 280);
    QTest::newRow("exactly at the edge") << QRect(674, 370, 226, 280) << area << QRect(674, 370, 226, 280);
    QTest::newRow("larger than the area") << QRect(300, 300, 1000, 700) << area << QRect(100, 50, 1000, 700);
    QTest::newRow("no area") << QRect(-5, -5, 10, 10) << QRect() << QRect(-5, -5, 10, 10);
}

void ScreenPlacementTest::fitInto()
{
    QFETCH(QRect, rect);
    QFETCH(QRect, area);
    QFETCH(QRect, expected);
    QCOMPARE(ScreenPlacement::fitInto(rect, area), expected);
}

void ScreenPlacementTest::besidePointer_data()
{
    QTest::addColumn<QPoint>("pointer");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRect>("expected");
    QTest::newRow("room below right") << QPoint(300, 200) << POPUP << QRect(QPoint(305, 205), POPUP);
    QTest::newRow("top left corner") << QPoint(0, 0) << POPUP << QRect(QPoint(5, 5), POPUP);
    QTest::newRow("near the right edge") << QPoint(1400, 200) << POPUP << QRect(QPoint(973, 205), POPUP);
    QTest::newRow("near the bottom") << QPoint(300, 900) << POPUP << QRect(QPoint(305, 573), POPUP);
    QTest::newRow("bottom right corner") << QPoint(1599, 999) << POPUP << QRect(QPoint(1172, 672), POPUP);
    // Exactly the room right of the pointer: it still goes there.
    QTest::newRow("fits to the pixel") << QPoint(1173, 672) << POPUP << QRect(QPoint(1178, 677), POPUP);
    // Taller than the room above and below: right of the pointer, slid up
    // along the bottom edge.
    QTest::newRow("tall, beside") << QPoint(300, 500) << QSize(400, 900) << QRect(305, 100, 400, 900);
    // Wider than the room left and right: below the pointer, slid left.
    QTest::newRow("wide, below") << QPoint(800, 300) << QSize(1200, 300) << QRect(400, 305, 1200, 300);
    // Taller than the screen: cut to its height.
    QTest::newRow("taller than the screen") << QPoint(300, 500) << QSize(400, 1400) << QRect(305, 0, 400, 1000);
    // Fits on no side: cut to the largest room (here the right of the pointer).
    QTest::newRow("fits nowhere") << QPoint(700, 500) << QSize(1500, 950) << QRect(705, 50, 895, 950);
    // A pointer off the area: anywhere inside misses it.
    QTest::newRow("pointer off the area") << QPoint(1700, 500) << POPUP << QRect(QPoint(1178, 505), POPUP);
}

void ScreenPlacementTest::besidePointer()
{
    QFETCH(QPoint, pointer);
    QFETCH(QSize, size);
    QFETCH(QRect, expected);
    const QRect place = ScreenPlacement::besidePointer(pointer, size, SCREEN);
    QCOMPARE(place, expected);
    QVERIFY(SCREEN.contains(place));
    QVERIFY(!place.contains(pointer));
}

void ScreenPlacementTest::windowsAtTheCorners_data()
{
    QTest::addColumn<int>("corner");   // 0 top left, 1 top right, 2 bottom right, 3 bottom left
    QTest::newRow("top left") << 0;
    QTest::newRow("top right") << 1;
    QTest::newRow("bottom right") << 2;
    QTest::newRow("bottom left") << 3;
}

void ScreenPlacementTest::windowsAtTheCorners()
{
    QFETCH(int, corner);
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QPoint corners[] = {screen.topLeft(), screen.topRight(), screen.bottomRight(), screen.bottomLeft()};
    const QPoint pointer = corners[corner];
    QCOMPARE(ScreenPlacement::availableGeometryAt(pointer), screen);

    // A dialog asked to open past the corner (up and left of the pointer,
    // and down and right of it) opens on the screen.
    QWidget dialog(nullptr, Qt::Dialog);
    dialog.resize(226, 280);
    for (const QPoint& shift : {QPoint(-300, -300), QPoint(5, 5), QPoint(-5, -93)}) {
        ScreenPlacement::moveOnScreen(&dialog, pointer + shift, pointer);
        QVERIFY2(screen.contains(QRect(dialog.pos(), dialog.size())),
                 qPrintable(QStringLiteral("%1,%2").arg(dialog.x()).arg(dialog.y())));
    }
    // Shown, its frame (unknown before) stays on the screen too.
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QVERIFY(screen.contains(dialog.frameGeometry()));
    ScreenPlacement::moveOnScreen(&dialog, pointer - QPoint(20, 20), pointer);
    QVERIFY(screen.contains(dialog.frameGeometry()));

    // A popup beside the pointer: on the screen, not under the pointer.
    QWidget popup(nullptr, Qt::Tool | Qt::FramelessWindowHint);
    popup.resize(POPUP);
    ScreenPlacement::placeBesidePointer(&popup, pointer);
    popup.show();
    QVERIFY(QTest::qWaitForWindowExposed(&popup));
    QCOMPARE(popup.size(), POPUP);
    QVERIFY(screen.contains(popup.frameGeometry()));
    QVERIFY(!popup.frameGeometry().contains(pointer));
}

// A window opened over another is centred over it, on the screen (this
// one is 800 x 600), wherever the other was moved; over a window that is
// not shown it stays where it was.
void ScreenPlacementTest::centreOver_data()
{
    QTest::addColumn<QRect>("other");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QPoint>("expected");
    const QSize small(200, 100);
    QTest::newRow("over the other") << QRect(100, 100, 400, 300) << true << small << QPoint(200, 200);
    QTest::newRow("other moved") << QRect(350, 250, 400, 300) << true << small << QPoint(450, 350);
    QTest::newRow("other at the screen's corner") << QRect(600, 450, 400, 300) << true << small
                                                  << QPoint(600, 500);
    QTest::newRow("other not shown") << QRect(350, 250, 400, 300) << false << small << QPoint(10, 20);
}

void ScreenPlacementTest::centreOver()
{
    QFETCH(QRect, other);
    QFETCH(bool, shown);
    QFETCH(QSize, size);
    QFETCH(QPoint, expected);
    if (QGuiApplication::primaryScreen()->availableGeometry() != QRect(0, 0, 800, 600))
        QSKIP("needs the offscreen platform's 800 x 600 screen");
    QWidget under;
    under.setGeometry(other);
    if (shown) {
        under.show();
        QVERIFY(QTest::qWaitForWindowExposed(&under));
    }
    QWidget window;
    window.resize(size);
    window.move(10, 20);
    ScreenPlacement::centreOver(&window, &under);
    QCOMPARE(window.pos(), expected);
}

LUMIVANE_TEST(ScreenPlacementTest)
#include "ScreenPlacementTest.moc"
