#include "TestRegistry.h"

#include <QApplication>
#include <QColorDialog>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include "editors/ColorBox.h"

// Answers the next colour dialog from the event loop: picks `answer` when
// it is valid, cancels otherwise. Its timers die with it.
struct DialogAnswer : QObject {
    QColor answer;
    QString title;
    bool seen = false;

    explicit DialogAnswer(const QColor& answer) : answer(answer)
    {
        QTimer::singleShot(0, this, [this]() { answerDialog(); });
    }

    void answerDialog()
    {
        auto* dialog = qobject_cast<QColorDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            QTimer::singleShot(10, this, [this]() { answerDialog(); });
            return;
        }
        seen = true;
        title = dialog->windowTitle();
        if (answer.isValid()) {
            dialog->setCurrentColor(answer);
            dialog->accept();
        } else {
            dialog->reject();
        }
    }
};

class ColorBoxTest : public QObject
{
    Q_OBJECT

private slots:
    // A (240,240,240) frame on the first row and column, the colour inside.
    void painting_data()
    {
        QTest::addColumn<QColor>("color");
        QTest::addColumn<QSize>("size");
        QTest::newRow("red 25") << QColor(255, 0, 0) << QSize(25, 25);
        QTest::newRow("table cell 23") << QColor(0, 128, 255) << QSize(23, 23);
        QTest::newRow("wide black") << QColor(Qt::black) << QSize(60, 20);
    }

    void painting()
    {
        QFETCH(QColor, color);
        QFETCH(QSize, size);
        ColorBox box(color, true);
        box.resize(size);
        const QImage image = box.grab().toImage();
        const QColor frame(240, 240, 240);
        QCOMPARE(image.pixelColor(0, 0), frame);
        QCOMPARE(image.pixelColor(size.width() / 2, 0), frame);
        QCOMPARE(image.pixelColor(0, size.height() - 1), frame);
        QCOMPARE(image.pixelColor(1, 1), color);
        QCOMPARE(image.pixelColor(size.width() / 2, size.height() / 2), color);
        QCOMPARE(image.pixelColor(size.width() - 1, size.height() - 1), color);
    }

    // A cancelled dialog keeps the colour (white or not) and emits nothing.
    void dialog_data()
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

    void dialog()
    {
        QFETCH(QColor, start);
        QFETCH(QColor, answer);
        QFETCH(QColor, expected);
        QFETCH(int, emitted);
        ColorBox box(start);
        box.resize(25, 25);
        QSignalSpy spy(&box, &ColorBox::colorChanged);
        DialogAnswer dialog(answer);
        QTest::mouseClick(&box, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
        QVERIFY(dialog.seen);
        QCOMPARE(dialog.title, QStringLiteral("Select Color"));
        QCOMPARE(box.color(), expected);
        QCOMPARE(spy.count(), emitted);
        QCOMPARE(QColorDialog::customColor(0), QColor(147, 137, 83));
        QCOMPARE(QColorDialog::customColor(15), QColor(247, 150, 70));
    }

    void readOnlyOpensNothing()
    {
        ColorBox box(Qt::blue, true);
        box.resize(25, 25);
        DialogAnswer guard(Qt::red);   // would answer a dialog that should not come
        QTest::mouseClick(&box, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
        QCoreApplication::processEvents();
        QVERIFY(!guard.seen);
        QCOMPARE(box.color(), QColor(Qt::blue));
    }
};

LUMIVANE_TEST(ColorBoxTest)
#include "ColorBoxTest.moc"
