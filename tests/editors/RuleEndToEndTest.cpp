#include "TestRegistry.h"
#include "FileAnswers.h"
#include "RuleFixture.h"
#include "TempWorkDir.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QRadioButton>

#include "app/SettingsWidget.h"
#include "editors/RuleListWidget.h"
#include "import/OpenWidget.h"
#include "model/Context.h"
#include "views/events/BinCell.h"

using namespace rulefix;

namespace {

// The glyphs of the matrix's rows as name/events, a row per line.
QString rowsText(const EventWidget* view)
{
    QStringList rows;
    for (const TList<BinItem*>& row : view->cells.first()->rows) {
        QStringList items;
        for (const BinItem* item : row)
            items << item->name + '/' + QString::number(item->packets.size());
        rows << items.join(' ');
    }
    return rows.join('\n');
}

// Pixels in the colour a glyph of that fill is drawn in.
int pixelsOf(const QImage& image, const QColor& fill)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += image.pixel(x, y) == fill.darker(110).rgba();
    return n;
}

// Stands in for the matrix's own rule reload, which comes with the matrix
// interaction: the rule list is rebuilt, the matrix rebuilds its cells
// (whose rows take the rules) and draws.
class RuleReload : public QObject
{
public:
    RuleReload(EventWidget* view, RuleListWidget* list) : view(view), list(list)
    {
        view->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (int(event->type()) == RELOADEVENT) {
            list->refreshRules();
            view->reload();
            view->render(false, false, nullptr);
        }
        return false;
    }
    EventWidget* view;
    RuleListWidget* list;
};

} // namespace

// A log loaded through the import, rules written in the window the side
// panel's "Rules" opens: the main window's matrix rows show the merged
// glyphs, and a reorder in the rule list changes them. With
// LUMIVANE_SCREENSHOT_DIR set the main window, the rule window and the
// matrix are written there as pictures.
class RuleEndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void rulesReachTheRows()
    {
        Window w;
        w.main->resize(1400, 850);
        w.main->show();
        TempWorkDir dir;
        QByteArray log = "frame.time_epoch,ip.src,ip.dst,trace,kind\n";
        const QStringList traces = {"abcabc", "abab", "ccc", "bca", "z"};
        for (int t = 0, time = 1600000000; t < traces.size(); ++t)
            for (QChar k : traces[t])
                log += QString("%1,10.0.0.1,10.0.0.2,t%2,%3\n").arg(time++).arg(t).arg(k).toLatin1();
        {
            MessageRecorder boxes;
            OpenWidget dialog(w.control(), nullptr);
            FileAnswers files({dir.write("log.csv", log)});
            dialog.openFile();
            dialog.attributeRadio->setChecked(true);
            dialog.groupingCombo->setCurrentText("trace");
            dialog.import();
        }
        EventWidget* view = w.main->leftEventRibbon->view;
        QCOMPARE(view->context->packets.size(), 17);
        QCOMPARE(view->cells.first()->itemCount(), 17);
        SettingsWidget* panel = w.main->settingsWidget;
        RuleReload reload(view, panel->ruleList);

        const QWidgetList before = QApplication::topLevelWidgets();
        QTest::mouseClick(panel->ruleButton, Qt::LeftButton);
        RuleEditorWidget* editor = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (!before.contains(top) && top->findChild<RuleEditorWidget*>())
                editor = top->findChild<RuleEditorWidget*>();
        QVERIFY(editor);
        QScopedPointer<QWidget> window(editor->window());
        const QColor red(220, 30, 30), blue(30, 60, 220);
        for (const auto& r : {std::make_tuple("Zed", "z", "Q", QColor(20, 160, 20)),
                              std::make_tuple("AB", "ab", "M", red), std::make_tuple("BC", "bc", "N", blue)}) {
            editor->preEditor->map->setRoot(kinds(std::get<1>(r)));
            editor->postEditor->map->setRoot(rewrite(std::get<2>(r), std::get<3>(r)));
            QTest::keyClicks(editor->nameEdit, std::get<0>(r));
            QTest::mouseClick(editor->saveButton, Qt::LeftButton);
        }
        QCOMPARE(panel->ruleList->count(), 3);
        // a b merges first: b c only where no a precedes.
        QCOMPARE(rowsText(view), QStringLiteral("M/2 Gray/1 M/2 Gray/1\nM/2 M/2\nGray/1 Gray/1 Gray/1\n"
                                                "N/2 Gray/1\nQ/1"));
        const int red1 = pixelsOf(view->image, red), blue1 = pixelsOf(view->image, blue);
        QVERIFY(red1 > 2 * blue1 && blue1 > 0);
        const QString shots = qEnvironmentVariable("LUMIVANE_SCREENSHOT_DIR");
        if (!shots.isEmpty()) {
            QApplication::processEvents();
            w.main->grab().save(QDir(shots).filePath("rules-main.png"));
            window->grab().save(QDir(shots).filePath("rules-window.png"));
        }

        // BC dropped onto AB in the rule list: b c merges first.
        panel->ruleList->dragdrop(QModelIndex(), 2, 2, QModelIndex(), 1);
        QCOMPARE(names(w.store()), QStringLiteral("Zed,BC,AB"));
        QCOMPARE(rowsText(view).section('\n', 0, 0), QStringLiteral("Gray/1 N/2 Gray/1 N/2"));
        QVERIFY(pixelsOf(view->image, blue) > pixelsOf(view->image, red));
        if (!shots.isEmpty())
            view->image.save(QDir(shots).filePath("rules-matrix-reordered.png"));
    }
};

LUMIVANE_TEST(RuleEndToEndTest)
#include "RuleEndToEndTest.moc"
