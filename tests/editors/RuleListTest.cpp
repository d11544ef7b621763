#include "TestRegistry.h"
#include "DebugCapture.h"
#include "RuleFixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QDataStream>
#include <QDrag>
#include <QLabel>
#include <QMimeData>

#include "app/IconToggleWidget.h"
#include "app/IconWidget.h"
#include "app/MatchIcon.h"
#include "app/SettingsWidget.h"
#include "editors/RuleListWidget.h"

using namespace rulefix;

namespace {

// A list whose drags are recorded instead of run, and whose drops come
// from the object the test names (the drag manager knows no source while
// no drag runs).
class RecordingList : public RuleListWidget
{
public:
    using RuleListWidget::RuleListWidget;

    QObject* dragSource(const QDropEvent*) const override { return source; }

    // Delivers a drop of `row`'s payload at a point of the viewport, as
    // coming from `from`; whether the list took it.
    bool dropRow(int row, const QPoint& at, QObject* from)
    {
        source = from;
        QByteArray bytes;
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out << qint32(row);
        QMimeData data;
        data.setData(RuleListWidget::MIME_TYPE, bytes);
        QDropEvent event(at, Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
        event.setAccepted(false);
        dropEvent(&event);
        return event.isAccepted();
    }

    // Whether a drag of the list's type entering from `from` is taken.
    bool takesDrag(QObject* from)
    {
        source = from;
        QMimeData data;
        data.setData(RuleListWidget::MIME_TYPE, QByteArray(4, '\0'));
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        enter.setAccepted(false);
        dragEnterEvent(&enter);
        QDragMoveEvent move(QPoint(6, 6), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton,
                            Qt::NoModifier);
        move.setAccepted(false);
        dragMoveEvent(&move);
        return enter.isAccepted() && enter.dropAction() == Qt::MoveAction && move.isAccepted()
               && move.dropAction() == Qt::MoveAction;
    }

    void execDrag(QDrag* drag) override
    {
        QByteArray bytes = drag->mimeData()->data(RuleListWidget::MIME_TYPE);
        QDataStream in(&bytes, QIODevice::ReadOnly);
        qint32 row = -1;
        in >> row;
        rows << row;
        pixmaps << drag->pixmap().size();
        hotSpots << drag->hotSpot();
        delete drag;
    }

    QList<int> rows;
    QList<QSize> pixmaps;
    QList<QPoint> hotSpots;
    QObject* source = nullptr;
};

QWidget* container(QListWidget& list, int row)
{
    return list.itemWidget(list.item(row));
}

template <typename T>
T* part(QListWidget& list, int row)
{
    return container(list, row)->findChild<T*>(QString(), Qt::FindDirectChildrenOnly);
}

QPoint centre(QListWidget& list, int row)
{
    return list.visualItemRect(list.item(row)).center();
}

} // namespace

// The side panel's rule list: its rows, the match and visibility switches,
// the reordering by drag and drop and the double click into the editor.
class RuleListTest : public QObject
{
    Q_OBJECT

private slots:
    void rows()
    {
        ControlWidget control(nullptr);
        control.glyphStore->rules.append(rule("A", "ab", "X"));
        control.glyphStore->rules.append(rule("B", "b", "Y"));
        control.glyphStore->rules[1].match = false;
        control.glyphStore->rules[1].visible = false;
        RuleListWidget list(&control, nullptr);
        list.refreshRules();
        QCOMPARE(list.count(), 2);
        QCOMPARE(list.sizeHint(), QSize(100, 400));
        QCOMPARE(list.palette().color(QPalette::Inactive, QPalette::Base), QColor(Qt::white));
        for (int row = 0; row < 2; ++row) {
            const Rule& r = control.glyphStore->rules[row];
            QListWidgetItem* item = list.item(row);
            QCOMPARE(item->toolTip(), r.displayText());
            QCOMPARE(item->flags(), Qt::ItemIsEditable | Qt::ItemIsDragEnabled | Qt::ItemIsDropEnabled
                                        | Qt::ItemIsUserCheckable | Qt::ItemIsEnabled);
            QCOMPARE(list.rowMap.value(container(list, row), -1), row);
            auto* toggle = part<IconToggleWidget>(list, row);
            QCOMPARE(toggle->size(), QSize(33, 22));
            QCOMPARE(toggle->icon->match, r.match);
            QVERIFY(!toggle->icon->isVisible());
            QCOMPARE(part<QCheckBox>(list, row)->isChecked(), r.visible);
            QCOMPARE(part<QCheckBox>(list, row)->text(), QString());
            QCOMPARE(part<IconWidget>(list, row)->size(), QSize(200, 45));
            QCOMPARE(part<QLabel>(list, row)->text(), r.name);
            QCOMPARE(item->sizeHint(), container(list, row)->sizeHint());
            QVERIFY(!(item->flags() & Qt::ItemIsSelectable));
        }
        QCOMPARE(list.item(0)->toolTip(), QStringLiteral("WildCard[kind == a].WildCard[kind == b] --> X"));
    }

