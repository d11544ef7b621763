#include "ChartFixture.h"
#include "DebugCapture.h"
#include "TestRegistry.h"

#include "app/AppGlobals.h"
#include "editors/ColorBox.h"
#include "items/Axis.h"
#include "items/ColorBinAxis.h"
#include "items/ColorPalettes.h"
#include "views/charts/ChartOptionsWidget.h"
#include "views/charts/RibbonLineWidget.h"

#include <QApplication>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>

#include <memory>

using namespace chartfixture;

namespace {

// Value k of the colour attribute ("v00" .. "v24") has k + 1 events; kind
// "k0" .. "k5" comes round in turn; the ratio is a double that six
// decimals do not give back (a third of the event's index).
QList<Event> paletteEvents()
{
    QList<Event> events;
    int n = 0;
    for (int k = 0; k < 25; ++k) {
        for (int j = 0; j <= k; ++j) {
            events.append({n % 40, 1000.0 + n, QStringLiteral("v%1").arg(k, 2, 10, QLatin1Char('0')),
                           QStringLiteral("k%1").arg(n % 6), (n % 5 + 1) / 3.0});
            ++n;
        }
    }
    return events;
}

std::unique_ptr<ChartOptionsWidget> dialogFor(Charts& c)
{
    return std::make_unique<ChartOptionsWidget>(c.control.get(), c.options.get(), c.matrix.get(), nullptr,
                                                c.chart.get(), nullptr, nullptr);
}

// Switches the dialog to the colour axis over `attribute`.
void chooseColours(ChartOptionsWidget* d, const QString& attribute)
{
    d->axisBox->setCurrentIndex(1);
    d->attributeBox->setCurrentText(attribute);
    QCOMPARE(d->attributeBox->currentText(), attribute);
}

QStringList texts(const TList<TVariant>& values)
{
    QStringList out;
    for (const TVariant& v : values)
        out.append(v.toString());
    return out;
}

int sum(const QList<int>& counts)
{
    int total = 0;
    for (int c : counts)
        total += c;
    return total;
}

const ColorBinAxis* colourAxis(const LineChart* chart)
{
    return dynamic_cast<const ColorBinAxis*>(chart->colorAxis);
}

// Counts the reload events that reach an object.
class ReloadCounter : public QObject
{
public:
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == toEventType(RELOADEVENT))
            ++count;
        return false;
    }
    int count = 0;
};

} // namespace

class ChartOptionsWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void layoutOfTheTabs();
    void colourTableListsTwentyValues_data();
    void colourTableListsTwentyValues();
    void hidingAValueKeepsTheOtherColours();
    void chosenColourReachesTheChart();
    void headerClickReordersValuesAndColours_data();
    void headerClickReordersValuesAndColours();
    void headerClickOnAnEmptyTableKeepsTheChart();
    void ruleValuesLeaveOutEmptyPreconditions();
    void generalFlagsFollowTheSide();
    void rangeEditsHoldIntegers_data();
    void rangeEditsHoldIntegers();
    void chartOptionsReachTheChart();
};

void ChartOptionsWidgetTest::initTestCase()
{
    SPLIT_FLAG = false;
}

