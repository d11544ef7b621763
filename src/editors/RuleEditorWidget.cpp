#include "editors/RuleEditorWidget.h"

#include <QAction>
#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpacerItem>
#include <QTableWidget>
#include <QToolBar>
#include <QVBoxLayout>

#include "app/ControlWidget.h"
#include "app/FileAsker.h"
#include "app/MainWindow.h"
#include "app/MessageAsker.h"
#include "core/HandlerGuard.h"
#include "core/OnExit.h"
#include "core/SideFile.h"
#include "editors/ExampleWidget.h"
#include "editors/MapWidget.h"
#include "editors/RibbonMapWidget.h"
#include "editors/RuleWidget.h"
#include "events/ReloadEvent.h"
#include "items/ArrowItem.h"
#include "items/ScreenPlacement.h"
#include "model/GlyphStore.h"
#include "patterns/ParseNode.h"
#include "patterns/RulesFile.h"
#include "views/events/EventWidget.h"

#include <memory>
#include <new>
#include <utility>

namespace {

ParseNode* copyTree(const ParseNode* tree)
{
    if (!tree)
        return nullptr;
    auto* copy = new ParseNode(*tree);
    copy->parentNode = nullptr;
    return copy;
}

} // namespace

RuleEditorWidget::RuleEditorWidget(RuleWidget* ruleTable, ControlWidget* owner, QWidget* parent)
    : QDialog(parent), ruleTable(ruleTable), noTable(ruleTable == nullptr), owner(owner)
{
    setMouseTracking(true);

    preEditor = new RibbonMapWidget(false, owner, this);
    preEditor->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    postEditor = new RibbonMapWidget(true, owner, this);
    postEditor->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);

    arrowStrip = new ExampleWidget(this);
    ArrowItem arrow(nullptr);
    arrowStrip->setItem(&arrow);
    arrowStrip->setColor(Qt::white);
    arrowStrip->setFixedWidth(int(arrow.width()));

    saveButton = new QPushButton(QStringLiteral("save"), this);
    cancelButton = new QPushButton(QStringLiteral("cancel"), this);
    deleteButton = new QPushButton(QStringLiteral("delete"), this);

    toolBar = new QToolBar(QStringLiteral("Settings"), this);
    importAction = toolBar->addAction(QIcon(QStringLiteral(":/Resources/export.png")),
                                      QStringLiteral("&Import"));
    importAction->setStatusTip(QStringLiteral("Import rules"));
    exportAction = toolBar->addAction(QIcon(QStringLiteral(":/Resources/import.png")),
                                      QStringLiteral("&Export"));
    exportAction->setStatusTip(QStringLiteral("Export rules"));

    nameEdit = new QLineEdit(this);

    // Each row goes into its layout as soon as it is made: a constructor
    // that throws frees what its layouts hold.
    auto* layout = new QVBoxLayout(this);
    auto* nameRow = new QHBoxLayout;
    layout->addLayout(nameRow);
    nameRow->setSpacing(1);
    nameRow->addWidget(new QLabel(QStringLiteral("Name:"), this));
    nameRow->addWidget(nameEdit);
    nameRow->addWidget(toolBar);

    auto* patternRow = new QHBoxLayout;
    layout->addLayout(patternRow);
    patternRow->setContentsMargins(0, 0, 0, 0);
    patternRow->setSpacing(0);
    patternRow->addWidget(preEditor);
    auto* arrowColumn = new QVBoxLayout;
    patternRow->addLayout(arrowColumn);
    arrowColumn->addItem(new QSpacerItem(2, 38, QSizePolicy::Minimum, QSizePolicy::Minimum));
    arrowColumn->addWidget(arrowStrip);
    patternRow->addWidget(postEditor);

    auto* buttonRow = new QHBoxLayout;
    layout->addLayout(buttonRow);
    buttonRow->addWidget(saveButton);
    buttonRow->addWidget(cancelButton);
    buttonRow->addWidget(deleteButton);

    // A dialog's push buttons take Return when they are (auto-)default:
    // Return must neither save nor press a pattern editor's tool.
    for (QPushButton* button : findChildren<QPushButton*>()) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    connect(importAction, &QAction::triggered, this, &RuleEditorWidget::loadRules);
    connect(exportAction, &QAction::triggered, this, &RuleEditorWidget::saveRules);
    // The editor's own handlers end their running out of memory and leave
    // the store, the table and both pattern editors as they were, or as
    // after the change, never half changed.
    connect(nameEdit, &QLineEdit::textChanged, this, &RuleEditorWidget::setName);
    if (ruleTable) {
        connect(ruleTable, &RuleWidget::deleteRule, this, &RuleEditorWidget::deleteRule);
        connect(ruleTable, &RuleWidget::setRule, this, &RuleEditorWidget::setRule);
    }
    connect(saveButton, &QPushButton::clicked, this, &RuleEditorWidget::addRule);
    connect(cancelButton, &QPushButton::clicked, this, &RuleEditorWidget::cancelRule);
    connect(deleteButton, &QPushButton::clicked, this, &RuleEditorWidget::removeRule);

    updateButtons();
}

