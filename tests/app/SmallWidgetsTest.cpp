#include "ContextFixture.h"
#include "DebugCapture.h"
#include "MessageRecorder.h"
#include "TestRegistry.h"

#include "app/Bar.h"
#include "app/ControlWidget.h"
#include "app/HeaderWidget.h"
#include "app/IconToggleWidget.h"
#include "app/InspectWidget.h"
#include "app/MatchIcon.h"
#include "app/TMenu.h"
#include "app/TextInputWidget.h"
#include "core/Constants.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "views/events/CompareWidget.h"
#include "views/events/EventWidget.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using fixture::Packets;

namespace {

bool near(const QColor& a, const QColor& b)
{
    return qAbs(a.red() - b.red()) <= 2 && qAbs(a.green() - b.green()) <= 2
           && qAbs(a.blue() - b.blue()) <= 2;
}

int countPixels(const QImage& image, const QRect& area, const QColor& colour)
{
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            n += image.pixelColor(x, y) == colour ? 1 : 0;
    return n;
}

QPushButton* button(TextInputWidget& dialog, QDialogButtonBox::StandardButton which)
{
    return dialog.findChild<QDialogButtonBox*>()->button(which);
}

} // namespace

class SmallWidgetsTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void nameDialogLayout();
    void nameDialogRefusesEmptyName();
    void nameDialogCancel();
    void inspectLayouts_data();
    void inspectLayouts();
    void inspectShowsAtMost10000();
    void inspectResizeSharesTheWidth();
    void matchIconColours();
    void toggleEnterLeaveAndClick();
    void barFill_data();
    void barFill();
    void menuKeepsHighlightOnLeave();
    void headerColoursByFocus();
    void headerTooLowForText();

private:
    std::unique_ptr<ControlWidget> control;
    Packets events(int n) const;
    QImage header(EventWidget& view, int height, Context* context, bool focused);
};

void SmallWidgetsTest::init()
{
    control.reset(new ControlWidget(nullptr));
    control->glyphStore->setAttributes(TList<QString>(QStringList{"zeta", "alpha", "mid"}),
                                       TList<int>(QList<int>{3, 3, 0}));
}

void SmallWidgetsTest::cleanup()
{
    control.reset();
}

Packets SmallWidgetsTest::events(int n) const
{
    Packets out;
    for (int i = 0; i < n; ++i)
        out.append(fixture::makeEvent({"z" + QString::number(i), "a" + QString::number(i),
                                       QString::number(i)}));
    return out;
}

void SmallWidgetsTest::nameDialogLayout()
{
    TextInputWidget dialog(control.get());
    QCOMPARE(dialog.minimumSize(), QSize(500, 100));
    QStringList labels;
    for (QLabel* label : dialog.findChildren<QLabel*>())
        labels << label->text();
    QCOMPARE(labels, QStringList{"name:"});
    QCOMPARE(dialog.attributeBox->text(), QStringLiteral("add as attribute: "));
    QVERIFY(dialog.attributeBox->isChecked());
}

void SmallWidgetsTest::nameDialogRefusesEmptyName()
{
    MessageRecorder boxes;
    TextInputWidget dialog(control.get());
    bool openAfterEmpty = false;
    QTimer::singleShot(0, &dialog, [&] {
        button(dialog, QDialogButtonBox::Ok)->click();
        openAfterEmpty = dialog.isVisible();
        dialog.nameEdit->setText(QStringLiteral("Selection 1"));
        dialog.attributeBox->setChecked(false);
        button(dialog, QDialogButtonBox::Ok)->click();
    });
    // Only a hang would reach this.
    QTimer::singleShot(5000, &dialog, [&] { dialog.done(-1); });
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    QVERIFY(openAfterEmpty);
    QCOMPARE(boxes.requests.size(), 1);
    QCOMPARE(boxes.requests.first().title, QStringLiteral("Create selection"));
    QCOMPARE(boxes.requests.first().text, QStringLiteral("The proposed name is invalid"));
    QCOMPARE(boxes.requests.first().icon, QMessageBox::Warning);
    QCOMPARE(boxes.requests.first().buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(dialog.nameEdit->text(), QStringLiteral("Selection 1"));
    QVERIFY(!dialog.attributeBox->isChecked());
}

void SmallWidgetsTest::nameDialogCancel()
{
    MessageRecorder boxes;
    TextInputWidget dialog(control.get());
    QTimer::singleShot(0, &dialog, [&] { button(dialog, QDialogButtonBox::Cancel)->click(); });
    QTimer::singleShot(5000, &dialog, [&] { dialog.done(-1); });
    QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    QVERIFY(boxes.requests.isEmpty());
}

void SmallWidgetsTest::inspectLayouts_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("header");
    QTest::addColumn<QStringList>("firstColumn");

    QTest::newRow("one: side by side") << 1 << QStringList{"Properties:", "P0"}
                                       << QStringList{"alpha", "mid", "zeta"};
    QTest::newRow("two: side by side") << 2 << QStringList{"Properties:", "P0", "P1"}
                                       << QStringList{"alpha", "mid", "zeta"};
    QTest::newRow("three: a row each") << 3 << QStringList{"Data:", "alpha", "mid", "zeta"}
                                       << QStringList{"P0", "P1", "P2"};
}

