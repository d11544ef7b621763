#pragma once

// Builders for the rule editor, rule table and rule list tests: rules over
// the "kind" attribute, a recorder of the message boxes, a counter of the
// reloads that reach the main window's left event matrix, and the rule
// window as every opener builds it.

#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

#include <memory>

#include "app/ControlWidget.h"
#include "app/MainWindow.h"
#include "app/MessageAsker.h"
#include "core/Constants.h"
#include "editors/ExampleWidget.h"
#include "editors/MapWidget.h"
#include "editors/RibbonMapWidget.h"
#include "editors/RuleEditorWidget.h"
#include "editors/RuleWidget.h"
#include "events/EventType.h"
#include "events/ReloadEvent.h"
#include "model/GlyphStore.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"
#include "views/events/EventWidget.h"
#include "views/events/RibbonEventWidget.h"

namespace rulefix {

// A leaf for the events of one kind ("WildCard" with a condition), or for
// items of a name when the kind is empty.
inline ParseNode* kindLeaf(const QString& kind, const QString& name = QStringLiteral("WildCard"))
{
    auto* leaf = new ParseNode(ParseNode::Leaf);
    leaf->glyph.name = name;
    if (!kind.isEmpty()) {
        auto* test = new ParseNode(ParseNode::Test);
        test->name = QStringLiteral("kind");
        test->op = ParseNode::Equal;
        test->value = TVariant(kind, false);
        leaf->glyph.condition = test;   // the leaf owns it
    }
    return leaf;
}

// The sequence of one leaf per letter of `kinds`.
inline ParseNode* kinds(const QString& kinds)
{
    auto* root = new ParseNode(ParseNode::And);
    for (QChar k : kinds)
        root->addChild(kindLeaf(QString(k)));
    return root;
}

inline ParseNode* rewrite(const QString& name, const QColor& fill = QColor(255, 0, 0), int id = 0)
{
    auto* leaf = new ParseNode(ParseNode::Leaf);
    leaf->glyph.name = name;
    leaf->glyph.label = name.toLower();
    leaf->glyph.fillColor = fill;
    leaf->glyph.edgeWidth = 1;
    leaf->glyph.id = id;
    auto* root = new ParseNode(ParseNode::And);
    root->addChild(leaf);
    return root;
}

// Rule `name`: the run of kinds `pre` becomes one glyph named `into`.
inline Rule rule(const QString& name, const QString& pre, const QString& into,
                 const QColor& fill = QColor(255, 0, 0))
{
    return Rule(name, kinds(pre), rewrite(into, fill), true, true);
}

inline QStringList names(const TList<Rule>& rules)
{
    QStringList out;
    for (const Rule& r : rules.items)
        out << r.name;
    return out;
}

inline QStringList lines(const TList<Rule>& rules)
{
    QStringList out;
    for (const Rule& r : rules.items)
        out << r.toString();
    return out;
}

inline QString dataPath(const QString& name)
{
    return QStringLiteral(LUMIVANE_TEST_DATA_DIR "/editors/rules/") + name;
}

inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Answers every message box with OK while it lives and keeps what was asked.
class Boxes
{
public:
    Boxes()
    {
        previous = MessageAsker::setHandler([this](const MessageAsker::Request& r) {
            requests.append(r);
            return QMessageBox::Ok;
        });
    }
    ~Boxes() { MessageAsker::setHandler(previous); }
    Boxes(const Boxes&) = delete;
    Boxes& operator=(const Boxes&) = delete;

    QStringList shown() const
    {
        QStringList out;
        for (const auto& r : requests)
            out << r.title + QStringLiteral(" / ") + r.text;
        return out;
    }

    QList<MessageAsker::Request> requests;

private:
    MessageAsker::Handler previous;
};

// Counts the reloads that reach a view, with their senders.
class ReloadCounter : public QObject
{
public:
    explicit ReloadCounter(QObject* view)
    {
        if (view)
            view->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (int(event->type()) == RELOADEVENT) {
            auto* reload = static_cast<ReloadEvent*>(event);
            senders.append(reload->sender);
            args.append(reload->args);
        }
        return false;
    }
    int count() const { return senders.size(); }
    void clear()
    {
        senders.clear();
        args.clear();
    }

    QList<QObject*> senders;
    QList<QList<QVariant>> args;
};

// The main window, whose left event matrix receives the reloads; the
// settings file it reads is made beforehand and removed afterwards.
class Window
{
public:
    Window()
        : madeSettings(!QFile::exists(SETTINGS_PATH))
    {
        if (madeSettings) {
            QFile f(SETTINGS_PATH);
            if (f.open(QIODevice::WriteOnly))
                f.write("/usr/bin/tshark\n/usr/bin/wireshark");
        }
        Boxes boxes;
        main = std::make_unique<MainWindow>();
        reloads = std::make_unique<ReloadCounter>(matrix());
    }
    ~Window()
    {
        reloads.reset();
        main.reset();
        if (madeSettings)
            QFile::remove(SETTINGS_PATH);
    }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    ControlWidget* control() const { return main->controlWidget; }
    GlyphStore* store() const { return main->controlWidget->glyphStore; }
    EventWidget* matrix() const { return main->leftEventRibbon->view; }

    bool madeSettings;
    std::unique_ptr<MainWindow> main;
    std::unique_ptr<ReloadCounter> reloads;
};

// The rule window as its openers build it: editor above table.
struct RuleWindow {
    explicit RuleWindow(ControlWidget* control)
        : editor(RuleEditorWidget::openWindow(control)), table(editor->ruleTable),
          window(editor->window())
    {
        window->resize(900, 600);
    }
    ~RuleWindow() { delete window.data(); }
    RuleWindow(const RuleWindow&) = delete;
    RuleWindow& operator=(const RuleWindow&) = delete;

    // A mouse click on the name cell of a row.
    void clickRow(int row)
    {
        QTableWidget* t = table->table;
        QTableWidgetItem* item = t->item(row, table->nameColumn);
        t->scrollToItem(item);
        QTest::mouseClick(t->viewport(), Qt::LeftButton, Qt::NoModifier,
                          t->visualItemRect(item).center());
    }
    QStringList tableNames() const
    {
        QStringList out;
        for (int row = 0; row < table->table->rowCount(); ++row) {
            QTableWidgetItem* item = table->table->item(row, table->nameColumn);
            out << (item ? item->text() : QString());
        }
        return out;
    }
    // Draws a precondition and a rewrite into the editors.
    void draw(ParseNode* pre, ParseNode* post)
    {
        editor->preEditor->map->setRoot(pre);
        editor->postEditor->map->setRoot(post);
    }

    RuleEditorWidget* editor;
    RuleWidget* table;
    QPointer<QWidget> window;
};

} // namespace rulefix