RuleEditorWidget* RuleEditorWidget::openWindow(ControlWidget* owner)
{
    // Held until the window owns them: out of memory nothing is left behind.
    std::unique_ptr<QWidget> window(new QWidget);
    std::unique_ptr<RuleWidget> table(new RuleWidget(owner, true, nullptr));
    std::unique_ptr<RuleEditorWidget> editor(new RuleEditorWidget(table.get(), owner, nullptr));
    window->setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(window.get());
    layout->setSpacing(1);
    layout->addWidget(editor.get());
    layout->addWidget(table.get());
    table.release();
    RuleEditorWidget* made = editor.release();
    // Over the main window wherever it was moved. The window stays one of
    // its own (no parent): not modal, not kept above the main window, whose
    // matrix the analyst works in beside it, and deleted when it closes.
    window->adjustSize();
    if (owner && owner->mainWindow)
        ScreenPlacement::centreOver(window.get(), owner->mainWindow);
    window->show();
    window.release();
    return made;
}

GlyphStore* RuleEditorWidget::store() const
{
    return owner ? owner->glyphStore : nullptr;
}

void RuleEditorWidget::sendReload()
{
    // The rule tables of other windows refill.
    if (owner)
        emit owner->rulesChanged(ruleTable);
    // The main view group's matrix; the second group is never fed.
    EventWidget* matrix = owner ? owner->focusedEventWidget() : nullptr;
    if (!matrix)
        return;
    ReloadEvent event(this, {});
    QCoreApplication::sendEvent(matrix, &event);
}

// ---------------------------------------------------------------------------
// Rules files

void RuleEditorWidget::saveRules()
{
    try {
        const QString path = FileAsker::saveFileName(this, QStringLiteral("Save settings:"), QString(),
                                                     QStringLiteral("KOLM files (*.kolm)"));
        if (path.isEmpty())
            return;
        writeRulesFile(path);
    } catch (const std::bad_alloc&) {
        // Before a file was chosen: nothing was written.
        MessageAsker::tell(QMessageBox::Warning, "Failed to save rules",
                           "Save failed: file could not be written to", this);
    }
}

bool RuleEditorWidget::writeRulesFile(const QString& path)
{
    // Written beside the old file, which it replaces only once complete:
    // whatever fails, a file that was there stays as it was.
    try {
        SideFile file(path);
        if (!file.open(true)) {
            MessageAsker::tell(QMessageBox::Warning, "Failed to save rules",
                               "Save failed: file could not be opened", this);
            return false;
        }
        QByteArray bytes;
        if (GlyphStore* s = store()) {
            for (int i = 0; i < s->rules.size(); ++i) {
                if (i > 0)
                    bytes += '\n';
                bytes += Rule::toString(s->rules[i]).toLatin1();
            }
        }
        if (!file.write(bytes) || !file.commit()) {
            qDebug().noquote() << QStringLiteral("rules not saved to %1: %2").arg(path, file.errorString());
            MessageAsker::tell(QMessageBox::Warning, "Failed to save rules",
                               "Save failed: file could not be written to", this);
            return false;
        }
    } catch (const std::bad_alloc&) {
        MessageAsker::tell(QMessageBox::Warning, "Failed to save rules",
                           "Save failed: file could not be written to", this);
        return false;
    }
    MessageAsker::tell(QMessageBox::Information, "Save Rules", "Save successful", this);
    return true;
}

namespace {

// A rule set read from a rules file, with the glyph lists it gives the
// store (the defaults and the rewrite glyphs of its rules), made whole
// before the store is touched. Swapping it with the store cannot fail;
// after a swap it holds what the store held, so a second swap puts that back.
struct StagedRules
{
    TList<BinItem> glyphs;
    TList<BinItem> colorGlyphs;
    TList<Rule> rules;
    int nextId = 0;
    bool swapped = false;
    // Lines of the file left out, for the warning shown once it is loaded.
    QString skippedWarning;

