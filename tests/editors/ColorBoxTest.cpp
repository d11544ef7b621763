#include "TestRegistry.h"

#include <QApplication>
#include <QColorDialog>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include "editors/ColorBox.h"

namespace {

// Answers the next colour dialog from the event loop: with `answer` when it
// is valid, cancelled otherwise. Records the dialog's title and whether
// one was open at all.
// The timers belong to the answerer: none outlives it.
struct DialogAnswer : QObject {
    QColor answer;
    QString title;
    QColor initial;
    bool seen = false;

    void arm()
    {
        QTimer::singleShot(0, this, [this]() { answerDialog(); });
    }

    void answerDialog()
    {
        auto* dialog = qobject_cast<QColorDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            // The dialog may not be up yet: look again shortly.
            QTimer::singleShot(10, this, [this]() { answerDialog(); });
            return;
        }
        seen = true;
        title = dialog->windowTitle();
        initial = dialog->currentColor();
        if (answer.isValid()) {
            dialog->setCurrentColor(answer);
            dialog->accept();
        } else {
            dialog->reject();
        }
    }
};

} // namespace

class ColorBoxTest : public QObject
{
    Q_OBJECT

private slots:
    void paintsFrameAndColour_data()
    {
        QTest::addColumn<QColor>("color");
        QTest::addColumn<QSize>("size");
        QTest::newRow("red 25") << QColor(255, 0, 0) << QSize(25, 25);
        QTest::newRow("blue 23") << QColor(0, 128, 255) << QSize(23, 23);
        QTest::newRow("black wide") << QColor(Qt::black) << QSize(60, 20);
        QTest::newRow("frame-coloured") << QColor(240, 240, 240) << QSize(25, 25);
    }

    void paintsFrameAndColour()
    {
        QFETCH(QColor, color);
        QFETCH(QSize, size);
        ColorBox box(color, true);
        box.resize(size);
        const QImage image = box.grab().toImage();
        QCOMPARE(image.size(), size);
        // The frame: the first row and column; the colour inside, its
        // outline of the same colour out to the last row and column.
        QCOMPARE(image.pixelColor(0, 0), QColor(240, 240, 240));
        QCOMPARE(image.pixelColor(size.width() / 2, 0), QColor(240, 240, 240));
        QCOMPARE(image.pixelColor(0, size.height() / 2), QColor(240, 240, 240));
        QCOMPARE(image.pixelColor(1, 1), color);
        QCOMPARE(image.pixelColor(size.width() / 2, size.height() / 2), color);
        QCOMPARE(image.pixelColor(size.width() - 2, size.height() - 2), color);
    }

    void setColorSignalsOnlyChanges()
    {
        ColorBox box(Qt::white);
        QSignalSpy spy(&box, &ColorBox::colorChanged);
        box.setColor(Qt::white);
        QCOMPARE(spy.count(), 0);
        box.setColor(QColor(1, 2, 3));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).value<QColor>(), QColor(1, 2, 3));
        QCOMPARE(box.color(), QColor(1, 2, 3));
        QCOMPARE(box.sizeHint(), QSize(25, 25));
    }

    // A cancelled dialog keeps the colour and emits nothing, also when the
    // colour is not white; a chosen colour is taken and emitted once.
    void dialogAnswers_data()
    {
        QTest::addColumn<QColor>("start");
        QTest::addColumn<QColor>("answer");
        QTest::addColumn<QColor>("expected");
        QTest::addColumn<int>("emitted");
        QTest::newRow("cancel keeps red") << QColor(Qt::red) << QColor() << QColor(Qt::red) << 0;
        QTest::newRow("cancel keeps white") << QColor(Qt::white) << QColor() << QColor(Qt::white) << 0;
        QTest::newRow("pick green") << QColor(Qt::red) << QColor(0, 200, 0) << QColor(0, 200, 0) << 1;
        QTest::newRow("pick the same") << QColor(Qt::red) << QColor(Qt::red) << QColor(Qt::red) << 0;
    }

    void dialogAnswers()
    {
        QFETCH(QColor, start);
        QFETCH(QColor, answer);
        QFETCH(QColor, expected);
        QFETCH(int, emitted);
        ColorBox box(start);
        box.resize(25, 25);
        QSignalSpy spy(&box, &ColorBox::colorChanged);
        DialogAnswer dialog;
        dialog.answer = answer;
        dialog.arm();
        QTest::mouseClick(&box, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
        QVERIFY(dialog.seen);
        QCOMPARE(dialog.title, QStringLiteral("Select Color"));
        QCOMPARE(dialog.initial, start);
        QCOMPARE(box.color(), expected);
        QCOMPARE(spy.count(), emitted);
        QCOMPARE(QColorDialog::customColor(0), QColor(147, 137, 83));
        QCOMPARE(QColorDialog::customColor(7), QColor(192, 80, 77));
        QCOMPARE(QColorDialog::customColor(15), QColor(247, 150, 70));
    }

    void readOnlyBoxOpensNoDialog()
    {
        ColorBox box(Qt::blue, true);
        box.resize(25, 25);
        QSignalSpy spy(&box, &ColorBox::colorChanged);
        // Were a dialog opened, nothing would answer it and the test would hang:
        // a guard answers it and records that it came.
        DialogAnswer guard;
        guard.arm();
        QTest::mouseClick(&box, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
        QCoreApplication::processEvents();
        QVERIFY(!guard.seen);
        QCOMPARE(spy.count(), 0);
        QCOMPARE(box.color(), QColor(Qt::blue));
        QVERIFY(box.isReadOnly());
    }
};

LUMIVANE_TEST(ColorBoxTest)
#include "ColorBoxTest.moc"
