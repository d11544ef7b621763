#include "TestRegistry.h"
#include "GlyphFixture.h"
#include "GlyphWindow.h"

#include <QDir>
#include <QScreen>

#include "editors/ExampleWidget.h"
#include "editors/WrapWidget.h"

// The glyph window taken as a picture, as a user sees it, checked for the
// preview colours. With LUMIVANE_SCREENSHOT_DIR set the picture is written
// there (glyph-window.png; on an X server also the screen's own
// glyph-window-screen.png).
class GlyphWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void previewColours()
    {
        GlyphFixture f;
        BinItem write = GlyphFixture::glyph(QStringLiteral("Write"), QStringLiteral("W"));
        write.fillColor = QColor(30, 90, 200);
        write.edgeWidth = 1;
        f.store()->addGlyph(write);
        GlyphWindow w(&f.control);
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        GlyphFixture::clickRow(*w.table, 2);
        QCOMPARE(w.editor->glyph->name, QStringLiteral("Write"));

        const QImage shot = w.window.grab().toImage();
        const QString dir = qEnvironmentVariable("LUMIVANE_SCREENSHOT_DIR");
        if (!dir.isEmpty()) {
            QVERIFY(shot.save(QDir(dir).filePath(QStringLiteral("glyph-window.png"))));
            if (QGuiApplication::platformName() == QLatin1String("xcb")) {
                QTest::qWait(200);
                QVERIFY(w.window.screen()->grabWindow(w.window.winId())
                            .save(QDir(dir).filePath(QStringLiteral("glyph-window-screen.png"))));
            }
        }

        // Each shown row's preview has its glyph's fill (painted a tenth
        // darker) low in the shape, below the label; the corner is white
        // unless the glyph is larger than the cell.
        const qreal dpr = shot.devicePixelRatio();
        auto pixel = [&](QWidget* widget, QPoint p) {
            return shot.pixelColor(widget->mapTo(&w.window, p) * dpr).rgb();
        };
        int checked = 0;
        for (int row = 0; row < w.table->table->rowCount(); ++row) {
            auto* example = static_cast<WrapWidget*>(w.table->table->cellWidget(row, 0))->inner;
            if (example->visibleRegion().boundingRect().size() != example->size())
                continue;
            const BinItem& glyph = w.table->glyphs[row];
            const double side = 46 * glyph.sizeFactor;
            const QPoint sample = glyph.sizeFactor <= 1 ? QPoint(25, int(25 - side / 2 + 0.85 * side))
                                                        : QPoint(8, 40);
            QCOMPARE(pixel(example, sample), glyph.fillColor.darker(110).rgb());
            if (glyph.sizeFactor <= 1)
                QCOMPARE(pixel(example, QPoint(0, 0)), QColor(Qt::white).rgb());
            ++checked;
        }
        QVERIFY(checked >= 4);
        ExampleWidget* preview = w.editor->preview;
        QCOMPARE(pixel(preview, preview->rect().center() + QPoint(-40, 40)),
                 QColor(30, 90, 200).darker(110).rgb());
    }
};

LUMIVANE_TEST(GlyphWindowTest)
#include "GlyphWindowTest.moc"
