#include "TestRegistry.h"
#include "DebugCapture.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QCompleter>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QtTest>

#include "../app/MessageRecorder.h"
#include "GlyphFixture.h"
#include "PatternTrees.h"
#include "editors/MapWidget.h"
#include "editors/ModifierCompleter.h"
#include "editors/QueryWidget.h"
#include "editors/RibbonMapWidget.h"
#include "editors/SearchWidget.h"
#include "editors/TextEdit.h"
#include "model/GlyphStore.h"

using namespace trees;

namespace {

// A store with three event attributes.
struct QueryFixture : GlyphFixture {
    QueryFixture()
    {
        store()->setAttributes(TList<QString>{"ip.src", "len", "Length.total"}, TList<int>{3, 1, 1});
    }
};

QStringList completions(QCompleter* completer)
{
    QStringList out;
    for (int row = 0; row < completer->completionCount(); ++row) {
        completer->setCurrentRow(row);
        out << completer->currentCompletion();
    }
    return out;
}

} // namespace

class PatternDialogsTest : public QObject
{
    Q_OBJECT

private slots:
    void queryValidity_data();
    void queryValidity();
    void completionKinds_data();
    void completionKinds();
    void completionInsertsTheRestAndABlank();
    void repetitionBounds_data();
    void repetitionBounds();
    void searchWindowFreesItselfAndItsPattern();
};

void PatternDialogsTest::queryValidity_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::newRow("comparison") << "len > 3" << true;
    QTest::newRow("padded") << "  len > 3 && ip.src == \"a b\"  " << true;
    QTest::newRow("constant") << "true" << true;
    QTest::newRow("operator missing") << "len" << false;
    QTest::newRow("value missing") << "len >" << false;
    QTest::newRow("unbalanced") << "(len > 3" << false;
    QTest::newRow("closing only") << "len > 3)" << false;
    QTest::newRow("unknown attribute") << "size > 3" << false;
    QTest::newRow("not Latin-1") << QString::fromUtf8("長さ > 3") << false;
    QTest::newRow("empty") << "" << false;
}

void PatternDialogsTest::queryValidity()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QueryFixture f;
    QueryWidget query(&f.control, text);
    QCOMPARE(query.textEdit->styleSheet(),
             QStringLiteral("background-color: ") + (valid ? "rgb(128,255,128)" : "rgb(255,128,128)"));
    MessageRecorder boxes;
    query.show();
    query.isValid();
    if (valid) {
        QVERIFY(boxes.requests.isEmpty());
        QCOMPARE(query.result(), int(QDialog::Accepted));
        QVERIFY(!query.isVisible());
    } else {
        QCOMPARE(boxes.requests.size(), 1);
        QCOMPARE(boxes.requests.first().title, QStringLiteral("Filter by query"));
        QCOMPARE(boxes.requests.first().text, QStringLiteral("The proposed query is invalid"));
        QCOMPARE(boxes.requests.first().icon, QMessageBox::Warning);
        QVERIFY(query.isVisible());
    }
}

void PatternDialogsTest::completionKinds_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QStringList>("offered");
    QTest::newRow("first letter") << "l" << 1 << QStringList{"len", "Length.total"};
    QTest::newRow("capital prefix") << "LE" << 1 << QStringList{"len", "Length.total"};
    QTest::newRow("after an attribute") << "len " << 2
        << QStringList{"==", "!=", "<", ">", "<=", ">=", "?=", "!?=", "?\?="};
    QTest::newRow("operator begun") << "len !" << 2 << QStringList{"!=", "!?="};
    QTest::newRow("value without a matrix") << "len > " << 3 << QStringList{};
    QTest::newRow("open group") << "(len > 3 " << 4 << QStringList{")"};
    QTest::newRow("marks dropped") << "len > 3 && !(i" << 1 << QStringList{"ip.src"};
    QTest::newRow("complete") << "len > 3" << 0 << QStringList{};
}

void PatternDialogsTest::completionKinds()
{
    QFETCH(QString, typed);
    QFETCH(int, kind);
    QFETCH(QStringList, offered);
    QueryFixture f;
    QueryWidget query(&f.control, QString());
    query.show();
    QTest::keyClicks(query.textEdit, typed);
    QCOMPARE(query.lastKind, kind);
    QCOMPARE(completions(query.completer), offered);
    QCOMPARE(query.textEdit->completer(), query.completer);
    QCOMPARE(query.completer->widget(), query.textEdit);
    QCOMPARE(query.completer->completionMode(), QCompleter::PopupCompletion);
    QAbstractItemView* popup = query.completer->popup();
    QCOMPARE(popup->isVisible(), !offered.isEmpty());
    if (!offered.isEmpty())
        QCOMPARE(popup->currentIndex().row(), 0);
    popup->hide();
}