void ChartOptionsWidgetTest::layoutOfTheTabs()
{
    Charts c(paletteEvents());
    auto d = dialogFor(c);
    auto* tabs = d->findChild<QTabWidget*>();
    QVERIFY(tabs);
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->tabText(0), QStringLiteral("General"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("Line Chart"));
    QStringList labels;
    for (const QLabel* l : d->findChildren<QLabel*>())
        labels.append(l->text());
    for (const char* text : {"Axis:", "Attribute:", "Logarithm:", "Sort by:", "Draw arcs:", "Stack:",
                             "Interpolate:", "Min:", "Max:", "Glyph mode:", "Glyph size:",
                             "Glyph percentage:", "Apply to:"})
        QVERIFY2(labels.contains(QLatin1String(text)), text);
    QCOMPARE(d->sizeHint(), QSize(500, 300));
    // Hidden while the split flag is off: the side row, the apply button, the sort box.
    QVERIFY(d->sideBox->isHidden());
    QVERIFY(d->applyButton->isHidden());
    QVERIFY(d->sortBox->isHidden());
    // The value axis page: "#Events" and the range attributes, the locks in the edits.
    QCOMPARE(d->axisBox->currentIndex(), 0);
    QStringList attributes;
    for (int i = 0; i < d->attributeBox->count(); ++i)
        attributes.append(d->attributeBox->itemText(i));
    QCOMPARE(attributes, QStringList({"#Events", "frame.time_epoch", "size"}));
    QVERIFY(d->minimumEdit->isEnabled());
    QCOMPARE(d->minimumEdit->text(), QString::number(c.chart->valueAxis->min, 'g', 3));
    QCOMPARE(d->maximumLabel->text(), QString::number(c.chart->countMaximum, 'g', 3));
    QVERIFY(!d->stackBox->isEnabled());
    QCOMPARE(d->orderingTable->rowCount(), 0);
    // The borrowed controls sit in the "General" tab.
    QVERIFY(tabs->widget(0)->isAncestorOf(c.options->glyphSizeAxisBox));
    QVERIFY(tabs->widget(0)->isAncestorOf(c.options->glyphPercentageBox));
    // The colour axis page.
    d->axisBox->setCurrentIndex(1);
    attributes.clear();
    for (int i = 0; i < d->attributeBox->count(); ++i)
        attributes.append(d->attributeBox->itemText(i));
    QCOMPARE(attributes, QStringList({"None", "Rules", "colour", "kind", "ratio"}));
    QCOMPARE(d->minimumLabel->text(), QStringLiteral("N.A."));
    QVERIFY(!d->minimumEdit->isEnabled());
    QVERIFY(d->stackBox->isEnabled());
    QVERIFY(!d->logarithmBox->isEnabled());
    QStringList headers;
    for (int i = 0; i < 4; ++i)
        headers.append(d->orderingTable->horizontalHeaderItem(i)->text());
    QCOMPARE(headers, QStringList({"Visible", "Color", "Value", "Frequency"}));
}

void ChartOptionsWidgetTest::colourTableListsTwentyValues_data()
{
    QTest::addColumn<int>("order");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("last");
    QTest::newRow("frequency") << 1 << "v00" << "v19";
    QTest::newRow("rarity") << 2 << "v24" << "v05";
}

void ChartOptionsWidgetTest::colourTableListsTwentyValues()
{
    QFETCH(int, order);
    QFETCH(QString, first);
    QFETCH(QString, last);
    Charts c(paletteEvents());
    auto d = dialogFor(c);
    chooseColours(d.get(), QStringLiteral("colour"));
    QCOMPARE(d->values.size(), 20);
    QCOMPARE(d->orderingTable->rowCount(), 20);
    d->changeOrder(order);
    QCOMPARE(d->values.size(), 20);
    QCOMPARE(d->values.first().toString(), first);
    QCOMPARE(d->values.last().toString(), last);
    QCOMPARE(d->orderingTable->rowCount(), 20);
    QCOMPARE(d->orderingTable->item(0, ChartOptionsWidget::VALUE_COLUMN)->text(), first);
    QCOMPARE(d->orderingTable->item(0, ChartOptionsWidget::FREQUENCY_COLUMN)->text(),
             QString::number(first.mid(1).toInt() + 1));
    // The chart: twenty values, the last of them standing for every other one.
    const ColorBinAxis* axis = colourAxis(c.chart.get());
    QVERIFY(axis);
    QCOMPARE(axis->valueList.size(), 20);
    QVERIFY(axis->miscBin);
    QCOMPARE(c.chart->series.size(), 21);
    QCOMPARE(c.chart->colorAttribute, QStringLiteral("colour"));
    // Every event counts in series 0; the others split them among the values.
    int total = 0;
    for (int s = 1; s < c.chart->series.size(); ++s)
        for (const BinItem* item : c.chart->series[s]->items)
            total += item->packets.size();
    QCOMPARE(total, c.context->packets.size());
}