    // Rows look their rule up by name: the second of two rules of one name
    // shows the first one's match flag and tool tip, but its own box.
    void sameName()
    {
        ControlWidget control(nullptr);
        control.glyphStore->rules.append(rule("A", "a", "X"));
        control.glyphStore->rules.append(rule("A", "bb", "Y"));
        control.glyphStore->rules[1].match = false;
        control.glyphStore->rules[1].visible = false;
        RuleListWidget list(&control, nullptr);
        list.refreshRules();
        QVERIFY(part<IconToggleWidget>(list, 1)->icon->match);
        QCOMPARE(list.item(1)->toolTip(), list.item(0)->toolTip());
        QVERIFY(part<QCheckBox>(list, 0)->isChecked());
        QVERIFY(!part<QCheckBox>(list, 1)->isChecked());
    }

    // A click on a match toggle or a box changes that rule in the store and
    // sends one reload; a row that no longer stands for its rule changes
    // nothing and the list is rebuilt.
    void switches()
    {
        Window w;
        w.store()->rules.append(rule("A", "a", "X"));
        w.store()->rules.append(rule("B", "b", "Y"));
        RuleListWidget& list = *w.main->settingsWidget->ruleList;
        list.refreshRules();
        w.main->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.main.get()));

        QTest::mouseClick(part<IconToggleWidget>(list, 1), Qt::LeftButton);
        QVERIFY(!w.store()->rules[1].match && w.store()->rules[0].match);
        QCOMPARE(w.reloads->count(), 1);
        QCOMPARE(w.reloads->senders[0], static_cast<QObject*>(&list));
        QVERIFY(w.reloads->args[0].isEmpty());

        list.refreshRules();
        QTest::mouseClick(part<QCheckBox>(list, 0), Qt::LeftButton);
        QVERIFY(!w.store()->rules[0].visible && w.store()->rules[1].visible);
        QCOMPARE(w.reloads->count(), 2);
        QTest::mouseClick(part<QCheckBox>(list, 0), Qt::LeftButton);
        QVERIFY(w.store()->rules[0].visible);
        QCOMPARE(w.reloads->count(), 3);