    void swap(GlyphStore* store) noexcept
    {
        store->glyphs.items.swap(glyphs.items);
        store->colorGlyphs.items.swap(colorGlyphs.items);
        store->rules.items.swap(rules.items);
        std::swap(nextGlyphId, nextId);
        swapped = !swapped;
    }
};

// Reads the rules file at `path` into `staged`; the store is not changed.
// A file that cannot be opened, or of which no rule reads, is told about
// and gives false.
bool stageRulesFile(const QString& path, QWidget* parent, StagedRules& staged)
{
    // Not in text mode: only the reader decides which carriage returns end
    // a line.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        MessageAsker::tell(QMessageBox::Warning, "Failed to load settings",
                           "Load failed: file could not be opened", parent);
        return false;
    }
    RulesFile read = RulesFile::fromBytes(file.readAll());
    file.close();
    // An empty file is a rule set without rules; any other file is one only
    // when some rule reads from it.
    if (read.rules.isEmpty() && !read.blank()) {
        // Not a rules file (or nothing of it reads): the rules and glyphs
        // the analyst has stay.
        qDebug().noquote() << QStringLiteral("no rule read from %1: the rules are kept").arg(path);
        QString text = QStringLiteral("Load failed: no rule could be read");
        if (read.skipped > 0)
            text += QStringLiteral(" (") + read.skippedText() + QLatin1Char(')');
        MessageAsker::ask(QMessageBox::Warning, QStringLiteral("Failed to load settings"),
                          text + QStringLiteral("; the rules are unchanged"), QMessageBox::Ok, parent);
        return false;
    }

    // The glyphs become the defaults plus the rewrite glyphs of the rules
    // read, numbered from where the defaults leave the glyph ids. They are
    // made in a store of their own; the next glyph id they leave goes with
    // them, and the one in use stays until they are swapped in.
    const int idsBefore = nextGlyphId;
    OnExit keepIds([idsBefore] { nextGlyphId = idsBefore; });
    GlyphStore defaults;
    defaults.adoptRewriteGlyphs(read.rules);
    // The rules that read are loaded; the user learns what was left out.
    if (read.skipped > 0)
        staged.skippedWarning = QStringLiteral("%1; %2 loaded").arg(read.skippedText(), read.rulesText());
    staged.glyphs.items.swap(defaults.glyphs.items);
    staged.colorGlyphs.items.swap(defaults.colorGlyphs.items);
    staged.rules.items.swap(read.rules.items);
    staged.nextId = nextGlyphId;
    return true;
}

} // namespace

void RuleEditorWidget::loadRules()
{
    GlyphStore* s = store();
    StagedRules staged;
    try {
        const QString path = FileAsker::openFileName(this, QStringLiteral("Load settings:"), QString(),
                                                     QStringLiteral("KOLM file (*.kolm)"));
        if (!path.isEmpty()) {
            if (s && stageRulesFile(path, this, staged)) {
                staged.swap(s);
                if (!staged.skippedWarning.isEmpty())
                    MessageAsker::ask(QMessageBox::Warning, QStringLiteral("Load settings"),
                                      staged.skippedWarning, QMessageBox::Ok, this);
            }
            updateButtons();
            if (ruleTable)
                ruleTable->setRules();
            // Also after a failed open: the matrix shows the store's rules.
            sendReload();
        }
        updateButtons();
    } catch (const std::bad_alloc&) {
        // The rules and glyphs the store had come back, and the views show
        // them again.
        if (staged.swapped)
            staged.swap(s);
        try {
            updateButtons();
            if (ruleTable)
                ruleTable->setRules();
            sendReload();
        } catch (const std::bad_alloc&) {
            // The box below still tells that the import failed.
        }
        MessageAsker::tell(QMessageBox::Warning, "Failed to load settings",
                           "Load failed: ran out of memory; the rules are unchanged", this);
    }
}

bool RuleEditorWidget::readRulesFile(const QString& path)
{
    GlyphStore* s = store();
    StagedRules staged;
    try {
        if (!s) {
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly))
                MessageAsker::tell(QMessageBox::Warning, "Failed to load settings",
                                   "Load failed: file could not be opened", this);
            return false;
        }
        if (!stageRulesFile(path, this, staged))
            return false;
        staged.swap(s);
        if (!staged.skippedWarning.isEmpty())
            MessageAsker::ask(QMessageBox::Warning, QStringLiteral("Load settings"), staged.skippedWarning,
                              QMessageBox::Ok, this);
        return true;
    } catch (const std::bad_alloc&) {
        if (staged.swapped)
            staged.swap(s);
        MessageAsker::tell(QMessageBox::Warning, "Failed to load settings",
                           "Load failed: ran out of memory; the rules are unchanged", this);
        return false;
    }
}

