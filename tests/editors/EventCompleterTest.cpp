#include "TestRegistry.h"
#include "DebugCapture.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "editors/EventCompleter.h"

namespace {

TList<BinItem> glyphsNamed(const QStringList& names)
{
    TList<BinItem> glyphs;
    int id = 0;
    for (const QString& name : names) {
        BinItem g(nullptr, nullptr);
        g.name = name;
        g.id = ++id;
        glyphs.append(g);
    }
    return glyphs;
}

const QStringList NAMES = {QStringLiteral("Login"), QStringLiteral("logout"),
                           QStringLiteral("Read"), QStringLiteral("Write"),
                           QStringLiteral("Bad login"), QStringLiteral("new")};

QStringList shownNames(const EventCompleter& completer)
{
    QStringList out;
    for (int i = 0; i < completer.list->count(); ++i)
        out << completer.list->item(i)->text();
    return out;
}

// Runs the popup modally as the pattern editor does; `action` runs once
// the loop is up and must end the dialog.
int runModal(EventCompleter& completer, const std::function<void()>& action)
{
    QTimer::singleShot(0, &completer, action);
    // Safety net: a dialog that stays open fails the test instead of hanging.
    QTimer::singleShot(5000, &completer, [&completer]() { completer.done(-1); });
    return completer.exec();
}

} // namespace

class EventCompleterTest : public QObject
{
    Q_OBJECT

private slots:
    void construction()
    {
        EventCompleter completer(glyphsNamed(NAMES), nullptr, false, nullptr);
        QCOMPARE(shownNames(completer), NAMES);
        QCOMPARE(completer.list->iconSize(), QSize(40, 40));
        QCOMPARE(completer.list->selectionBehavior(), QAbstractItemView::SelectRows);
        QCOMPARE(completer.closeButton->text(), QStringLiteral("Close"));
        QVERIFY(completer.result.isEmpty());
        QVERIFY(completer.filter.isEmpty());
        QVERIFY(!completer.list->item(0)->icon().isNull());
        QVERIFY(completer.findChildren<QLabel*>().size() >= 1);
        QCOMPARE(completer.findChildren<QLabel*>().first()->text(), QStringLiteral("Search:"));
    }

    void addNewEntryFirst()
    {
        EventCompleter completer(glyphsNamed(NAMES), nullptr, true, nullptr);
        QCOMPARE(completer.glyphs.size(), NAMES.size() + 1);
        QCOMPARE(completer.glyphs[0].name, QStringLiteral("Add new..."));
        QCOMPARE(completer.glyphs[0].fillColor, QColor(Qt::white));
        QCOMPARE(shownNames(completer), QStringList{QStringLiteral("Add new...")} + NAMES);
    }

    // Case-sensitive "contains", the "Add new..." entry filtered like the rest.
    void filtering_data()
    {
        QTest::addColumn<bool>("allowNew");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("empty") << false << QString() << NAMES;
        QTest::newRow("lower login") << false << QStringLiteral("login")
                                     << QStringList{QStringLiteral("Bad login")};
        QTest::newRow("upper Login") << false << QStringLiteral("Login")
                                     << QStringList{QStringLiteral("Login")};
        QTest::newRow("shared part") << false << QStringLiteral("og")
                                     << QStringList{QStringLiteral("Login"), QStringLiteral("logout"),
                                                    QStringLiteral("Bad login")};
        QTest::newRow("nothing") << false << QStringLiteral("LOG") << QStringList();
        QTest::newRow("add new kept") << true << QStringLiteral("new")
                                      << QStringList{QStringLiteral("Add new..."), QStringLiteral("new")};
        QTest::newRow("add new dropped") << true << QStringLiteral("Read")
                                         << QStringList{QStringLiteral("Read")};
        QTest::newRow("add new by dots") << true << QStringLiteral("...")
                                         << QStringList{QStringLiteral("Add new...")};
    }

    void filtering()
    {
        QFETCH(bool, allowNew);
        QFETCH(QString, text);
        QFETCH(QStringList, shown);
        EventCompleter completer(glyphsNamed(NAMES), nullptr, allowNew, nullptr);
        completer.searchEdit->setText(text);
        QCOMPARE(completer.filter, text);
        QCOMPARE(shownNames(completer), shown);
        completer.searchEdit->clear();
        QCOMPARE(shownNames(completer).size(), NAMES.size() + (allowNew ? 1 : 0));
    }