void PatternDialogsTest::completionInsertsTheRestAndABlank()
{
    QueryFixture f;
    QueryWidget query(&f.control, QString());
    query.show();
    QTest::keyClicks(query.textEdit, QStringLiteral("len > 3 && ip"));
    QCOMPARE(query.completer->completionPrefix(), QStringLiteral("ip"));
    emit query.completer->activated(QStringLiteral("ip.src"));
    QCOMPARE(query.textEdit->toPlainText(), QStringLiteral("len > 3 && ip.src "));
    QCOMPARE(query.lastKind, 2);
    query.completer->popup()->hide();
    // A completer bound to another widget inserts nothing.
    QLineEdit other;
    query.completer->setWidget(&other);
    query.textEdit->insertCompletion(QStringLiteral("=="));
    QCOMPARE(query.textEdit->toPlainText(), QStringLiteral("len > 3 && ip.src "));
}

void PatternDialogsTest::repetitionBounds_data()
{
    QTest::addColumn<int>("profile");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("end");
    QTest::addColumn<bool>("infinite");    // click the box in Custom
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("min");
    QTest::addColumn<int>("max");
    QTest::newRow("star") << 0 << "" << "" << false << true << 0 << -1;
    QTest::newRow("plus") << 1 << "" << "" << false << true << 1 << -1;
    QTest::newRow("custom 2..5") << 2 << "2" << "5" << false << true << 2 << 5;
    QTest::newRow("custom 0..1") << 2 << "0" << "1" << false << true << 0 << 1;
    QTest::newRow("custom 3..3") << 2 << "3" << "3" << false << false << 0 << 0;
    QTest::newRow("custom 0..0") << 2 << "0" << "0" << false << false << 0 << 0;
    QTest::newRow("custom 5..2") << 2 << "5" << "2" << false << false << 0 << 0;
    QTest::newRow("custom no end") << 2 << "2" << "" << false << false << 0 << 0;
    QTest::newRow("custom out of range") << 2 << "150" << "200" << false << false << 0 << 0;
    QTest::newRow("custom infinite") << 2 << "4" << "" << true << true << 4 << -1;
    QTest::newRow("custom infinite, no start") << 2 << "" << "" << true << false << 0 << 0;
}

void PatternDialogsTest::repetitionBounds()
{
    QFETCH(int, profile);
    QFETCH(QString, start);
    QFETCH(QString, end);
    QFETCH(bool, infinite);
    QFETCH(bool, ok);
    QFETCH(int, min);
    QFETCH(int, max);
    ModifierCompleter dialog(nullptr);
    // The Star profile to begin with.
    QCOMPARE(dialog.startEdit->text(), QStringLiteral("0"));
    QCOMPARE(dialog.endEdit->text(), QStringLiteral("*"));
    QVERIFY(!dialog.startEdit->isEnabled());
    QVERIFY(!dialog.endEdit->isEnabled());
    QVERIFY(dialog.infiniteBox->isChecked());
    QVERIFY(dialog.okButton->isEnabled());

    dialog.show();
    dialog.profileCombo->setCurrentIndex(profile);
    if (profile == 2) {
        QVERIFY(dialog.startEdit->text().isEmpty());
        QVERIFY(dialog.endEdit->isEnabled());
        QVERIFY(!dialog.infiniteBox->isChecked());
        QTest::keyClicks(dialog.startEdit, start);
        QTest::keyClicks(dialog.endEdit, end);
        if (infinite) {
            QTest::mouseClick(dialog.infiniteBox, Qt::LeftButton);
            QCOMPARE(dialog.endEdit->text(), QStringLiteral("*"));
            QVERIFY(!dialog.endEdit->isEnabled());
        }
    }
    QCOMPARE(dialog.okButton->isEnabled(), ok);
    if (!ok)
        return;
    QTest::mouseClick(dialog.okButton, Qt::LeftButton);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.min, min);
    QCOMPARE(dialog.max, max);
}

void PatternDialogsTest::searchWindowFreesItselfAndItsPattern()
{
    // Without an event matrix the pattern is kept and the window closes;
    // the next find frees the last pattern, closing frees the window.
    GlyphFixture f;
    QPointer<SearchWidget> search = new SearchWidget(&f.control);
    search->show();
    search->editor->map->setRoot(tree("seq(A)"));
    search->findRule();
    search->findRule();
    QCOMPARE(shape(search->pattern), QStringLiteral("seq(A)"));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(search.isNull());
    search = new SearchWidget(&f.control);
    search->show();
    QTest::mouseClick(search->cancelButton, Qt::LeftButton);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(search.isNull());
}

LUMIVANE_TEST(PatternDialogsTest)
#include "PatternDialogsTest.moc"