// ---------------------------------------------------------------------------
// Editing

void RuleEditorWidget::setRule(Rule rule)
{
    // Both trees are made ready before either editor changes: out of memory
    // the editor stays as it was (the table's click that brought the rule
    // ends the failure).
    const bool empty = rule.name.isEmpty() || !rule.pre;
    MapWidget::Prepared pre = preEditor->map->prepareRoot(empty ? nullptr : copyTree(rule.pre));
    MapWidget::Prepared post = postEditor->map->prepareRoot(empty ? nullptr : copyTree(rule.post));
    preEditor->map->showRoot(pre);
    postEditor->map->showRoot(post);
    editing = !empty;
    if (empty) {
        nameEdit->clear();
    } else {
        nameEdit->setText(rule.name);
        loadedName = rule.name;
    }
    updateButtons();
    update();
}

void RuleEditorWidget::setName(QString text)
{
    Q_UNUSED(text);
    HandlerGuard::run([this] {
        updateButtons();
        update();
    });
}

void RuleEditorWidget::updateButtons()
{
    setUpdatesEnabled(false);
    {
        const QSignalBlocker blocker(this);
        saveButton->setEnabled(!nameEdit->text().trimmed().isEmpty());
        cancelButton->setEnabled(!ruleTable || editing);
        deleteButton->setEnabled(ruleExists());
    }
    setUpdatesEnabled(true);
    // Laid out last, and out of memory each pattern editor keeps the layout
    // it has (of its tree, at its size): the change that called this goes
    // on whole, the user told once.
    try {
        preEditor->relayout();
        postEditor->relayout();
    } catch (const std::bad_alloc&) {
        HandlerGuard::failed();
    }
}

bool RuleEditorWidget::ruleExists() const
{
    GlyphStore* s = store();
    if (!s)
        return false;
    const QString name = nameEdit->text().trimmed();
    for (const Rule& rule : s->rules.items) {
        if (rule.name == name)
            return true;
    }
    return false;
}

void RuleEditorWidget::clearEditors()
{
    MapWidget::Prepared pre = preEditor->map->prepareRoot(nullptr);
    MapWidget::Prepared post = postEditor->map->prepareRoot(nullptr);
    clearEditors(pre, post);
}

void RuleEditorWidget::clearEditors(MapWidget::Prepared& pre, MapWidget::Prepared& post)
{
    preEditor->map->showRoot(pre);
    postEditor->map->showRoot(post);
    if (ruleTable)
        ruleTable->table->clearSelection();
}

void RuleEditorWidget::addRule()
{
    HandlerGuard::run([this] { saveRule(); });
}

void RuleEditorWidget::saveRule()
{
    const QString name = nameEdit->text().trimmed();
    if (name.isEmpty()) {
        // The keypad Enter reaches here with blanks only: a rule needs a name.
        qDebug() << "a rule needs a name";
        return;
    }
    if (name.contains(QLatin1Char('~'))) {
        // "~" separates the fields of a rules-file line: such a rule would be
        // exported and then skipped by every import. The editor keeps its
        // content, so that the name can be mended.
        MessageAsker::ask(QMessageBox::Warning, QStringLiteral("Failed to save rule"),
                          QStringLiteral("Save failed: a rule's name cannot contain \"~\""),
                          QMessageBox::Ok, this);
        return;
    }
    // Saved as an export keeps it: what matches nothing is left out (see
    // Rule::normalised), so that an export and an import give this rule back.
    const std::unique_ptr<ParseNode> drawnPre(preEditor->map->removeEpsilons());
    const std::unique_ptr<ParseNode> drawnPost(postEditor->map->removeEpsilons());
    std::unique_ptr<ParseNode> pre(Rule::normalised(drawnPre.get(), false));
    std::unique_ptr<ParseNode> post(Rule::normalised(drawnPost.get(), true));
    Rule rule(name, pre.release(), post.release(), true, true);
    // Everything the change needs is made before the store changes: out of
    // memory on the way the store, the table and the editor stay as they
    // were.
    if (!ruleTable) {
        if (GlyphStore* s = store()) {
            s->rules.items.reserve(s->rules.items.size() + 1);
            s->rules.append(rule);
        }
        nameEdit->clear();
        accept();
    } else {
        // The current row can have moved off the rule loaded (arrow keys, a
        // press dragged off a row): that row's rule is not the one edited.
        bool replace = editing;
        const int row = ruleTable->currentRow();
        if (replace && row >= 0 && row < ruleTable->rules.size()
            && ruleTable->rules[row].name != loadedName) {
            qDebug().noquote() << QStringLiteral("the current row shows \"%1\", not the rule loaded, \"%2\": "
                                                 "\"%3\" added as a new rule")
                                      .arg(ruleTable->rules[row].name, loadedName, name);
            replace = false;
        }
        TList<Rule> stored;
        RuleWidget::Refill refill = ruleTable->prepareStore(rule, replace, stored);
        MapWidget::Prepared pre = preEditor->map->prepareRoot(nullptr);
        MapWidget::Prepared post = postEditor->map->prepareRoot(nullptr);
        ruleTable->showStored(stored, refill);
        clearEditors(pre, post);
        nameEdit->clear();
    }
    sendReload();
}

