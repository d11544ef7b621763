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
#include "app/MatchIcon.h"
#include "editors/RuleListWidget.h"

using namespace rulefix;

namespace {

// A rule list over rules A, B, C, D that records its drags instead of
// running them, and whose drops come from the object a test names (no
// drag runs, so the drag manager knows no source).
class List : public RuleListWidget
{
public:
    explicit List(ControlWidget* control) : RuleListWidget(control, nullptr)
    {
        addRules(control->glyphStore, "ABCD");
        resize(400, 400);
        refreshRules();
        show();
    }
    void execDrag(QDrag* drag) override
    {
        QByteArray bytes = drag->mimeData()->data(MIME_TYPE);
        QDataStream in(&bytes, QIODevice::ReadOnly);
        qint32 row;
        in >> row;
        dragged << row;
        delete drag;
    }
    QObject* dragSource(const QDropEvent*) const override { return source; }

    // A drop of `row`'s payload at a point, from `from`; whether it was taken.
    bool drop(int row, const QPoint& at, QObject* from)
    {
        source = from;
        QByteArray bytes;
        QDataStream(&bytes, QIODevice::WriteOnly) << qint32(row);
        QMimeData data;
        data.setData(MIME_TYPE, bytes);
        QDropEvent event(at, Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
        event.setAccepted(false);
        dropEvent(&event);
        return event.isAccepted();
    }
    QPoint centre(int row) const { return visualItemRect(item(row)).center(); }
    template <typename T>
    T* part(int row) const { return itemWidget(item(row))->findChild<T*>(); }
    void move(const QPoint& at, Qt::MouseButtons buttons)
    {
        QMouseEvent e(QEvent::MouseMove, at, Qt::NoButton, buttons, Qt::NoModifier);
        QApplication::sendEvent(viewport(), &e);
    }

    QList<int> dragged;
    QObject* source = nullptr;
};

} // namespace

// The side panel's rule list: switches, reordering by drag and drop, the
// double click into the editor.
class RuleListTest : public QObject
{
    Q_OBJECT

private slots:
    // A row shows its rule looked up by name; a click on the match toggle or
    // the box changes that rule and sends one reload; a row that no longer
    // stands for its rule changes nothing.
    void switches()
    {
        Window w;
        List list(w.control());
        w.store()->rules[1].name = "A";
        w.store()->rules[1].match = false;
        w.store()->rules[1].visible = false;
        list.refreshRules();
        QVERIFY(list.part<IconToggleWidget>(1)->icon->match);
        QVERIFY(!list.part<QCheckBox>(1)->isChecked());
        QCOMPARE(list.item(1)->toolTip(), w.store()->rules[0].displayText());
        QVERIFY(!(list.item(0)->flags() & Qt::ItemIsSelectable));

        QTest::mouseClick(list.part<IconToggleWidget>(2), Qt::LeftButton);
        QVERIFY(!w.store()->rules[2].match);
        QTest::mouseClick(list.part<QCheckBox>(3), Qt::LeftButton);
        QVERIFY(!w.store()->rules[3].visible);
        QCOMPARE(w.reloads, 2);

        w.store()->rules.items.erase(w.store()->rules.items.begin());
        QTest::mouseClick(list.part<QCheckBox>(2), Qt::LeftButton);
        QVERIFY(w.store()->rules[1].visible);
        QCOMPARE(w.reloads, 2);
        QCOMPARE(list.count(), 3);
    }

    // The dragged rule takes the index of the row it is dropped on, or the
    // last place below the rows; A never moves and nothing lands on it;
    // payloads not from the list or of rows it lacks are refused.
    void reorder_data()
    {
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("onto");   // -1: below the rows
        QTest::addColumn<bool>("own");
        QTest::addColumn<QString>("order");
        QTest::newRow("B onto D") << 1 << 3 << true << "ACDB";
        QTest::newRow("D onto B") << 3 << 1 << true << "ADBC";
        QTest::newRow("C below the last") << 2 << -1 << true << "ABDC";
        QTest::newRow("A onto C") << 0 << 2 << true << "ABCD";
        QTest::newRow("C onto A") << 2 << 0 << true << "ABCD";
        QTest::newRow("foreign payload") << 2 << 1 << false << "ABCD";
        QTest::newRow("no such row") << 9 << 1 << true << "ABCD";
    }
    void reorder()
    {
        QFETCH(int, from);
        QFETCH(int, onto);
        QFETCH(bool, own);
        QFETCH(QString, order);
        Window w;
        List list(w.control());
        QWidget other;
        DebugCapture debug;
        debug.setForward(false);
        const QPoint at = onto < 0 ? list.centre(3) + QPoint(0, 100) : list.centre(onto);
        QCOMPARE(list.drop(from, at, own ? &list : &other), own && from < 4);
        QCOMPARE(names(w.store()).remove(','), order);
        QCOMPARE(w.reloads, order == "ABCD" ? 0 : 1);
        QCOMPARE(list.part<QLabel>(3)->text(), order.right(1));
        QCOMPARE(debug.contains("still in list"), onto < 0);
    }

    // A drag starts at the first move with the button down and a current
    // item, and not again after it ended.
    void dragStart()
    {
        ControlWidget control(nullptr);
        List list(&control);
        const QPoint below = list.centre(3) + QPoint(0, 100);
        QTest::mousePress(list.viewport(), Qt::LeftButton, Qt::NoModifier, below);
        list.move(below + QPoint(1, 1), Qt::LeftButton);
        QTest::mouseRelease(list.viewport(), Qt::LeftButton, Qt::NoModifier, below);
        QVERIFY(list.dragged.isEmpty());
        QTest::mousePress(list.viewport(), Qt::LeftButton, Qt::NoModifier, list.centre(1));
        list.move(list.centre(1) + QPoint(1, 0), Qt::LeftButton);
        list.move(list.centre(1) + QPoint(2, 0), Qt::NoButton);
        QCOMPARE(list.dragged, QList<int>{1});
    }

    // A double click opens the rule in an editor whose table has its row
    // current: "save" replaces it.
    void doubleClick()
    {
        Window w;
        List list(w.control());
        const QWidgetList before = QApplication::topLevelWidgets();
        QTest::mouseClick(list.viewport(), Qt::LeftButton, Qt::NoModifier, list.centre(2));
        QTest::mouseDClick(list.viewport(), Qt::LeftButton, Qt::NoModifier, list.centre(2));
        RuleEditorWidget* editor = nullptr;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (!before.contains(top) && top->findChild<RuleEditorWidget*>())
                editor = top->findChild<RuleEditorWidget*>();
        QVERIFY(editor);
        QScopedPointer<QWidget> window(editor->window());
        QCOMPARE(editor->nameEdit->text(), QStringLiteral("C"));
        QCOMPARE(editor->ruleTable->currentRow(), 2);
        editor->preEditor->map->setRoot(kinds("cc"));
        QTest::mouseClick(editor->saveButton, Qt::LeftButton);
        QCOMPARE(names(w.store()), QStringLiteral("A,B,C,D"));
        QCOMPARE(w.store()->rules[2].pre->children.size(), 2);
    }
};

LUMIVANE_TEST(RuleListTest)
#include "RuleListTest.moc"
