#include "TestRegistry.h"
#include "OverviewFixture.h"

#include "app/MainWindow.h"
#include "app/MessageAsker.h"
#include "views/sequences/RibbonSequenceWidget.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QtTest>

using namespace overviewfixture;

// The left group of views of the main window over a loaded log, with the
// minimap on, as a user sees it: matrix, overview strip and controls. The
// strip is checked pixel by pixel, also after a scroll. With
// LUMIVANE_SCREENSHOT_DIR set the ribbon is written there as
// event-ribbon.png (on a real display server also the window as
// event-ribbon-screen.png) and after the scroll as event-ribbon-scrolled.png.
class OverviewScreenshotTest : public QObject
{
    Q_OBJECT

private slots:
    void wholeRibbon();
};

namespace {

TList<QSharedPointer<Packet>> logEvents()
{
    TList<QSharedPointer<Packet>> events;
    const QString kinds = QStringLiteral("abcde");
    int time = 1600000000;
    for (int t = 0; t < 120; ++t) {
        for (int e = 0; e < 4 + t % 9; ++e) {
            TList<TVariant> row = {TVariant(time++), TVariant(QStringLiteral("10.0.0.%1").arg(t % 6)),
                                   TVariant(QString(kinds.at((t * e + e) % 5)))};
            auto event = QSharedPointer<Packet>::create(row);
            event->conversationId = t;
            events.append(event);
        }
    }
    return events;
}

// Whether the strip shows the stacked image's window at `top`, two pixels down.
bool showsWindow(const QImage& shown, const QImage& stacked, int top)
{
    for (int y = 2; y < shown.height(); y += 3)
        for (int x = 0; x < shown.width(); x += 3) {
            const int sy = y - 2 + top;
            const QRgb expected = sy < stacked.height() && x < stacked.width() ? stacked.pixel(x, sy) | 0xff000000
                                                                                 : qRgb(255, 255, 255);
            if (shown.pixel(x, y) != expected)
                return false;
        }
    return true;
}

int countColour(const QImage& image, const QColor& colour)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += image.pixel(x, y) == colour.rgb();
    return n;
}

} // namespace

namespace {

// A settings file for the main window while the test runs (removed again
// when the test made it), and every message box answered.
struct WindowEnvironment
{
    WindowEnvironment()
        : madeSettings(!QFile::exists(SETTINGS_PATH))
        , previous(MessageAsker::setHandler([](const MessageAsker::Request&) { return QMessageBox::Ok; }))
    {
        if (madeSettings) {
            QFile f(SETTINGS_PATH);
            if (f.open(QIODevice::WriteOnly))
                f.write("/usr/bin/tshark\n/usr/bin/wireshark");
        }
    }
    ~WindowEnvironment()
    {
        MessageAsker::setHandler(previous);
        if (madeSettings)
            QFile::remove(SETTINGS_PATH);
    }
    bool madeSettings;
    MessageAsker::Handler previous;
};

} // namespace

void OverviewScreenshotTest::wholeRibbon()
{
    WindowEnvironment environment;
    Restore<bool> noData(NO_DATA, true);
    {
        MainWindow window;
        window.controlWidget->loadData(logEvents(),
                                       {QStringLiteral("frame.time_epoch"), QStringLiteral("ip.src"),
                                        QStringLiteral("kind")},
                                       {1, 3, 3});
        window.overviewAction->trigger();
        window.resize(1500, 900);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        RibbonEventWidget* ribbon = window.leftEventRibbon;
        EventOverviewWidget* strip = window.leftOverviewRibbon->overview;
        QVERIFY(strip->isVisible());
        // The strip draws once more 300 ms after it got its size.
        QTest::qWait(400);
        QVERIFY(settle(strip));
        QVERIFY(strip->width() >= int(0.15 * ribbon->width()));

        const QImage shot = ribbon->grab().toImage();
        const QByteArray dir = qgetenv("LUMIVANE_SCREENSHOT_DIR");
        if (!dir.isEmpty()) {
            const QDir out(QString::fromLocal8Bit(dir));
            QVERIFY(shot.save(out.filePath(QStringLiteral("event-ribbon.png"))));
            if (QGuiApplication::platformName() == QLatin1String("xcb")) {
                QTest::qWait(200);
                const QPixmap screen = window.screen()->grabWindow(window.winId());
                QVERIFY(screen.save(out.filePath(QStringLiteral("event-ribbon-screen.png"))));
            }
        }

        // White ground, the cell's grey header, grey glyphs; the window at the top.
        const QImage stacked = strip->stackedImage;
        QVERIFY(!stacked.isNull());
        const QImage top = strip->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(top.pixel(top.width() - 3, 0), qRgb(255, 255, 255));
        QCOMPARE(top.pixel(top.width() - 3, top.height() - 1), qRgb(255, 255, 255));
        QVERIFY(countColour(top, EDGE_COLOR) > 0);
        QVERIFY(countColour(top, DEFAULT_FILL_COLOR.darker(110)) > 20);
        QVERIFY(showsWindow(top, stacked, 0));

        // Scrolling the matrix moves the window: line k - 1 at the top.
        ribbon->binScrollBar->setValue(31);
        QCOMPARE(strip->offset, 30);
        QVERIFY(!strip->isRunning());
        const QImage scrolled = strip->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QVERIFY(scrolled != top);
        QVERIFY(showsWindow(scrolled, stacked, 30 * strip->itemSize));
        if (!dir.isEmpty())
            QVERIFY(ribbon->grab().save(QDir(QString::fromLocal8Bit(dir)).filePath(
                QStringLiteral("event-ribbon-scrolled.png"))));

        // The sequence view's button drives the sequence ribbon.
        RibbonSequenceWidget* sequence = window.sequenceRibbon;
        for (int i = 0; i < 2; ++i) {
            ribbon->sequenceViewButton->toggle();
            QCOMPARE(sequence->active, ribbon->sequenceViewButton->isChecked());
        }
    }
}

LUMIVANE_TEST(OverviewScreenshotTest)
#include "OverviewScreenshotTest.moc"