void RuleEditorWidget::cancelRule()
{
    HandlerGuard::run([this] {
        setRule(Rule(QString(), nullptr, nullptr, false, false));
        nameEdit->clear();
        if (ruleTable)
            ruleTable->table->selectRow(ruleTable->table->rowCount() - 1);
    });
}

void RuleEditorWidget::removeRule()
{
    HandlerGuard::run([this] {
        if (!ruleTable)
            return;
        const int row = ruleTable->currentRow();
        if (row < 0)
            return;
        // "delete" is enabled by the typed name: it deletes the current row's
        // rule only when that is the rule named.
        const QString name = nameEdit->text().trimmed();
        if (row >= ruleTable->rules.size() || ruleTable->rules[row].name != name) {
            qDebug().noquote()
                << QStringLiteral("delete: the current row does not show the rule \"%1\"; nothing deleted").arg(name);
            return;
        }
        deleteRule(row);
    });
}

void RuleEditorWidget::deleteRule(int row)
{
    GlyphStore* s = store();
    if (!s)
        return;
    // A table's row stands for the store's rule at the same index only while
    // that rule still has the row's name.
    const int index = ruleTable ? ruleTable->storeIndex(row)
                                : (row >= 0 && row < s->rules.size() ? row : -1);
    if (index < 0) {
        if (ruleTable && row >= 0 && row < ruleTable->rules.size())
            qDebug().noquote() << QStringLiteral("rule \"%1\" is no longer at row %2; nothing deleted")
                                      .arg(ruleTable->rules[row].name)
                                      .arg(row);
        return;
    }
    // The rules without it, the table's rows for them and the emptied
    // editors are made before anything changes (reached from the table's
    // Delete key or "delete", which end the failure).
    TList<Rule> kept;
    kept.items.reserve(s->rules.items.size());
    for (int i = 0; i < s->rules.size(); ++i) {
        if (i != index)
            kept.append(s->rules[i]);
    }
    RuleWidget::Refill refill;
    if (ruleTable)
        refill = ruleTable->prepareRules(kept);
    MapWidget::Prepared pre = preEditor->map->prepareRoot(nullptr);
    MapWidget::Prepared post = postEditor->map->prepareRoot(nullptr);

    s->rules.items.swap(kept.items);
    preEditor->map->showRoot(pre);
    postEditor->map->showRoot(post);
    editing = false;
    if (ruleTable)
        ruleTable->showRules(refill);
    nameEdit->clear();
    updateButtons();

    sendReload();
}

void RuleEditorWidget::keyPressEvent(QKeyEvent* event)
{
    // Inside its window the editor is no dialog of its own: rejecting would
    // hide it and leave the window with its table alone. There Escape is
    // the editor's "cancel", and only while that is enabled (a rule loaded),
    // so that a pattern being drawn is not thrown away.
    const bool embedded = !isWindow();
    if (!(embedded && event->key() == Qt::Key_Escape))
        QDialog::keyPressEvent(event);
    // The actions end their own failures; what is left is the window's.
    HandlerGuard::run([&] {
        switch (event->key()) {
        case Qt::Key_Enter:
            if (!nameEdit->text().isEmpty())
                addRule();
            break;
        case Qt::Key_Escape:
            if (!embedded)
                reject();
            else if (cancelButton->isEnabled())
                cancelRule();
            event->accept();
            break;
        case Qt::Key_Delete:
            if (ruleTable && ruleTable->currentRow() >= 0)
                removeRule();
            break;
        default:
            break;
        }
        for (RibbonMapWidget* editor : {preEditor, postEditor}) {
            if (editor->map->pointerInside)
                editor->map->keyPressEvent(event);
        }
    });
}
