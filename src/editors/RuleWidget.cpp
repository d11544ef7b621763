#include "editors/RuleWidget.h"

#include <QDebug>
#include <QGridLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QResizeEvent>
#include <QTableWidget>

#include "app/ControlWidget.h"
#include "model/GlyphStore.h"

#include <memory>

namespace {

const QString DEFAULT_RULE = QStringLiteral("Default");
const QString NEW_ROW_TEXT = QStringLiteral("add New");

} // namespace

RuleWidget::RuleWidget(ControlWidget* owner, bool showNewRow, QWidget* parent)
    : QWidget(parent), owner(owner), showNewRow(showNewRow)
{
    table = new QTableWidget(this);
    table->setColumnCount(2);
    table->setHorizontalHeaderLabels({QStringLiteral("Name:"), QStringLiteral("Rule:")});
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    // Rules change through the editor above, not in the cells.
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setShowGrid(false);
    table->verticalHeader()->hide();
    table->horizontalHeader()->setStretchLastSection(true);
    table->setIconSize(QSize(iconWidth, iconHeight));
    table->setMouseTracking(true);
    setMouseTracking(true);

    auto* layout = new QGridLayout(this);
    layout->setSpacing(1);
    layout->addWidget(table, 0, 0);

    connect(table, &QTableWidget::cellClicked, this, &RuleWidget::createRule);
    connect(table, &QTableWidget::currentCellChanged, this,
            [this](int, int, int previous, int) { previousRow = previous; });
    // Another rule window changed the rules: this table follows.
    if (owner) {
        connect(owner, &ControlWidget::rulesChanged, this, [this](QObject* source) {
            if (source != this)
                setRules();
        });
    }

    setRules();
}

GlyphStore* RuleWidget::store() const
{
    return owner ? owner->glyphStore : nullptr;
}

void RuleWidget::setRules()
{
    // The current row is the rule a "save" overwrites: a refill (a resize
    // refills too) keeps it on the rule it showed, and never lets it land on
    // another rule.
    const int oldRow = table->currentRow();
    const bool onRule = oldRow >= 0 && oldRow < rules.size();
    const QString oldName = onRule ? rules[oldRow].name : QString();
    const bool onNewRow = showNewRow && oldRow >= 0 && oldRow == rules.size();

    table->setUpdatesEnabled(false);
    table->setRowCount(0);

    GlyphStore* s = store();
    rules = s ? s->rules : TList<Rule>();

    table->setRowCount(rules.size() + (showNewRow ? 1 : 0));
    for (int row = 0; row < rules.size(); ++row) {
        Rule& rule = rules[row];
        table->setItem(row, nameColumn, new QTableWidgetItem(rule.name));
        std::unique_ptr<QTableWidgetItem> picture(new QTableWidgetItem);
        picture->setData(Qt::DecorationRole, rule.icon(iconWidth, iconHeight));
        table->setItem(row, ruleColumn, picture.release());
        table->setRowHeight(row, iconHeight);
    }
    if (showNewRow) {
        const int row = rules.size();
        table->setItem(row, nameColumn, new QTableWidgetItem(QString()));
        table->setItem(row, ruleColumn, new QTableWidgetItem(NEW_ROW_TEXT));
        table->setRowHeight(row, iconHeight);
    }

    for (int column = 0; column < table->columnCount(); ++column)
        table->horizontalHeader()->setSectionResizeMode(column, QHeaderView::Stretch);

    // A rule that moved (a rule before it deleted or inserted in another
    // window) is followed to the row of its name nearest to where it was.
    int follow = -1;
    for (int d = 0; onRule && follow < 0 && (oldRow - d >= 0 || oldRow + d < rules.size()); ++d) {
        if (oldRow - d >= 0 && oldRow - d < rules.size() && rules[oldRow - d].name == oldName)
            follow = oldRow - d;
        else if (oldRow + d < rules.size() && rules[oldRow + d].name == oldName)
            follow = oldRow + d;
    }
    if (follow >= 0)
        table->setCurrentCell(follow, nameColumn);
    else if (onNewRow)
        table->setCurrentCell(rules.size(), nameColumn);
    else
        // Set explicitly: left unset, the view would soon make the first
        // row current by itself.
        table->setCurrentCell(-1, -1);
    table->setUpdatesEnabled(true);
}

int RuleWidget::currentRow() const
{
    return table->currentRow();
}

int RuleWidget::storeIndex(int row) const
{
    GlyphStore* s = store();
    if (!s || row < 0 || row >= rules.size() || row >= s->rules.size())
        return -1;
    return s->rules[row].name == rules[row].name ? row : -1;
}

void RuleWidget::createRule(int row, int column)
{
    Q_UNUSED(column);
    QTableWidgetItem* item = table->item(row, nameColumn);
    const QString name = item ? item->text() : QString();
    if (name.isEmpty()) {
        emit setRule(Rule(QString(), nullptr, nullptr, false, false));
        return;
    }
    if (name == DEFAULT_RULE) {
        // Nothing opens, and the row the editor saves over stays the one
        // it was: a rule being edited must not replace this one.
        table->setCurrentCell(previousRow, nameColumn);
        return;
    }
    if (row < 0 || row >= rules.size())
        return;
    emit setRule(Rule(rules[row]));
}

void RuleWidget::storeRule(const Rule& rule, bool replace)
{
    GlyphStore* s = store();
    if (!s)
        return;
    const int row = currentRow();
    const bool showsRule = row >= 0 && row < rules.size();
    const int index = showsRule ? storeIndex(row) : -1;
    if (replace && index >= 0) {
        rules[row] = rule;
        s->rules[index] = rule;
    } else {
        if (replace && showsRule)
            qDebug().noquote() << QStringLiteral("rule \"%1\" is no longer at row %2: \"%3\" added instead")
                                      .arg(rules[row].name)
                                      .arg(row)
                                      .arg(rule.name);
        Rule added(rule);
        added.visible = true;
        rules.append(added);
        s->rules.append(added);
    }
    setRules();
    table->selectRow(table->rowCount() - 1);
    table->viewport()->update();
}

void RuleWidget::keyPressEvent(QKeyEvent* event)
{
    QWidget::keyPressEvent(event);
    if (event->key() == Qt::Key_Delete && currentRow() >= 0)
        emit deleteRule(currentRow());
}

void RuleWidget::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    qDebug() << "rule table width" << event->size().width();
    setRules();
    update();
}
