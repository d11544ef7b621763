#pragma once

// Rules over the "kind" attribute; the main window counting the reloads
// its left event matrix receives; the rule window as its openers build it.

#include "../app/MessageRecorder.h"

#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

#include <memory>

#include "app/ControlWidget.h"
#include "app/MainWindow.h"
#include "core/Constants.h"
#include "editors/MapWidget.h"
#include "editors/RibbonMapWidget.h"
#include "editors/RuleEditorWidget.h"
#include "editors/RuleWidget.h"
#include "events/EventType.h"
#include "model/GlyphStore.h"
#include "patterns/ParseNode.h"
#include "views/events/EventWidget.h"
#include "views/events/RibbonEventWidget.h"

namespace rulefix {

// One "WildCard" leaf per letter, each for the events of that kind.
inline ParseNode* kinds(const QString& letters)
{
    auto* root = new ParseNode(ParseNode::And);
    for (QChar k : letters) {
        auto* test = new ParseNode(ParseNode::Test);
        test->name = QStringLiteral("kind");
        test->value = TVariant(QString(k), false);
        auto* leaf = new ParseNode(ParseNode::Leaf);
        leaf->glyph.name = QStringLiteral("WildCard");
        leaf->glyph.condition = test;
        root->addChild(leaf);
    }
    return root;
}

inline ParseNode* rewrite(const QString& name, const QColor& fill = Qt::red)
{
    auto* leaf = new ParseNode(ParseNode::Leaf);
    leaf->glyph.name = name;
    leaf->glyph.fillColor = fill;
    auto* root = new ParseNode(ParseNode::And);
    root->addChild(leaf);
    return root;
}

inline void addRules(GlyphStore* store, const QString& names)
{
    for (QChar n : names)
        store->rules.append(Rule(n, kinds(QString(n).toLower()), rewrite(n + QStringLiteral("x")), true, true));
}

inline QString names(const GlyphStore* store)
{
    QStringList out;
    for (const Rule& r : store->rules.items)
        out << r.name;
    return out.join(',');
}

// The main window (with a settings file while it lives), counting reloads.
struct Window : QObject {
    Window() : made(!QFile::exists(SETTINGS_PATH))
    {
        QFile f(SETTINGS_PATH);
        if (made && f.open(QIODevice::WriteOnly))
            f.write("/usr/bin/tshark\n/usr/bin/wireshark");
        MessageRecorder boxes;
        main = std::make_unique<MainWindow>();
        main->leftEventRibbon->view->installEventFilter(this);
    }
    ~Window() override
    {
        main.reset();
        if (made)
            QFile::remove(SETTINGS_PATH);
    }
    bool eventFilter(QObject*, QEvent* event) override
    {
        reloads += int(event->type()) == RELOADEVENT;
        return false;
    }
    ControlWidget* control() const { return main->controlWidget; }
    GlyphStore* store() const { return main->controlWidget->glyphStore; }

    bool made;
    std::unique_ptr<MainWindow> main;
    int reloads = 0;
};

// The rule window: editor above table.
struct RuleWindow {
    explicit RuleWindow(ControlWidget* control)
        : editor(RuleEditorWidget::openWindow(control)), table(editor->ruleTable->table),
          window(editor->window())
    {
        window->resize(900, 600);
    }
    ~RuleWindow() { delete window.data(); }

    void clickRow(int row)
    {
        table->scrollToItem(table->item(row, 0));
        QTest::mouseClick(table->viewport(), Qt::LeftButton, Qt::NoModifier,
                          table->visualItemRect(table->item(row, 0)).center());
    }
    void save(const QString& name, ParseNode* pre, ParseNode* post)
    {
        editor->preEditor->map->setRoot(pre);
        editor->postEditor->map->setRoot(post);
        editor->nameEdit->setText(name);
        QTest::mouseClick(editor->saveButton, Qt::LeftButton);
    }

    RuleEditorWidget* editor;
    QTableWidget* table;
    QPointer<QWidget> window;
};

} // namespace rulefix
