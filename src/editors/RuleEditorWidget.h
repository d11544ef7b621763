#pragma once

#include <QDialog>
#include <QString>

#include "editors/MapWidget.h"
#include "patterns/Rule.h"

class ControlWidget;
class ExampleWidget;
class GlyphStore;
class QAction;
class QKeyEvent;
class QLineEdit;
class QPushButton;
class QToolBar;
class RibbonMapWidget;
class RuleWidget;

// The editor of one rule: its name, its precondition and its rewrite, each
// drawn in a pattern editor, with "save", "cancel" and "delete", and the
// import and export of the whole rule set as a rules file. Above a rule
// table it creates (nothing loaded) or edits (a rule loaded from the table,
// whose row is then current) and stays open; alone it appends the rule and
// closes.
//
// Every change of the rule set goes into the glyph store's rule list at
// once and is followed by one ReloadEvent to the main view group's event
// matrix.
class RuleEditorWidget : public QDialog
{
    Q_OBJECT

public:
    RuleEditorWidget(RuleWidget* ruleTable, ControlWidget* owner, QWidget* parent = nullptr);

    // A new window of its own holding a new editor above a new rule table
    // with the "add New" row; it is shown and deleted when it closes.
    // Returns the editor (its window() is the window).
    static RuleEditorWidget* openWindow(ControlWidget* owner);

    // Reads a rules file (RulesFile) into the glyph store: its rules replace
    // every rule, and the store's glyphs become the defaults plus the
    // rewrite glyphs of the rules read. Lines that hold no rule are skipped;
    // when any are, one warning tells how many. A file that cannot be
    // opened, and a file that is not blank but of which no rule reads, are
    // reported and change nothing; both give false. The new rules and
    // glyphs are made whole before they replace the old ones: running out
    // of memory is reported too and leaves the store as it was.
    bool readRulesFile(const QString& path);
    // Writes every rule of the store as its rules-file line, Latin-1, "\n"
    // between lines and none after the last. Reports the outcome; true when
    // every byte was written. The file is written beside the old one and
    // takes its place only once complete: after any failure an old file
    // stays as it was, and a new one is not left behind.
    bool writeRulesFile(const QString& path);
    // The buttons' states, then both pattern editors laid out again (out of
    // memory each keeps its layout; the user is told).
    void updateButtons();
    // Some rule of the store has the trimmed name field as its name.
    bool ruleExists() const;
    // Both pattern editors show one empty slot, the table no selection. Out
    // of memory (std::bad_alloc) both editors stay as they were.
    void clearEditors();

    RibbonMapWidget* preEditor = nullptr;
    RibbonMapWidget* postEditor = nullptr;
    ExampleWidget* arrowStrip = nullptr;
    QPushButton* saveButton = nullptr;
    QPushButton* cancelButton = nullptr;
    QPushButton* deleteButton = nullptr;
    QToolBar* toolBar = nullptr;
    QAction* importAction = nullptr;
    QAction* exportAction = nullptr;
    RuleWidget* ruleTable = nullptr;
    bool noTable = true;
    ControlWidget* owner = nullptr;
    QLineEdit* nameEdit = nullptr;
    bool editing = false;

public slots:
    void saveRules();
    void loadRules();
    void addRule();
    void cancelRule();
    void removeRule();
    void setRule(Rule rule);
    void deleteRule(int row);
    void setName(QString text);

protected:
    // The keypad Enter saves (Return does not). Escape rejects an editor
    // that is a window of its own; inside its window it is "cancel" while
    // that is enabled, and never hides the editor.
    void keyPressEvent(QKeyEvent* event) override;

private:
    GlyphStore* store() const;
    // addRule's work.
    void saveRule();
    // clearEditors with both empty trees made ahead: allocates nothing.
    void clearEditors(MapWidget::Prepared& pre, MapWidget::Prepared& post);
    // After every change of the rule set: the other windows' rule tables
    // refill and the event matrix reloads its rules.
    void sendReload();

    // The name of the rule loaded for editing: "save" overwrites the current
    // row only while that row still shows it.
    QString loadedName;
};