        // The store lost its first rule behind the list's back.
        w.store()->rules.items.erase(w.store()->rules.items.begin());
        DebugCapture debug;
        debug.setForward(false);
        QTest::mouseClick(part<QCheckBox>(list, 1), Qt::LeftButton);
        QVERIFY(w.store()->rules[0].visible);
        QCOMPARE(w.reloads->count(), 3);
        QCOMPARE(list.count(), 1);
        QVERIFY(debug.contains(QStringLiteral("rule list out of date: visibility not changed")));
    }

    // A, B, C, D: the dragged rule takes the index of the row it is dropped
    // on, or the last place below the rows; A never moves and nothing is
    // dropped onto it.
    void reorder_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("onto");   // -1: below the last row
        QTest::addColumn<QStringList>("order");
        QTest::addColumn<int>("reloads");
        QTest::newRow("B onto D") << 1 << 3 << QStringList{"A", "C", "D", "B"} << 1;
        QTest::newRow("D onto B") << 3 << 1 << QStringList{"A", "D", "B", "C"} << 1;
        QTest::newRow("C below the last") << 2 << -1 << QStringList{"A", "B", "D", "C"} << 1;
        QTest::newRow("A onto C") << 0 << 2 << QStringList{"A", "B", "C", "D"} << 0;
        QTest::newRow("C onto A") << 2 << 0 << QStringList{"A", "B", "C", "D"} << 0;
        QTest::newRow("B onto B") << 1 << 1 << QStringList{"A", "B", "C", "D"} << 1;
    }
    void reorder()
    {
        QFETCH(int, from);
        QFETCH(int, onto);
        QFETCH(QStringList, order);
        QFETCH(int, reloads);
        Window w;
        for (const char* name : {"A", "B", "C", "D"})
            w.store()->rules.append(rule(name, QString(name).toLower(), QString(name) + "x"));
        RecordingList list(w.control(), nullptr);
        list.resize(400, 400);
        list.refreshRules();
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));
        QVERIFY(list.viewport()->height() > list.visualItemRect(list.item(3)).bottom() + 10);

        DebugCapture debug;
        debug.setForward(false);
        const QPoint at = onto < 0 ? QPoint(20, list.visualItemRect(list.item(3)).bottom() + 5)
                                   : centre(list, onto);
        QVERIFY(list.dropRow(from, at, &list));
        QCOMPARE(names(w.store()->rules), order);
        QCOMPARE(w.reloads->count(), reloads);
        QCOMPARE(debug.contains(QStringLiteral("still in list")), onto < 0);
        QStringList shown;
        for (int row = 0; row < list.count(); ++row)
            shown << part<QLabel>(list, row)->text();
        QCOMPARE(shown, order);
    }

    // Drops whose payload is not this list's own row are refused.
    void foreignDrops_data()
    {
        QTest::addColumn<bool>("fromList");
        QTest::addColumn<int>("row");
        QTest::newRow("another widget's payload") << false << 2;
        QTest::newRow("a row the list does not have") << true << 99;
        QTest::newRow("a negative row") << true << -5;
    }
    void foreignDrops()
    {
        QFETCH(bool, fromList);
        QFETCH(int, row);
        Window w;
        for (const char* name : {"A", "B", "C"})
            w.store()->rules.append(rule(name, QString(name).toLower(), QString(name) + "x"));
        RecordingList list(w.control(), nullptr);
        list.refreshRules();
        DebugCapture debug;
        debug.setForward(false);
        QWidget other;
        QVERIFY(!list.dropRow(row, centre(list, 1), fromList ? &list : &other));
        QCOMPARE(list.takesDrag(fromList ? &list : &other), fromList);
        QCOMPARE(names(w.store()->rules), QStringList({"A", "B", "C"}));
        QCOMPARE(w.reloads->count(), 0);
    }

    // A drag starts at the first move with the button down and a current
    // item, carrying the row and the rule's picture; never without a
    // current item, nor after the press has ended.
    void dragStart()
    {
        ControlWidget control(nullptr);
        for (const char* name : {"A", "B", "C"})
            control.glyphStore->rules.append(rule(name, QString(name).toLower(), QString(name) + "x"));
        RecordingList list(&control, nullptr);
        list.resize(400, 400);
        list.refreshRules();
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));

        const QPoint below(20, list.visualItemRect(list.item(2)).bottom() + 20);
        QTest::mousePress(list.viewport(), Qt::LeftButton, Qt::NoModifier, below);
        QVERIFY(!list.currentItem());
        QMouseEvent move(QEvent::MouseMove, below + QPoint(1, 1), Qt::NoButton, Qt::LeftButton,
                         Qt::NoModifier);
        QApplication::sendEvent(list.viewport(), &move);
        QTest::mouseRelease(list.viewport(), Qt::LeftButton, Qt::NoModifier, below);
        QVERIFY(list.rows.isEmpty());

        QTest::mousePress(list.viewport(), Qt::LeftButton, Qt::NoModifier, centre(list, 1));
        QCOMPARE(list.currentRow(), 1);
        QMouseEvent first(QEvent::MouseMove, centre(list, 1) + QPoint(1, 0), Qt::NoButton,
                          Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(list.viewport(), &first);
        QCOMPARE(list.rows, QList<int>{1});
        QCOMPARE(list.pixmaps, QList<QSize>{QSize(200, 45)});
        QCOMPARE(list.hotSpots, QList<QPoint>{QPoint(100, 22)});
        // The drag took the release: later moves start nothing.
        QMouseEvent later(QEvent::MouseMove, centre(list, 1) + QPoint(2, 0), Qt::NoButton,
                          Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(list.viewport(), &later);
        QCOMPARE(list.rows.size(), 1);
    }

    // A double click opens the rule in an editor whose table has that
    // rule's row current: "save" replaces it.
    void doubleClick()
    {
        Window w;
        for (const char* name : {"A", "B", "C"})
            w.store()->rules.append(rule(name, QString(name).toLower(), QString(name) + "x"));
        RuleListWidget list(w.control(), nullptr);
        list.resize(400, 400);
        list.refreshRules();
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));
        const QWidgetList before = QApplication::topLevelWidgets();
        DebugCapture debug;
        debug.setForward(false);
        QTest::mouseClick(list.viewport(), Qt::LeftButton, Qt::NoModifier, centre(list, 2));
        QTest::mouseDClick(list.viewport(), Qt::LeftButton, Qt::NoModifier, centre(list, 2));
        QVERIFY(debug.contains(QStringLiteral("doubleclick")));
        RuleEditorWidget* editor = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (!before.contains(top) && top->findChild<RuleEditorWidget*>())
                editor = top->findChild<RuleEditorWidget*>();
        QVERIFY(editor);
        QScopedPointer<QWidget> window(editor->window());
        QVERIFY(window->isVisible() && window->testAttribute(Qt::WA_DeleteOnClose));
        QCOMPARE(editor->nameEdit->text(), QStringLiteral("C"));
        QVERIFY(editor->editing);
        QCOMPARE(editor->ruleTable->currentRow(), 2);
        editor->preEditor->map->setRoot(kinds(QStringLiteral("cc")));
        QTest::mouseClick(editor->saveButton, Qt::LeftButton);
        QCOMPARE(names(w.store()->rules), QStringList({"A", "B", "C"}));
        QCOMPARE(w.store()->rules[2].pre->children.size(), 2);
    }
};

LUMIVANE_TEST(RuleListTest)
#include "RuleListTest.moc"
