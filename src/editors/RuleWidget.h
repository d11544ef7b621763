#pragma once

#include <QWidget>

#include <memory>
#include <vector>

#include "core/TList.h"
#include "patterns/Rule.h"

class ControlWidget;
class GlyphStore;
class QKeyEvent;
class QResizeEvent;
class QTableWidget;
class QTableWidgetItem;

// The table of the rules of the glyph store: per row the rule's name and a
// picture of the rule, optionally ended by the "add New" row. A click on a
// row hands a copy of that row's rule to the editor above (an empty rule
// for "add New"); the Delete key asks the editor to delete the current
// row's rule.
//
// The table shows a copy of the store's rule list taken at its last refill;
// it refills when a rule editor of another window changes the rules. A
// reorder in the rule list or a data load may change the store meanwhile,
// so a row is only trusted to stand for the store's rule at the same index
// while that rule still has the row's name (storeIndex).
class RuleWidget : public QWidget
{
    Q_OBJECT

public:
    RuleWidget(ControlWidget* owner, bool showNewRow, QWidget* parent = nullptr);

    // Refills the table from the glyph store. The current row stays on the
    // rule (or the "add New" row) it showed, at the row of that name nearest
    // to where it was; when no row has that name, no row is current. Out of
    // memory (std::bad_alloc) the table shows what it showed.
    void setRules();
    // Stores an edited rule: with `replace` and a current row that shows a
    // rule, over that rule; otherwise (or when that row no longer stands for
    // the store's rule) as a new visible rule at the end. Then refills the
    // table and makes its last row the selected one. Out of memory the
    // store and the table stay as they were.
    void storeRule(const Rule& rule, bool replace);

    // A refill made ahead: the rules and the table's items, not yet shown.
    struct Refill
    {
        Refill();
        Refill(Refill&&) noexcept;
        Refill& operator=(Refill&&) noexcept;
        ~Refill();
        TList<Rule> rules;
        std::vector<std::unique_ptr<QTableWidgetItem>> names;
        std::vector<std::unique_ptr<QTableWidgetItem>> pictures;
    };
    // The refill for a list of rules (the store's, or the one about to be).
    Refill prepareRules(const TList<Rule>& list) const;
    // Shows a refill; only the table's own work, nothing of its own to
    // allocate.
    void showRules(Refill& next);
    // storeRule in two steps, for a change that happens whole with others:
    // `stored` gets the store's list with the rule stored, and the refill
    // for it is made; showStored puts that list into the store and shows it.
    Refill prepareStore(const Rule& rule, bool replace, TList<Rule>& stored) const;
    void showStored(TList<Rule>& stored, Refill& next);
    // The table's current row, -1 when none.
    int currentRow() const;
    // The index in the store's rule list of the rule shown at `row`, or -1
    // when the row shows no rule or that index no longer holds a rule of
    // the row's name.
    int storeIndex(int row) const;

    ControlWidget* owner = nullptr;
    int ruleColumn = 1;
    int nameColumn = 0;
    bool showNewRow = false;
    QTableWidget* table = nullptr;
    TList<Rule> rules;     // row i shows rules[i]
    int iconWidth = 200;
    int iconHeight = 50;

signals:
    void deleteRule(int row);
    void setRule(Rule rule);

public slots:
    void createRule(int row, int column);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    GlyphStore* store() const;

    // The current row before the last change of it.
    int previousRow = -1;
};