void SmallWidgetsTest::inspectLayouts()
{
    QFETCH(int, count);
    QFETCH(QStringList, header);
    QFETCH(QStringList, firstColumn);

    InspectWidget dialog(control.get(), events(count));
    QCOMPARE(dialog.size(), QSize(600, 400));
    CompareWidget* table = dialog.table;
    QStringList labels;
    for (int c = 0; c < table->columnCount(); ++c)
        labels << table->horizontalHeaderItem(c)->text();
    QCOMPARE(labels, header);
    QStringList first;
    for (int r = 0; r < table->rowCount(); ++r)
        first << table->item(r, 0)->text();
    QCOMPARE(first, firstColumn);
}

void SmallWidgetsTest::inspectShowsAtMost10000()
{
    DebugCapture debug;
    debug.setForward(false);
    InspectWidget dialog(control.get(), events(10003));
    QCOMPARE(dialog.table->rowCount(), 10000);
    QCOMPARE(dialog.table->item(9999, 0)->text(), QStringLiteral("P9999"));
    QCOMPARE(debug.count(QStringLiteral("events left out of the inspection: 3")), 1);

    DebugCapture quiet;
    InspectWidget exact(control.get(), events(10000));
    QCOMPARE(exact.table->rowCount(), 10000);
    QVERIFY(quiet.lines().filter(QStringLiteral("left out")).isEmpty());
}

void SmallWidgetsTest::inspectResizeSharesTheWidth()
{
    InspectWidget dialog(control.get(), events(3));
    dialog.show();
    dialog.resize(900, 400);
    QCOMPARE(dialog.table->size(), QSize(900, 400));
    // "Data:" and three attributes share 900 pixels.
    QCOMPARE(dialog.table->columnWidth(0), 225);
    QCOMPARE(dialog.table->rowCount(), 3);
}

void SmallWidgetsTest::matchIconColours()
{
    const QColor light(222, 226, 230);
    const QColor dark(QColor(177, 189, 197).darker(200).rgb());

    // 33 x 22, as the rule list makes it: the upper bar's centre is at
    // (16, 5), the lower bar's at (9, 16).
    MatchIcon on(true);
    IconToggleWidget toggle(33.9, 22.2, &on);
    QCOMPARE(toggle.size(), QSize(33, 22));
    QVERIFY(toggle.hasMouseTracking());
    QImage image = toggle.grab().toImage();
    QCOMPARE(image.pixelColor(16, 5), light);
    QCOMPARE(image.pixelColor(9, 16), dark);
    // The lower bar is half as long.
    QVERIFY(image.pixelColor(25, 16) != dark);

    on.match = false;
    image = toggle.grab().toImage();
    QCOMPARE(image.pixelColor(16, 5), dark);
    QCOMPARE(image.pixelColor(9, 16), light);
}

void SmallWidgetsTest::toggleEnterLeaveAndClick()
{
    MatchIcon icon(true);
    IconToggleWidget toggle(33, 22, &icon);
    QSignalSpy clicked(&toggle, &IconToggleWidget::clicked);
    const QImage plain = toggle.grab().toImage();
    const QColor outlineArea = plain.pixelColor(2, 14);

    QEvent enter(QEvent::Enter);
    QCoreApplication::sendEvent(&toggle, &enter);
    QVERIFY(icon.hovered);
    QVERIFY(icon.match);
    const QImage hovered = toggle.grab().toImage();
    // Both bars get their outline on the left edge.
    QVERIFY(hovered.pixelColor(2, 5) != plain.pixelColor(2, 5));
    QVERIFY(hovered.pixelColor(2, 14) != outlineArea);

    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(&toggle, &leave);
    QVERIFY(!icon.hovered);
    QVERIFY(icon.match);
    QCOMPARE(toggle.grab().toImage(), plain);
    QCOMPARE(clicked.count(), 0);

    DebugCapture debug;
    debug.setForward(false);
    QTest::mouseClick(&toggle, Qt::LeftButton);
    QCOMPARE(clicked.count(), 1);
    QVERIFY(!icon.match);
    QCOMPARE(debug.count(QStringLiteral("clicked")), 1);
    QTest::mouseClick(&toggle, Qt::LeftButton);
    QCOMPARE(clicked.count(), 2);
    QVERIFY(icon.match);
}