    // A pick names the glyph on the clicked row under the current filter.
    void pickAfterFiltering_data()
    {
        QTest::addColumn<bool>("allowNew");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("picked");
        QTest::newRow("unfiltered") << false << QString() << 2 << QStringLiteral("Read");
        QTest::newRow("second of og") << false << QStringLiteral("og") << 1 << QStringLiteral("logout");
        QTest::newRow("third of og") << false << QStringLiteral("og") << 2 << QStringLiteral("Bad login");
        QTest::newRow("with add new") << true << QStringLiteral("e") << 1 << QStringLiteral("Read");
        QTest::newRow("add new itself") << true << QString() << 0 << QStringLiteral("Add new...");
    }

    void pickAfterFiltering()
    {
        QFETCH(bool, allowNew);
        QFETCH(QString, text);
        QFETCH(int, row);
        QFETCH(QString, picked);
        EventCompleter completer(glyphsNamed(NAMES), nullptr, allowNew, nullptr);
        const int code = runModal(completer, [&]() {
            completer.searchEdit->setText(text);
            QListWidgetItem* item = completer.list->item(row);
            QVERIFY(item);
            const QRect r = completer.list->visualItemRect(item);
            QTest::mouseClick(completer.list->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
        });
        QCOMPARE(code, int(QDialog::Accepted));
        QCOMPARE(completer.result, picked);
    }

    void rowWithoutGlyphRejects()
    {
        DebugCapture debug;
        debug.setForward(false);
        EventCompleter completer(glyphsNamed(NAMES), nullptr, false, nullptr);
        completer.searchEdit->setText(QStringLiteral("Read"));
        // An item that the filter no longer covers (a stale row).
        completer.list->addItem(new QListWidgetItem(QStringLiteral("extra")));
        completer.show();
        completer.unload(completer.list->item(1));
        QCOMPARE(completer.QDialog::result(), int(QDialog::Rejected));
        QVERIFY(completer.result.isEmpty());
        QVERIFY(debug.contains(QStringLiteral("item does not exist")));
    }

    void endings_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("closeLogged");
        QTest::newRow("escape") << QStringLiteral("escape") << int(QDialog::Rejected) << false;
        QTest::newRow("close button") << QStringLiteral("close") << int(QDialog::Rejected) << false;
        QTest::newRow("press left of it") << QStringLiteral("outside-left") << int(QDialog::Accepted) << true;
        QTest::newRow("press below it") << QStringLiteral("outside-below") << int(QDialog::Accepted) << true;
    }

    // Escape and "Close" reject; a press outside accepts with nothing picked.
    void endings()
    {
        QFETCH(QString, how);
        QFETCH(int, code);
        QFETCH(bool, closeLogged);
        DebugCapture debug;
        debug.setForward(false);
        EventCompleter completer(glyphsNamed(NAMES), nullptr, true, nullptr);
        const int ended = runModal(completer, [&]() {
            if (how == QLatin1String("escape")) {
                QTest::keyClick(completer.searchEdit, Qt::Key_Escape);
            } else if (how == QLatin1String("close")) {
                QTest::mouseClick(completer.closeButton, Qt::LeftButton);
            } else {
                const QPoint p = how == QLatin1String("outside-left")
                                     ? QPoint(-3, 5)
                                     : QPoint(5, completer.height() + 4);
                QTest::mousePress(&completer, Qt::LeftButton, Qt::NoModifier, p);
            }
        });
        QCOMPARE(ended, code);
        QVERIFY(completer.result.isEmpty());
        QCOMPARE(debug.contains(QStringLiteral("close")), closeLogged);
    }

    // Return, Enter and a press inside leave the popup open.
    void returnAndInsidePressKeepItOpen()
    {
        EventCompleter completer(glyphsNamed(NAMES), nullptr, false, nullptr);
        bool stillOpen = false;
        const int ended = runModal(completer, [&]() {
            completer.searchEdit->setText(QStringLiteral("Read"));
            QTest::keyClick(completer.searchEdit, Qt::Key_Return);
            QTest::keyClick(completer.searchEdit, Qt::Key_Enter);
            QTest::keyClick(&completer, Qt::Key_Return);
            QTest::mousePress(&completer, Qt::LeftButton, Qt::NoModifier, QPoint(2, 2));
            stillOpen = completer.isVisible();
            completer.done(7);
        });
        QVERIFY(stillOpen);
        QCOMPARE(ended, 7);
        QVERIFY(completer.result.isEmpty());
    }
};

LUMIVANE_TEST(EventCompleterTest)
#include "EventCompleterTest.moc"
