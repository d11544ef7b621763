#include "TestRegistry.h"
#include "DebugCapture.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "editors/EventCompleter.h"

namespace {

const QStringList NAMES = {"Login", "logout", "Read", "Write", "Bad login", "new"};

// A popup over NAMES run modally, as the pattern editor does; `action`
// runs in its loop (a guard ends a popup left open with -1).
struct Popup {
    explicit Popup(bool allowNew) : completer(glyphs(), nullptr, allowNew, nullptr) {}

    static TList<BinItem> glyphs()
    {
        TList<BinItem> out;
        for (const QString& name : NAMES) {
            BinItem g(nullptr, nullptr);
            g.name = name;
            out.append(g);
        }
        return out;
    }

    QStringList shown() const
    {
        QStringList out;
        for (int i = 0; i < completer.list->count(); ++i)
            out << completer.list->item(i)->text();
        return out;
    }

    int run(const std::function<void()>& action)
    {
        QTimer::singleShot(0, &completer, action);
        QTimer::singleShot(5000, &completer, [this]() { completer.done(-1); });
        return completer.exec();
    }

    EventCompleter completer;
};

} // namespace

class EventCompleterTest : public QObject
{
    Q_OBJECT

private slots:
    // Case-sensitive "contains"; "Add new..." first and filtered like the
    // rest; a click picks the glyph shown on that row.
    void filterAndPick_data()
    {
        QTest::addColumn<bool>("allowNew");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("row");
        QTest::newRow("everything") << false << QString() << NAMES << 2;
        QTest::newRow("add new first") << true << QString() << QStringList{"Add new..."} + NAMES << 0;
        QTest::newRow("lower login") << false << "login" << QStringList{"Bad login"} << 0;
        QTest::newRow("shared part") << false << "og" << QStringList{"Login", "logout", "Bad login"} << 2;
        QTest::newRow("other case") << false << "LOG" << QStringList() << -1;
        QTest::newRow("add new kept") << true << "e" << QStringList{"Add new...", "Read", "Write", "new"} << 1;
        QTest::newRow("add new dropped") << true << "Read" << QStringList{"Read"} << 0;
    }

    void filterAndPick()
    {
        QFETCH(bool, allowNew);
        QFETCH(QString, text);
        QFETCH(QStringList, expected);
        QFETCH(int, row);
        Popup popup(allowNew);
        QCOMPARE(popup.completer.list->iconSize(), QSize(40, 40));
        if (allowNew)
            QCOMPARE(popup.completer.glyphs[0].fillColor, QColor(Qt::white));
        popup.completer.searchEdit->setText(text);
        QCOMPARE(popup.shown(), expected);
        if (row < 0)
            return;
        const int code = popup.run([&]() {
            QListWidget* list = popup.completer.list;
            const QRect r = list->visualItemRect(list->item(row));
            QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
        });
        QCOMPARE(code, int(QDialog::Accepted));
        QCOMPARE(popup.completer.result, expected.at(row));
    }

    // Escape and "Close" reject; a press outside accepts with nothing
    // picked; Return, Enter and a press inside leave the popup open.
    void endings_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("code");
        QTest::newRow("escape") << "escape" << int(QDialog::Rejected);
        QTest::newRow("close") << "close" << int(QDialog::Rejected);
        QTest::newRow("press left of it") << "left" << int(QDialog::Accepted);
        QTest::newRow("press below it") << "below" << int(QDialog::Accepted);
        QTest::newRow("return, enter, inside") << "stay" << 7;
    }

    void endings()
    {
        QFETCH(QString, how);
        QFETCH(int, code);
        DebugCapture debug;
        debug.setForward(false);
        Popup popup(true);
        EventCompleter& c = popup.completer;
        const int ended = popup.run([&]() {
            if (how == QLatin1String("escape")) {
                QTest::keyClick(c.searchEdit, Qt::Key_Escape);
            } else if (how == QLatin1String("close")) {
                QTest::mouseClick(c.closeButton, Qt::LeftButton);
            } else if (how != QLatin1String("stay")) {
                const QPoint p = how == QLatin1String("left") ? QPoint(-3, 5) : QPoint(5, c.height() + 4);
                QTest::mousePress(&c, Qt::LeftButton, Qt::NoModifier, p);
            } else {
                c.searchEdit->setText(QStringLiteral("Read"));
                QTest::keyClick(c.searchEdit, Qt::Key_Return);
                QTest::keyClick(c.searchEdit, Qt::Key_Enter);
                QTest::mousePress(&c, Qt::LeftButton, Qt::NoModifier, QPoint(2, 2));
                if (c.isVisible())
                    c.done(7);
            }
        });
        QCOMPARE(ended, code);
        QVERIFY(c.result.isEmpty());
        QCOMPARE(debug.contains(QStringLiteral("close")), code == int(QDialog::Accepted));
    }
};

LUMIVANE_TEST(EventCompleterTest)
#include "EventCompleterTest.moc"