void SmallWidgetsTest::barFill_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<int>("lastFilled");

    // A 100 x 20 bar fills value * 94 + 1 pixels.
    QTest::newRow("0 still fills column 0") << 0.0 << 0 << QColor(200, 255, 200) << 0;
    QTest::newRow("half, mode 1") << 0.5 << 1 << QColor(255, 100, 100) << 47;
    QTest::newRow("full, mode 2") << 1.0 << 2 << QColor(177, 189, 197) << 94;
    QTest::newRow("past full stays inside") << 3.0 << 2 << QColor(177, 189, 197) << 94;
    QTest::newRow("below 0 as 0") << -2.0 << 0 << QColor(200, 255, 200) << 0;
}

void SmallWidgetsTest::barFill()
{
    QFETCH(double, value);
    QFETCH(int, mode);
    QFETCH(QColor, colour);
    QFETCH(int, lastFilled);

    Bar bar(value, mode);
    bar.resize(100, 20);
    QVERIFY(bar.hasMouseTracking());
    const QImage image = bar.grab().toImage();
    QCOMPARE(image.pixelColor(lastFilled, 10), colour);
    QVERIFY(image.pixelColor(lastFilled + 2, 10) != colour);
    // The line at x = 0 runs over the whole height.
    QCOMPARE(image.pixelColor(0, 0), colour);
    QCOMPARE(image.pixelColor(0, 19), colour);
}

void SmallWidgetsTest::menuKeepsHighlightOnLeave()
{
    TMenu menu;
    QVERIFY(!menu.parent());
    QAction* first = menu.addAction(QStringLiteral("one"));
    menu.addAction(QStringLiteral("two"));
    menu.show();
    menu.setActiveAction(first);
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(&menu, &leave);
    QCOMPARE(menu.activeAction(), first);
}

QImage SmallWidgetsTest::header(EventWidget& view, int height, Context* context, bool focused)
{
    view.context = context;
    view.focused = focused;
    HeaderWidget widget(&view);
    widget.resize(200, height);
    return widget.grab().toImage();
}

void SmallWidgetsTest::headerColoursByFocus()
{
    EventWidget view(control.get(), nullptr, 0, nullptr);
    std::unique_ptr<Context> all(
        new Context(nullptr, QStringLiteral("All"), Packets(), control->glyphStore, false));
    const QColor blueOverWhite(105, 105, 255);
    const QColor blueGrey(177, 189, 197);
    const QRect bar(3, 3, 194, 26);

    const QImage idle = header(view, 30, nullptr, false);
    QCOMPARE(idle.pixelColor(0, 15), QColor(Qt::white));
    QCOMPARE(idle.pixelColor(10, 15), blueGrey);
    // No context: the rectangle alone.
    QCOMPARE(countPixels(idle, bar, blueGrey), bar.width() * bar.height());

    const QImage focused = header(view, 30, nullptr, true);
    QVERIFY2(near(focused.pixelColor(10, 15), blueOverWhite),
             qPrintable(focused.pixelColor(10, 15).name()));
    QCOMPARE(focused.pixelColor(0, 15), QColor(Qt::white));

    // The context's name: dark grey when idle, white when focused.
    const QImage idleText = header(view, 30, all.get(), false);
    QVERIFY(countPixels(idleText, bar, QColor(53, 56, 57)) > 5);
    QCOMPARE(idleText.pixelColor(10, 15), blueGrey);
    const QImage focusedText = header(view, 30, all.get(), true);
    QVERIFY(countPixels(focusedText, bar, QColor(Qt::white)) > 5);
    QCOMPARE(countPixels(focusedText, bar, QColor(53, 56, 57)), 0);
}

void SmallWidgetsTest::headerTooLowForText()
{
    EventWidget view(control.get(), nullptr, 0, nullptr);
    std::unique_ptr<Context> all(
        new Context(nullptr, QStringLiteral("All"), Packets(), control->glyphStore, false));
    DebugCapture debug;
    debug.setForward(false);
    for (int height : {1, 2, 3}) {
        QCOMPARE(header(view, height, all.get(), false), header(view, height, nullptr, false));
        QCOMPARE(header(view, height, all.get(), true), header(view, height, nullptr, true));
    }
    // From 4 pixels on there is a pixel size of 1 at least.
    QVERIFY(header(view, 12, all.get(), false) != header(view, 12, nullptr, false));
    QVERIFY2(debug.lines().isEmpty(), qPrintable(debug.lines().join('\n')));
}

LUMIVANE_TEST(SmallWidgetsTest)
#include "SmallWidgetsTest.moc"
