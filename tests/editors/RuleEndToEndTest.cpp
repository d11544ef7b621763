#include "TestRegistry.h"
#include "FileAnswers.h"
#include "RuleFixture.h"
#include "TempWorkDir.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QRadioButton>
#include <QScreen>

#include "app/SettingsWidget.h"
#include "editors/RuleListWidget.h"
#include "import/OpenWidget.h"
#include "model/Context.h"
#include "views/events/BinCell.h"

using namespace rulefix;

namespace {

// Four traces of events of the kinds a, b and c, and one of z.
const QByteArray LOG = [] {
    const char* traces[] = {"abcabc", "abab", "ccc", "bca", "z"};
    QByteArray log = "frame.time_epoch,ip.src,ip.dst,trace,kind\n";
    int time = 1600000000;
    for (int t = 0; t < 5; ++t)
        for (const char* k = traces[t]; *k; ++k)
            log += QByteArray::number(time++) + ",10.0.0.1,10.0.0.2,t" + QByteArray::number(t) + ","
                   + QByteArray(1, *k) + "\n";
    return log;
}();

const QColor RED(220, 30, 30);
const QColor BLUE(30, 60, 220);

// The glyph names of a cell's rows, a row per line.
QString rowsText(const BinCell& cell)
{
    QStringList rows;
    for (const TList<BinItem*>& row : cell.rows.items) {
        QStringList items;
        for (const BinItem* item : row.items)
            items << item->name + QLatin1Char('/') + QString::number(item->packets.size());
        rows << items.join(QLatin1Char(' '));
    }
    return rows.join(QLatin1Char('\n'));
}

// Pixels of the colour an item's fill is drawn in.
int pixelsOf(const QImage& image, const QColor& fill)
{
    const QRgb drawn = fill.darker(110).rgba();
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += image.pixel(x, y) == drawn;
    return n;
}

// Stands in for the event matrix's own rule reload, which comes with the
// matrix interaction: the side panel's rule list is rebuilt and the matrix
// rebuilds its cells, whose rows take the rules, and draws them.
class RuleReload : public QObject
{
public:
    RuleReload(EventWidget* matrix, RuleListWidget* list) : matrix(matrix), list(list)
    {
        matrix->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (int(event->type()) == RELOADEVENT) {
            ++reloads;
            list->refreshRules();
            matrix->reload();
            matrix->render(false, false, nullptr);
        }
        return false;
    }
    EventWidget* matrix;
    RuleListWidget* list;
    int reloads = 0;
};

void save(const QImage& image, const QString& name)
{
    const QString dir = qEnvironmentVariable("LUMIVANE_SCREENSHOT_DIR");
    if (!dir.isEmpty())
        QVERIFY(image.save(QDir(dir).filePath(name)));
}

} // namespace

