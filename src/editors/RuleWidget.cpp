#include "editors/RuleWidget.h"

#include <QDebug>
#include <QGridLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QResizeEvent>
#include <QTableWidget>

#include "app/ControlWidget.h"
#include "core/HandlerGuard.h"
#include "model/GlyphStore.h"

#include <memory>
#include <utility>

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
    // Another rule window changed the rules: this table follows. Out of
    // memory it shows what it showed (a row is trusted only while its name
    // is the store's, storeIndex), and the change goes on.
    if (owner) {
        connect(owner, &ControlWidget::rulesChanged, this, [this](QObject* source) {
            if (source != this)
                HandlerGuard::run([this] { setRules(); });
        });
    }

    setRules();
}

GlyphStore* RuleWidget::store() const
{
    return owner ? owner->glyphStore : nullptr;
}

RuleWidget::Refill::Refill() = default;
RuleWidget::Refill::Refill(Refill&&) noexcept = default;
RuleWidget::Refill& RuleWidget::Refill::operator=(Refill&&) noexcept = default;
RuleWidget::Refill::~Refill() = default;

RuleWidget::Refill RuleWidget::prepareRules(const TList<Rule>& list) const
{
    Refill next;
    next.rules = list;
    next.names.reserve(std::size_t(list.size()) + 1);
    next.pictures.reserve(std::size_t(list.size()) + 1);
    for (int row = 0; row < next.rules.size(); ++row) {
        Rule& rule = next.rules[row];
        std::unique_ptr<QTableWidgetItem> name(new QTableWidgetItem(rule.name));
        next.names.push_back(std::move(name));
        std::unique_ptr<QTableWidgetItem> picture(new QTableWidgetItem);
        picture->setData(Qt::DecorationRole, rule.icon(iconWidth, iconHeight));
        next.pictures.push_back(std::move(picture));
    }
    if (showNewRow) {
        std::unique_ptr<QTableWidgetItem> name(new QTableWidgetItem(QString()));
        next.names.push_back(std::move(name));
        std::unique_ptr<QTableWidgetItem> text(new QTableWidgetItem(NEW_ROW_TEXT));
        next.pictures.push_back(std::move(text));
    }
    return next;
}

void RuleWidget::setRules()
{
    GlyphStore* s = store();
    Refill next = prepareRules(s ? s->rules : TList<Rule>());
    showRules(next);
}

void RuleWidget::showRules(Refill& next)
{
    // The current row is the rule a "save" overwrites: a refill (a resize
    // refills too) keeps it on the rule it showed, and never lets it land on
    // another rule.
    const int oldRow = table->currentRow();
    const bool onRule = oldRow >= 0 && oldRow < rules.size();
    const QString oldName = onRule ? rules[oldRow].name : QString();
    const bool onNewRow = showNewRow && oldRow >= 0 && oldRow == rules.size();

    // Every item is made: from here on only the table's own work.
    table->setUpdatesEnabled(false);
    table->setRowCount(0);
    rules.items.swap(next.rules.items);
    table->setRowCount(int(next.names.size()));
    for (int row = 0; row < int(next.names.size()); ++row) {
        table->setItem(row, nameColumn, next.names[std::size_t(row)].release());
        table->setItem(row, ruleColumn, next.pictures[std::size_t(row)].release());
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
    // The editor takes the rule whole or stays as it was (setRule).
    HandlerGuard::run([&] {
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
    });
}

RuleWidget::Refill RuleWidget::prepareStore(const Rule& rule, bool replace, TList<Rule>& stored) const
{
    GlyphStore* s = store();
    stored = s ? s->rules : TList<Rule>();
    const int row = currentRow();
    const bool showsRule = row >= 0 && row < rules.size();
    const int index = showsRule ? storeIndex(row) : -1;
    if (replace && index >= 0) {
        stored[index] = rule;
    } else {
        if (replace && showsRule)
            qDebug().noquote() << QStringLiteral("rule \"%1\" is no longer at row %2: \"%3\" added instead")
                                      .arg(rules[row].name)
                                      .arg(row)
                                      .arg(rule.name);
        Rule added(rule);
        added.visible = true;
        stored.append(added);
    }
    return prepareRules(stored);
}

void RuleWidget::showStored(TList<Rule>& stored, Refill& next)
{
    if (GlyphStore* s = store())
        s->rules.items.swap(stored.items);
    showRules(next);
    table->selectRow(table->rowCount() - 1);
    table->viewport()->update();
}

void RuleWidget::storeRule(const Rule& rule, bool replace)
{
    if (!store())
        return;
    TList<Rule> stored;
    Refill next = prepareStore(rule, replace, stored);
    showStored(stored, next);
}

void RuleWidget::keyPressEvent(QKeyEvent* event)
{
    QWidget::keyPressEvent(event);
    // The editor deletes whole or not at all (deleteRule).
    HandlerGuard::run([&] {
        if (event->key() == Qt::Key_Delete && currentRow() >= 0)
            emit deleteRule(currentRow());
    });
}

void RuleWidget::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    // Out of memory the table shows what it showed.
    HandlerGuard::run([&] {
        qDebug() << "rule table width" << event->size().width();
        setRules();
        update();
    });
}