void ChartOptionsWidgetTest::hidingAValueKeepsTheOtherColours()
{
    Charts c(paletteEvents());
    auto d = dialogFor(c);
    chooseColours(d.get(), QStringLiteral("kind"));
    d->changeOrder(1);
    QCOMPARE(texts(d->values).size(), 6);
    const TList<TVariant> all = d->values;
    QPointer<QTableWidget> oldTable = d->orderingTable;

    // Unchecking "Visible" of the third value, as a click does.
    QTableWidgetItem* box = d->orderingTable->item(2, ChartOptionsWidget::VISIBLE_COLUMN);
    box->setCheckState(Qt::Unchecked);
    QVERIFY(d->hiddenValues.contains(all.at(2)));
    // The table was made anew; the old one goes once the event loop runs.
    QVERIFY(d->orderingTable != oldTable.data());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(oldTable.isNull());
    QCOMPARE(d->orderingTable->rowCount(), 6);
    QCOMPARE(d->orderingTable->item(2, ChartOptionsWidget::VISIBLE_COLUMN)->checkState(), Qt::Unchecked);

    const ColorBinAxis* axis = colourAxis(c.chart.get());
    QCOMPARE(axis->valueList.size(), 5);
    QVERIFY(!axis->valueList.contains(all.at(2)));
    for (int i = 0; i < all.size(); ++i) {
        if (i == 2)
            continue;
        QCOMPARE(axis->color(all.at(i)), ColorPalettes::set3.at(i % 12));
        auto* swatch = qobject_cast<ColorBox*>(
            d->orderingTable->cellWidget(i, ChartOptionsWidget::COLOR_COLUMN));
        QVERIFY(swatch);
        QCOMPARE(swatch->color(), ColorPalettes::set3.at(i % 12));
    }

    // Checking it again gives the value back its own colour.
    d->orderingTable->item(2, ChartOptionsWidget::VISIBLE_COLUMN)->setCheckState(Qt::Checked);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    axis = colourAxis(c.chart.get());
    QCOMPARE(axis->valueList.size(), 6);
    QCOMPARE(axis->color(all.at(2)), ColorPalettes::set3.at(2));
}

void ChartOptionsWidgetTest::chosenColourReachesTheChart()
{
    Charts c(paletteEvents());
    auto d = dialogFor(c);
    d->show();
    chooseColours(d.get(), QStringLiteral("kind"));
    const TList<TVariant> all = d->values;
    const QColor chosen(12, 34, 56);
    const auto swatchAt = [&d](int row) {
        return qobject_cast<ColorBox*>(d->orderingTable->cellWidget(row, ChartOptionsWidget::COLOR_COLUMN));
    };

    // A click on the second value's swatch, the colour dialog answered.
    QTimer::singleShot(0, [&chosen]() {
        auto* dialog = qobject_cast<QColorDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        dialog->setCurrentColor(chosen);
        dialog->accept();
    });
    QTest::mouseClick(swatchAt(1), Qt::LeftButton);
    QCOMPARE(swatchAt(1)->color(), chosen);
    QCOMPARE(colourAxis(c.chart.get())->color(all.at(1)), chosen);
    QCOMPARE(colourAxis(c.chart.get())->color(all.at(0)), ColorPalettes::set3.at(0));

    // Hiding another value rebuilds the table: the chosen colour stays, in
    // the table and in the chart; so it does when the rows are sorted.
    d->orderingTable->item(3, ChartOptionsWidget::VISIBLE_COLUMN)->setCheckState(Qt::Unchecked);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(swatchAt(1)->color(), chosen);
    QCOMPARE(colourAxis(c.chart.get())->color(all.at(1)), chosen);
    QCOMPARE(colourAxis(c.chart.get())->color(all.at(2)), ColorPalettes::set3.at(2));
    d->orderingTable->sortByColumn(ChartOptionsWidget::VALUE_COLUMN, Qt::DescendingOrder);
    emit d->orderingTable->horizontalHeader()->sectionClicked(ChartOptionsWidget::VALUE_COLUMN);
    QCOMPARE(colourAxis(c.chart.get())->color(all.at(1)), chosen);
    swatchAt(0)->setColor(QColor(200, 0, 0));
    QCOMPARE(colourAxis(c.chart.get())->color(d->values.at(0)), QColor(200, 0, 0));

    // Another attribute starts from the palette again.
    d->attributeBox->setCurrentText(QStringLiteral("colour"));
    d->attributeBox->setCurrentText(QStringLiteral("kind"));
    QCOMPARE(colourAxis(c.chart.get())->color(all.at(1)), ColorPalettes::set3.at(1));
    d->hide();
}

void ChartOptionsWidgetTest::headerClickReordersValuesAndColours_data()
{
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("hide");
    QTest::newRow("kind by frequency") << "kind" << int(ChartOptionsWidget::FREQUENCY_COLUMN) << -1;
    // Doubles printed with six decimals read back as other values: the
    // rows keep their values' indices.
    QTest::newRow("ratio by value") << "ratio" << int(ChartOptionsWidget::VALUE_COLUMN) << -1;
    QTest::newRow("ratio, one hidden") << "ratio" << int(ChartOptionsWidget::FREQUENCY_COLUMN) << 1;
}