// A log loaded through the import, rules written in the rule editor window
// that the side panel opens, and the main window's event matrix rebuilt
// with them: its rows show the merged glyphs, and a reorder in the rule
// list changes them. With LUMIVANE_SCREENSHOT_DIR set the windows and the
// matrix are written there as pictures (rules-main.png, rules-editor.png,
// rules-matrix-*.png).
class RuleEndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void rulesReachTheRows()
    {
        Window w;
        w.main->resize(1400, 850);
        w.main->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.main.get()));

        // The log, grouped into traces by its "trace" column.
        TempWorkDir dir;
        {
            Boxes boxes;
            OpenWidget dialog(w.control(), nullptr);
            FileAnswers files({dir.write(QStringLiteral("log.csv"), LOG)});
            dialog.openFile();
            dialog.attributeRadio->setChecked(true);
            dialog.groupingCombo->setCurrentText(QStringLiteral("trace"));
            dialog.import();
            QVERIFY(boxes.requests.isEmpty());
        }
        GlyphStore* store = w.store();
        QVERIFY(store->rootContext);
        QCOMPARE(store->rootContext->packets.size(), 17);

        // The matrix shows the log in one cell "All" (no axes chosen).
        EventWidget* view = w.matrix();
        QCOMPARE(view->context, store->rootContext);
        QVERIFY(!view->cells.isEmpty());
        BinCell* cell = view->cells.first();
        QCOMPARE(cell->header.title, QStringLiteral("All"));
        QCOMPARE(cell->itemCount(), 17);
        QVERIFY(view->render(false, false, nullptr));
        QCOMPARE(pixelsOf(view->image, RED), 0);
        SettingsWidget* panel = w.main->settingsWidget;
        RuleReload matrix(view, panel->ruleList);

        // Three rules written in the window the "Rules" button opens.
        const QWidgetList before = QApplication::topLevelWidgets();
        QTest::mouseClick(panel->ruleButton, Qt::LeftButton);
        RuleEditorWidget* editor = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (!before.contains(top) && top->findChild<RuleEditorWidget*>())
                editor = top->findChild<RuleEditorWidget*>();
        QVERIFY(editor);
        QScopedPointer<QWidget> window(editor->window());
        window->resize(900, 620);
        QVERIFY(QTest::qWaitForWindowExposed(window.data()));
        const struct {
            const char* name;
            const char* kinds;
            const char* into;
            QColor fill;
        } written[] = {{"Zed", "z", "Q", QColor(20, 160, 20)}, {"AB", "ab", "M", RED}, {"BC", "bc", "N", BLUE}};
        for (const auto& r : written) {
            editor->preEditor->map->setRoot(kinds(QString::fromLatin1(r.kinds)));
            editor->postEditor->map->setRoot(rewrite(QString::fromLatin1(r.into), r.fill));
            QTest::keyClicks(editor->nameEdit, QString::fromLatin1(r.name));
            QTest::mouseClick(editor->saveButton, Qt::LeftButton);
        }
        QCOMPARE(names(store->rules), QStringList({"Zed", "AB", "BC"}));
        QCOMPARE(matrix.reloads, 3);
        QCOMPARE(panel->ruleList->count(), 3);
        save(window->grab().toImage(), QStringLiteral("rules-editor.png"));

        // a b merge first: no b is left for b c but in the last trace.
        cell = view->cells.first();
        QCOMPARE(rowsText(*cell), QStringLiteral("M/2 Gray/1 M/2 Gray/1\n"
                                                "M/2 M/2\n"
                                                "Gray/1 Gray/1 Gray/1\n"
                                                "N/2 Gray/1\n"
                                                "Q/1"));
        QCOMPARE(cell->itemCount(), 12);
        const int red = pixelsOf(view->image, RED);
        const int blue = pixelsOf(view->image, BLUE);
        QVERIFY2(red > 2 * blue && blue > 0, qPrintable(QStringLiteral("%1 %2").arg(red).arg(blue)));
        save(view->image, QStringLiteral("rules-matrix-ab-first.png"));
        QApplication::processEvents();
        save(w.main->grab().toImage(), QStringLiteral("rules-main.png"));

        // BC dragged onto AB in the rule list: now b c merges first.
        panel->ruleList->dragdrop(QModelIndex(), 2, 2, QModelIndex(), 1);
        QCOMPARE(names(store->rules), QStringList({"Zed", "BC", "AB"}));
        QCOMPARE(matrix.reloads, 4);
        cell = view->cells.first();
        QCOMPARE(rowsText(*cell), QStringLiteral("Gray/1 N/2 Gray/1 N/2\n"
                                                "M/2 M/2\n"
                                                "Gray/1 Gray/1 Gray/1\n"
                                                "N/2 Gray/1\n"
                                                "Q/1"));
        QCOMPARE(cell->itemCount(), 12);
        QVERIFY(pixelsOf(view->image, BLUE) > pixelsOf(view->image, RED));
        save(view->image, QStringLiteral("rules-matrix-bc-first.png"));

        // Switched off in the list, a rule no longer merges.
        QList<QCheckBox*> boxes = panel->ruleList->itemWidget(panel->ruleList->item(1))
                                      ->findChildren<QCheckBox*>();
        QCOMPARE(boxes.size(), 1);
        QTest::mouseClick(boxes.first(), Qt::LeftButton);
        QVERIFY(!store->rules[1].visible);
        QCOMPARE(rowsText(*view->cells.first()).split('\n').first(), QStringLiteral("M/2 Gray/1 M/2 Gray/1"));
        QCOMPARE(pixelsOf(view->image, BLUE), 0);
    }
};

LUMIVANE_TEST(RuleEndToEndTest)
#include "RuleEndToEndTest.moc"
