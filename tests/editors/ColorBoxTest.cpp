#include "TestRegistry.h"

#include <QApplication>
#include <QColorDialog>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include "editors/ColorBox.h"

class ColorBoxTest : public QObject
{
    Q_OBJECT

private slots:
    // A (240,240,240) frame on the first row and column, the colour inside.
    void painting()
    {
        for (QSize size : {QSize(25, 25), QSize(23, 23), QSize(60, 20)}) {
            ColorBox box(QColor(0, 128, 255), true);
            box.resize(size);
            const QImage image = box.grab().toImage();
            QCOMPARE(image.pixelColor(0, 0), QColor(240, 240, 240));
            QCOMPARE(image.pixelColor(size.width() / 2, 0), QColor(240, 240, 240));
            QCOMPARE(image.pixelColor(1, 1), QColor(0, 128, 255));
            QCOMPARE(image.pixelColor(size.width() - 1, size.height() - 1), QColor(0, 128, 255));
        }
    }

    // The dialog answered by a timer; a cancel keeps the colour, white or
    // not, and emits nothing. A read-only box opens no dialog.
    void dialog_data()
    {
        QTest::addColumn<QColor>("answer");
        QTest::addColumn<bool>("readOnly");
        QTest::addColumn<QColor>("expected");
        QTest::addColumn<int>("emitted");
        QTest::newRow("cancel keeps red") << QColor() << false << QColor(Qt::red) << 0;
        QTest::newRow("pick green") << QColor(0, 200, 0) << false << QColor(0, 200, 0) << 1;
        QTest::newRow("pick the same") << QColor(Qt::red) << false << QColor(Qt::red) << 0;
        QTest::newRow("read-only") << QColor(Qt::blue) << true << QColor(Qt::red) << 0;
    }

    void dialog()
    {
        QFETCH(QColor, answer);
        QFETCH(bool, readOnly);
        QFETCH(QColor, expected);
        QFETCH(int, emitted);
        ColorBox box(Qt::red, readOnly);
        box.resize(25, 25);
        QSignalSpy spy(&box, &ColorBox::colorChanged);
        QString title;
        QTimer::singleShot(0, &box, [&]() {
            auto* dialog = qobject_cast<QColorDialog*>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            title = dialog->windowTitle();
            if (answer.isValid()) {
                dialog->setCurrentColor(answer);
                dialog->accept();
            } else {
                dialog->reject();
            }
        });
        QTest::mouseClick(&box, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
        QCoreApplication::processEvents();
        QCOMPARE(title, readOnly ? QString() : QStringLiteral("Select Color"));
        QCOMPARE(box.color(), expected);
        QCOMPARE(spy.count(), emitted);
        if (!readOnly)
            QCOMPARE(QColorDialog::customColor(15), QColor(247, 150, 70));
    }
};

LUMIVANE_TEST(ColorBoxTest)
#include "ColorBoxTest.moc"
