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

TList<BinItem> glyphs()
{
    TList<BinItem> out;
    for (const QString& name : NAMES) {
        BinItem g(nullptr, nullptr);
        g.name = name;
        out.append(g);
    }
    return out;
}

QStringList shown(const EventCompleter& completer)
{
    QStringList out;
    for (int i = 0; i < completer.list->count(); ++i)
        out << completer.list->item(i)->text();
    return out;
}

// Runs the popup modally, as the pattern editor does; `action` runs in its
// loop and must end it (a guard ends it otherwise with -1).
int runModal(EventCompleter& completer, const std::function<void()>& action)
{
    QTimer::singleShot(0, &completer, action);
    QTimer::singleShot(5000, &completer, [&completer]() { completer.done(-1); });
    return completer.exec();
}

} // namespace

class EventCompleterTest : public QObject
{
    Q_OBJECT

private slots:
    // Case-sensitive "contains"; "Add new..." first and filtered like the rest.
    void filtering_data()
    {
        QTest::addColumn<bool>("allowNew");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("everything") << false << QString() << NAMES;
        QTest::newRow("add new first") << true << QString() << QStringList{"Add new..."} + NAMES;
        QTest::newRow("lower login") << false << "login" << QStringList{"Bad login"};
        QTest::newRow("upper Login") << false << "Login" << QStringList{"Login"};
        QTest::newRow("shared part") << false << "og" << QStringList{"Login", "logout", "Bad login"};
        QTest::newRow("other case") << false << "LOG" << QStringList();
        QTest::newRow("add new kept") << true << "new" << QStringList{"Add new...", "new"};
        QTest::newRow("add new dropped") << true << "Read" << QStringList{"Read"};
    }

    void filtering()
    {
        QFETCH(bool, allowNew);
        QFETCH(QString, text);
        QFETCH(QStringList, expected);
        EventCompleter completer(glyphs(), nullptr, allowNew, nullptr);
        QCOMPARE(completer.list->iconSize(), QSize(40, 40));
        QVERIFY(completer.result.isEmpty());
        if (allowNew)
            QCOMPARE(completer.glyphs[0].fillColor, QColor(Qt::white));
        completer.searchEdit->setText(text);
        QCOMPARE(completer.filter, text);
        QCOMPARE(shown(completer), expected);
    }

    // A pick names the glyph shown on the clicked row, not the one at that
    // position of the whole list.
    void pick_data()
    {
        QTest::addColumn<bool>("allowNew");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("picked");
        QTest::newRow("unfiltered") << false << QString() << 2 << "Read";
        QTest::newRow("filtered") << false << "og" << 2 << "Bad login";
        QTest::newRow("filtered, add new") << true << "e" << 1 << "Read";
        QTest::newRow("add new itself") << true << QString() << 0 << "Add new...";
    }

    void pick()
    {
        QFETCH(bool, allowNew);
        QFETCH(QString, text);
        QFETCH(int, row);
        QFETCH(QString, picked);
        EventCompleter completer(glyphs(), nullptr, allowNew, nullptr);
        const int code = runModal(completer, [&]() {
            completer.searchEdit->setText(text);
            const QRect r = completer.list->visualItemRect(completer.list->item(row));
            QTest::mouseClick(completer.list->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
        });
        QCOMPARE(code, int(QDialog::Accepted));
        QCOMPARE(completer.result, picked);
    }

    // Escape and "Close" reject; a press outside accepts, nothing picked;
    // Return, Enter and a press inside leave the popup open.
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
        EventCompleter completer(glyphs(), nullptr, true, nullptr);
        const int ended = runModal(completer, [&]() {
            if (how == QLatin1String("escape")) {
                QTest::keyClick(completer.searchEdit, Qt::Key_Escape);
            } else if (how == QLatin1String("close")) {
                QTest::mouseClick(completer.closeButton, Qt::LeftButton);
            } else if (how == QLatin1String("left")) {
                QTest::mousePress(&completer, Qt::LeftButton, Qt::NoModifier, QPoint(-3, 5));
            } else if (how == QLatin1String("below")) {
                QTest::mousePress(&completer, Qt::LeftButton, Qt::NoModifier,
                                  QPoint(5, completer.height() + 4));
            } else {
                completer.searchEdit->setText(QStringLiteral("Read"));
                QTest::keyClick(completer.searchEdit, Qt::Key_Return);
                QTest::keyClick(completer.searchEdit, Qt::Key_Enter);
                QTest::mousePress(&completer, Qt::LeftButton, Qt::NoModifier, QPoint(2, 2));
                if (completer.isVisible())
                    completer.done(7);
            }
        });
        QCOMPARE(ended, code);
        QVERIFY(completer.result.isEmpty());
        QCOMPARE(debug.contains(QStringLiteral("close")), code == int(QDialog::Accepted));
    }
};

LUMIVANE_TEST(EventCompleterTest)
#include "EventCompleterTest.moc"
