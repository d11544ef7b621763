#include "TestRegistry.h"
#include "GlyphFixture.h"

#include <QDir>
#include <QScreen>
#include <QVBoxLayout>

#include "editors/ExampleWidget.h"
#include "editors/GlyphEditorWidget.h"
#include "editors/WrapWidget.h"

// The glyph window as the side panel opens it (editor above table), taken
// as a picture the way a user sees it. With LUMIVANE_SCREENSHOT_DIR set the
// picture is also written there as glyph-window.png.
class GlyphWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void previewColours()
    {
        GlyphFixture f;
        BinItem write(nullptr, nullptr);
        write.name = QStringLiteral("Write");
        write.label = QStringLiteral("W");
        write.fillColor = QColor(30, 90, 200);
        write.edgeColor = Qt::black;
        write.edgeWidth = 1;
        write.shape = SQUARE;
        f.store()->addGlyph(write);

        QWidget window;
        auto* table = new GlyphWidget(&f.control);
        auto* editor = new GlyphEditorWidget(table, &f.control);
        auto* layout = new QVBoxLayout(&window);
        layout->setSpacing(1);
        layout->addWidget(editor);
        layout->addWidget(table);
        window.resize(560, 640);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        // Load "Write" into the editor so that its preview shows it too.
        const int writeRow = GlyphFixture::tableNames(*table).indexOf(QStringLiteral("Write"));
        table->table->scrollToTop();
        GlyphFixture::clickRow(*table, writeRow);
        QCOMPARE(editor->glyph->name, QStringLiteral("Write"));
        QCoreApplication::processEvents();

        const QImage shot = window.grab().toImage();
        const QByteArray dir = qgetenv("LUMIVANE_SCREENSHOT_DIR");
        if (!dir.isEmpty()) {
            const QDir out(QString::fromLocal8Bit(dir));
            QVERIFY(shot.save(out.filePath(QStringLiteral("glyph-window.png"))));
            // On a real display server, also what the screen shows.
            if (QGuiApplication::platformName() == QLatin1String("xcb")) {
                QTest::qWait(200);
                const QPixmap screen = window.screen()->grabWindow(window.winId());
                QVERIFY(screen.save(out.filePath(QStringLiteral("glyph-window-screen.png"))));
            }
        }

        // Every visible row's preview shows its glyph's fill (drawn a tenth
        // darker) at its centre, the frame around it white.
        const qreal dpr = shot.devicePixelRatio();
        int checked = 0;
        for (int row = 0; row < table->table->rowCount(); ++row) {
            auto* wrap = dynamic_cast<WrapWidget*>(table->table->cellWidget(row, 0));
            QVERIFY(wrap);
            auto* example = static_cast<ExampleWidget*>(wrap->inner);
            if (!example->isVisible() || example->visibleRegion().boundingRect().size() != example->size())
                continue;
            const BinItem& glyph = table->glyphs[row];
            const QColor fill = glyph.fillColor.darker(110);
            QPoint sample;
            if (glyph.sizeFactor <= 1.0) {
                // Low in the middle of the shape, below the label; the
                // preview's corner stays white.
                const double side = 46 * glyph.sizeFactor;
                const double top = 24 - side / 2 + 1;
                sample = QPoint(25, int(top + 0.85 * side));
                QCOMPARE(shot.pixelColor(example->mapTo(&window, QPoint(0, 0)) * dpr).rgb(),
                         QColor(Qt::white).rgb());
            } else {
                // Larger than the cell: the fill covers it beside the label.
                sample = QPoint(8, 40);
            }
            QCOMPARE(shot.pixelColor(example->mapTo(&window, sample) * dpr).rgb(), fill.rgb());
            ++checked;
        }
        QVERIFY2(checked >= 4, qPrintable(QString::number(checked)));

        // The editor's preview shows the loaded glyph.
        const QPoint p = editor->preview->mapTo(&window, editor->preview->rect().center());
        QCOMPARE(shot.pixelColor(p * dpr + QPoint(-40, 40)).rgb(), QColor(30, 90, 200).darker(110).rgb());
    }
};

LUMIVANE_TEST(GlyphWindowTest)
#include "GlyphWindowTest.moc"