void ChartOptionsWidgetTest::headerClickReordersValuesAndColours()
{
    QFETCH(QString, attribute);
    QFETCH(int, column);
    QFETCH(int, hide);
    Charts c(paletteEvents());
    auto d = dialogFor(c);
    chooseColours(d.get(), attribute);
    if (hide >= 0) {
        d->orderingTable->item(hide, ChartOptionsWidget::VISIBLE_COLUMN)->setCheckState(Qt::Unchecked);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    const TList<TVariant> before = d->values;
    QHash<TVariant, QColor> colourOf;
    for (const TVariant& v : before)
        colourOf.insert(v, d->valueColors.value(v));

    d->orderingTable->sortByColumn(column, Qt::DescendingOrder);
    emit d->orderingTable->horizontalHeader()->sectionClicked(column);

    // The values take the table's order; each keeps its colour.
    QCOMPARE(d->values.size(), before.size());
    for (int r = 0; r < d->orderingTable->rowCount(); ++r) {
        const TVariant& v = d->values.at(r);
        QVERIFY(before.contains(v));
        QCOMPARE(d->orderingTable->item(r, ChartOptionsWidget::VALUE_COLUMN)->text(), v.toString());
        if (r > 0 && column == ChartOptionsWidget::FREQUENCY_COLUMN)
            QVERIFY(d->frequencies.value(d->values.at(r - 1)) >= d->frequencies.value(v));
    }
    const ColorBinAxis* axis = colourAxis(c.chart.get());
    int shown = 0;
    for (const TVariant& v : d->values) {
        if (d->hiddenValues.contains(v)) {
            QVERIFY(!axis->valueList.contains(v));
            continue;
        }
        QCOMPARE(axis->valueList.at(shown++), v);
        QCOMPARE(axis->color(v), colourOf.value(v));
    }
    QCOMPARE(axis->valueList.size(), shown);
    // Every event of a shown value is in its series.
    int counted = 0;
    for (int s = 1; s < c.chart->series.size(); ++s)
        for (const BinItem* item : c.chart->series[s]->items)
            counted += item->packets.size();
    int expected = 0;
    for (const TVariant& v : axis->valueList)
        expected += d->frequencies.value(v);
    QCOMPARE(counted, expected);
}

void ChartOptionsWidgetTest::headerClickOnAnEmptyTableKeepsTheChart()
{
    Charts c(paletteEvents());
    // The chart coloured by an earlier dialog; this one lists no values yet.
    c.chart->setColorAttribute(QStringLiteral("colour"), {TVariant("v03", false), TVariant("v07", false)},
                               {QColor(Qt::red), QColor(Qt::blue)}, true);
    auto d = dialogFor(c);
    d->axisBox->setCurrentIndex(1);
    QCOMPARE(d->attributeBox->currentText(), QStringLiteral("colour"));
    QCOMPARE(d->orderingTable->rowCount(), 0);
    emit d->orderingTable->horizontalHeader()->sectionClicked(ChartOptionsWidget::VALUE_COLUMN);
    QCOMPARE(colourAxis(c.chart.get())->valueList.size(), 2);
    QCOMPARE(c.chart->series.size(), 3);
    QCOMPARE(sum(Charts::counts(c.chart->series[2])), 8);
}

void ChartOptionsWidgetTest::ruleValuesLeaveOutEmptyPreconditions()
{
    QList<Rule> rules;
    rules.append(kindRule(QStringLiteral("A"), QStringLiteral("k1"), QStringLiteral("GA"), QColor(10, 20, 30)));
    rules.append(Rule(QStringLiteral("Empty"), new ParseNode(ParseNode::And), nullptr, true, true));
    rules.append(Rule(QStringLiteral("None")));
    rules.append(kindRule(QStringLiteral("B"), QStringLiteral("k2"), QStringLiteral("GB"), QColor(40, 50, 60)));
    Charts c(paletteEvents(), 500, 300, rules);
    // The matrix counts each rule's matches under the rule's name.
    c.store()->ruleCounts[QStringLiteral("A")] = 54;
    c.store()->ruleCounts[QStringLiteral("B")] = 7;
    c.store()->ruleCounts[QStringLiteral("GA")] = 1000;
    auto d = dialogFor(c);
    chooseColours(d.get(), QStringLiteral("Rules"));
    QCOMPARE(texts(d->values), QStringList({"GA", "GB"}));
    QCOMPARE(d->frequencies.value(TVariant("GA", true)), 54);
    QCOMPARE(d->frequencies.value(TVariant("GB", true)), 7);
    QCOMPARE(d->orderingTable->item(1, ChartOptionsWidget::FREQUENCY_COLUMN)->text(), QStringLiteral("7"));
    QCOMPARE(d->orderingTable->rowCount(), 2);
    QCOMPARE(d->valueColors.value(TVariant("GA", true)), QColor(10, 20, 30));
    QCOMPARE(d->valueColors.value(TVariant("GB", true)), QColor(40, 50, 60));
    QCOMPARE(c.chart->colorAttribute, QStringLiteral("Rules"));
    const ColorBinAxis* axis = colourAxis(c.chart.get());
    QCOMPARE(axis->valueList.size(), 2);
    QCOMPARE(axis->color(TVariant("GA", true)), QColor(10, 20, 30));
    QCOMPARE(axis->color(TVariant("GB", true)), QColor(40, 50, 60));
    // The page opened again shows the chart's rules.
    d->changeAxis(1);
    QCOMPARE(d->attributeBox->currentText(), QStringLiteral("Rules"));
    QCOMPARE(d->orderingTable->rowCount(), 2);
}

void ChartOptionsWidgetTest::generalFlagsFollowTheSide()
{
    Charts c(paletteEvents());
    EventWidget* matrix = c.matrix.get();
    matrix->timeCluster = true;
    matrix->triangulate = true;
    matrix->glyphWarp = true;
    matrix->timeWarp = true;
    matrix->glyphMode = QStringLiteral("Ordering");
    auto d = dialogFor(c);
    for (QCheckBox* box : {d->timeClusterBox, d->triangulateBox, d->glyphWarpBox, d->timeWarpBox})
        QVERIFY(box->isChecked());
    QVERIFY(!d->timeModeBox->isChecked());
    QVERIFY(!d->alternateBox->isChecked());
    QCOMPARE(d->glyphModeBox->currentIndex(), 1);
    QCOMPARE(d->matrixTargets.toQList(), QList<EventWidget*>({matrix}));

    // "Both views": every flag unchecked; the chart options still act on the left chart.
    d->sideBox->setCurrentIndex(2);
    d->loadGeneral();
    for (QCheckBox* box : {d->timeClusterBox, d->triangulateBox, d->glyphWarpBox, d->timeWarpBox})
        QVERIFY(!box->isChecked());
    QCOMPARE(d->glyphModeBox->currentIndex(), 0);
    QCOMPARE(d->referenceChart(), c.chart.get());
    QCOMPARE(d->chartTargets.toQList(), QList<LineChart*>({c.chart.get()}));
    QCOMPARE(matrix->glyphMode, QStringLiteral("Ordering"));   // showing changed nothing

    // The boxes set the matrix's flags.
    d->sideBox->setCurrentIndex(0);
    d->loadGeneral();
    d->timeModeBox->click();
    QVERIFY(matrix->timeMode);
    d->timeClusterBox->click();
    QVERIFY(!matrix->timeCluster);
    d->alternateBox->click();
    QVERIFY(matrix->alternateMode);
    d->glyphModeBox->setCurrentIndex(0);
    QCOMPARE(matrix->glyphMode, QStringLiteral("Frequency"));
    QVERIFY(!matrix->cells.isEmpty());
    // The options' labels and popups buttons reach the matrix through the dialog.
    c.options->showLabelsBox->click();
    QCOMPARE(matrix->labelsShown, c.options->showLabelsBox->isChecked());
}

void ChartOptionsWidgetTest::rangeEditsHoldIntegers_data()
{
    QTest::addColumn<QStringList>("edits");   // "min:text" or "max:text", in order
    QTest::addColumn<QString>("minimumText");
    QTest::addColumn<QString>("maximumText");
    QTest::newRow("minimum above the maximum") << QStringList{"max:10", "min:50"} << "10" << "10";
    QTest::newRow("maximum below the minimum") << QStringList{"max:8", "min:5", "max:2"} << "5" << "5";
    QTest::newRow("in range") << QStringList{"max:8", "min:2"} << "2" << "8";
    QTest::newRow("not a number") << QStringList{"max:9", "min:abc"} << "0" << "9";
    QTest::newRow("a fraction") << QStringList{"max:9", "min:2.5"} << "0" << "9";
    // A number in exponent form holds no integer: it bounds nothing.
    QTest::newRow("exponent form") << QStringList{"max:1e+03", "min:40"} << "40" << "0";
}

void ChartOptionsWidgetTest::rangeEditsHoldIntegers()
{
    QFETCH(QStringList, edits);
    QFETCH(QString, minimumText);
    QFETCH(QString, maximumText);
    Charts c(paletteEvents());
    auto d = dialogFor(c);
    for (const QString& edit : edits) {
        QLineEdit* target = edit.startsWith(QLatin1String("min")) ? d->minimumEdit : d->maximumEdit;
        if (edit == QLatin1String("max:1e+03")) {
            // As the edit shows a large range end: the text arrives unchecked.
            const QSignalBlocker blocker(target);
            target->setText(edit.mid(4));
            continue;
        }
        target->setText(edit.mid(4));
    }
    QCOMPARE(d->minimumEdit->text(), minimumText);
    if (!edits.contains(QStringLiteral("max:1e+03")))
        QCOMPARE(d->maximumEdit->text(), maximumText);
    QCOMPARE(d->minimum, minimumText.toDouble());
    QCOMPARE(c.chart->valueMinimum, minimumText.toDouble());
    QCOMPARE(c.chart->valueAttribute, QStringLiteral("#Events"));
    QVERIFY(c.chart->valueAxis);
    QVERIFY(std::isfinite(c.chart->valueAxis->min) && std::isfinite(c.chart->valueAxis->max));
    QVERIFY(c.chart->render(false, false, nullptr));
}

void ChartOptionsWidgetTest::chartOptionsReachTheChart()
{
    Charts c(paletteEvents());
    auto d = dialogFor(c);
    LineChart* chart = c.chart.get();
    d->drawArcBox->click();
    QVERIFY(chart->drawArcs);
    QVERIFY(!chart->arcs.isEmpty());
    QVERIFY(d->drawArcBox->isChecked());
    d->interpolateBox->click();
    QVERIFY(chart->connectBins);
    QVERIFY(c.mini->connectBins);
    d->logarithmBox->click();
    QVERIFY(chart->logarithm);
    QVERIFY(chart->valueAxis->logScale);
    QVERIFY(d->logarithmBox->isChecked());
    d->attributeBox->setCurrentText(QStringLiteral("size"));
    QCOMPARE(chart->valueAttribute, QStringLiteral("size"));
    QCOMPARE(c.mini->valueAttribute, QStringLiteral("size"));
    QVERIFY(chart->render(false, false, nullptr));
    d->axisBox->setCurrentIndex(1);
    d->stackBox->click();
    QVERIFY(chart->stack);
    QVERIFY(c.mini->stack);
}

LUMIVANE_TEST(ChartOptionsWidgetTest)

// ---------------------------------------------------------------------------

class RibbonLineWidgetTest : public QObject
{
    Q_OBJECT

private slots:
    void chartsWithoutParentGoWithTheRibbon();
    void dialogPerClickGivesTheControlsBack();
};

void RibbonLineWidgetTest::chartsWithoutParentGoWithTheRibbon()
{
    Charts c(eventsAt({1.0, 2.0, 3.0}));
    QPointer<LineChart> chart;
    QPointer<LineChartMiniView> mini;
    {
        RibbonLineWidget ribbon(c.control.get(), c.matrix.get(), nullptr);
        chart = ribbon.chart;
        mini = ribbon.miniView;
        QVERIFY(!chart->parent());
        QVERIFY(!mini->parent());
        QCOMPARE(chart->miniView, mini.data());
        QCOMPARE(mini->chart.data(), chart.data());
        QCOMPARE(ribbon.options, c.options.get());
        QCOMPARE(mini->minimumHeight(), 50);
        QCOMPARE(chart->minimumHeight(), 200);
        QVERIFY(!ribbon.gearButton->icon().isNull());
        QCOMPARE(ribbon.gearButton->parent(), &ribbon);
        QCOMPARE(ribbon.layout()->count(), 0);
        QVERIFY(ribbon.isActive());
        ribbon.setActive(false, false);
        QVERIFY(!ribbon.isActive());
        QVERIFY(!mini->isActive());
        // A chart that nothing placed does not open a window of its own.
        ribbon.setActive(true, true);
        QVERIFY(chart->isActive());
        QVERIFY(!chart->isWindow() || !chart->isVisible());
    }
    QVERIFY(chart.isNull());
    QVERIFY(mini.isNull());

    // Placed charts belong to their holder, also when the holder goes first.
    auto holder = std::make_unique<QWidget>();
    {
        RibbonLineWidget ribbon(c.control.get(), c.matrix.get(), nullptr);
        auto* box = new QVBoxLayout(holder.get());
        box->addWidget(ribbon.gearButton);
        box->addWidget(ribbon.miniView);
        box->addWidget(ribbon.chart);
        chart = ribbon.chart;
        mini = ribbon.miniView;
        QCOMPARE(chart->parent(), holder.get());
        holder.reset();
        QVERIFY(chart.isNull());
        QVERIFY(mini.isNull());
    }
}

void RibbonLineWidgetTest::dialogPerClickGivesTheControlsBack()
{
    Charts c(eventsAt({1.0, 2.0, 3.0}));
    OptionsWidget* options = c.options.get();
    // The event ribbon's row with the two controls between two labels.
    QWidget row;
    auto* box = new QHBoxLayout(&row);
    box->addWidget(new QLabel(QStringLiteral("before")));
    box->addWidget(options->glyphSizeAxisBox);
    box->addWidget(options->glyphPercentageBox);
    box->addWidget(new QLabel(QStringLiteral("after")));
    QPointer<QComboBox> sizeBox = options->glyphSizeAxisBox;
    QPointer<QSpinBox> percentageBox = options->glyphPercentageBox;

    RibbonLineWidget ribbon(c.control.get(), c.matrix.get(), nullptr);
    ReloadCounter reloads;
    c.matrix->installEventFilter(&reloads);

    // What one click on "Multi-match" does with no dialog open.
    const bool start = showMulti;
    options->multiMatchBox->click();
    const bool toggledAlone = showMulti != start;
    showMulti = start;

    QList<QPointer<ChartOptionsWidget>> opened;
    for (int i = 0; i < 3; ++i) {
        bool inside = false;
        QTimer::singleShot(0, [&]() {
            auto* d = qobject_cast<ChartOptionsWidget*>(QApplication::activeModalWidget());
            QVERIFY(d);
            opened.append(d);
            inside = d->isAncestorOf(sizeBox) && d->isAncestorOf(percentageBox);
            // While it is open a click toggles the flag once more and reloads the matrix.
            const bool before = showMulti;
            const int reloadsBefore = reloads.count;
            options->multiMatchBox->click();
            QCOMPARE(showMulti != before, !toggledAlone);
            QCOMPARE(reloads.count, reloadsBefore + 1);
            showMulti = before;
            d->reject();
        });
        ribbon.gearButton->click();
        QVERIFY(inside);
    }
    QCOMPARE(opened.size(), 3);
    for (const QPointer<ChartOptionsWidget>& d : opened)
        QVERIFY(d.isNull());

    // The controls are back in their row, at their places, and alive.
    QVERIFY(!sizeBox.isNull());
    QVERIFY(!percentageBox.isNull());
    QCOMPARE(sizeBox->parentWidget(), &row);
    QCOMPARE(box->indexOf(sizeBox), 1);
    QCOMPARE(box->indexOf(percentageBox), 2);
    QVERIFY(!sizeBox->isHidden());

    // One click toggles the flag as it does with no dialog, and reloads nothing.
    const int reloadsBefore = reloads.count;
    const bool before = showMulti;
    options->multiMatchBox->click();
    QCOMPARE(showMulti != before, toggledAlone);
    QCOMPARE(reloads.count, reloadsBefore);
    showMulti = before;
    c.matrix->removeEventFilter(&reloads);
    // The row gives the controls back to the options object before it goes.
    box->removeWidget(sizeBox);
    box->removeWidget(percentageBox);
    sizeBox->setParent(nullptr);
    percentageBox->setParent(nullptr);
}

LUMIVANE_TEST(RibbonLineWidgetTest)
#include "ChartOptionsWidgetTest.moc"
