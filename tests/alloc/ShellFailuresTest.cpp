#include "FailingNew.h"
#include "PaintSweep.h"
#include "Restore.h"
#include "Sweep.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"

#include "app/AppGlobals.h"
#include "app/Bar.h"
#include "app/ControlWidget.h"
#include "app/FileAsker.h"
#include "app/HeaderWidget.h"
#include "app/IconToggleWidget.h"
#include "app/IconWidget.h"
#include "app/MainWindow.h"
#include "app/MatchIcon.h"
#include "app/MessageAsker.h"
#include "app/NavigationWidget.h"
#include "app/TextInputWidget.h"
#include "core/Constants.h"
#include "core/Packet.h"
#include "events/ContextEvent.h"
#include "import/OpenWidget.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "views/events/EventWidget.h"
#include "views/events/RibbonEventWidget.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <memory>

// The application shell's actions with each allocation failing in turn,
// entered as the user does: "Save as selection.." in the event matrix's
// menu under a saved selection (the context tree walked after every point),
// choosing a log in the import dialog, and the paints of the small widgets.
// Each point lets nothing escape, either completes as an action that never
// failed or leaves everything as it was with one message naming memory,
// and the action done again then completes as one that never failed.

namespace {

using Packets = TList<QSharedPointer<Packet>>;

// Keeps every box while it lives; answers OK.
struct Boxes
{
    Boxes()
    {
        previous = MessageAsker::setHandler([this](const MessageAsker::Request& r) {
            shown.append(r);
            return QMessageBox::Ok;
        });
    }
    ~Boxes() { MessageAsker::setHandler(previous); }
    QString text() const
    {
        QStringList out;
        for (const MessageAsker::Request& r : shown)
            out << r.title + QStringLiteral(": ") + r.text;
        return out.join(QLatin1String(" / "));
    }
    QList<MessageAsker::Request> shown;
    MessageAsker::Handler previous;
};

// At most one box, and one that names memory.
bool toldOnce(const Boxes& boxes)
{
    return boxes.shown.size() == 1 && boxes.shown.first().text.contains(QLatin1String("ran out of memory"));
}

// ---------------------------------------------------------------------------
// Save as selection

const TList<QString> NAMES = {"frame.time_epoch", "ip.src", "ip.dst", "frame.len"};
const TList<int> KINDS = {1, 3, 3, 1};

Packets makeEvents(int n)
{
    Packets events;
    for (int i = 0; i < n; ++i) {
        auto event = QSharedPointer<Packet>::create(TList<TVariant>{
            TVariant(1000 + 7 * i), TVariant(QStringLiteral("10.0.0.%1").arg(i % 5)),
            TVariant(QStringLiteral("10.0.1.%1").arg(i % 3)), TVariant(60 + i % 4)});
        event->conversationId = i % 6;
        events.append(event);
    }
    return events;
}

QString histogramText(const THash<TVariant, int>& hist)
{
    QStringList counts;
    for (auto it = hist.constBegin(); it != hist.constEnd(); ++it)
        counts << it.key().toString() + QLatin1Char('=') + QString::number(it.value());
    std::sort(counts.begin(), counts.end());
    return counts.join(QLatin1Char(' '));
}

// The context tree from the root, every field a view reads, each child's
// link to its parent; the store's event attributes and every event's
// columns; the rows of the context tree, each naming a context of the tree.
QStringList treeText(MainWindow& w)
{
    QStringList out;
    GlyphStore* store = w.controlWidget->glyphStore;
    Context* root = store->rootContext;
    QSet<Context*> inTree;
    QList<QPair<Context*, int>> stack{{root, 0}};
    while (!stack.isEmpty()) {
        const QPair<Context*, int> next = stack.takeLast();
        Context* c = next.first;
        inTree.insert(c);
        QString line = QString(next.second, QLatin1Char(' ')) + c->name
                       + QStringLiteral(" %1 events, %2 traces, %3 histograms%4")
                             .arg(c->packets.size())
                             .arg(c->conversations.size())
                             .arg(c->histograms.size())
                             .arg(c->modified ? QStringLiteral(" modified") : QString());
        if (!c->histograms.isEmpty())
            line += QStringLiteral(" last: ") + histogramText(c->histograms.last());
        out << line;
        for (int i = c->children.size() - 1; i >= 0; --i) {
            Context* child = c->children.at(i);
            if (child->parent != c)
                out << QStringLiteral("a child of %1 names another parent").arg(c->name);
            stack.append({child, next.second + 1});
        }
    }
    out << QStringList(store->packetAttributeNames.toQList()).join(QLatin1Char(','));
    int fewest = 1 << 30;
    int most = 0;
    for (const QSharedPointer<Packet>& p : root->packets.items) {
        fewest = qMin(fewest, p->columnCount());
        most = qMax(most, p->columnCount());
    }
    out << QStringLiteral("columns %1..%2, counter %3").arg(fewest).arg(most).arg(selectionCounter);
    NavigationWidget* nav = w.navigationWidget;
    for (auto it = nav->items.constBegin(); it != nav->items.constEnd(); ++it) {
        if (!inTree.contains(it.value()))
            out << QStringLiteral("a row names a context outside the tree");
    }
    QList<QTreeWidgetItem*> rows;
    for (int i = 0; i < nav->topLevelItemCount(); ++i)
        rows << nav->topLevelItem(i);
    while (!rows.isEmpty()) {
        QTreeWidgetItem* row = rows.takeFirst();
        out << QStringLiteral("row ") + row->text(0) + QLatin1Char(' ') + row->text(1) + QLatin1Char(' ')
                   + row->text(2) + (row == nav->activeItem ? QStringLiteral(" bold") : QString());
        for (int i = row->childCount() - 1; i >= 0; --i)
            rows.prepend(row->child(i));
    }
    out << QStringLiteral("%1 rows").arg(nav->items.size());
    return out;
}

// A window showing a log, its saved selection "A" in the event matrix with
// some of A's events selected.
struct Saving
{
    TempWorkDir dir;
    Boxes boxes;
    std::unique_ptr<MainWindow> window{new MainWindow};
    QString name;        // typed into the name dialog; null: the proposal kept
    bool asAttribute = true;
    QTimer answer;       // answers the name dialog as often as it shows

    Saving()
    {
        answer.setInterval(0);
        QObject::connect(&answer, &QTimer::timeout, &answer, [this]() {
            auto* dialog = qobject_cast<TextInputWidget*>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            if (!name.isNull())
                dialog->nameEdit->setText(name);
            dialog->attributeBox->setChecked(asAttribute);
            dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        });
    }

    // Back to A selected in the matrix: a saved context without an
    // attribute goes again (cheaper than loading the log anew).
    void reset(const QStringList& before)
    {
        GlyphStore* store = window->controlWidget->glyphStore;
        Context* root = store ? store->rootContext : nullptr;
        if (root && root->children.size() == 1 && root->children.first()->children.size() == 1
            && store->packetAttributeNames.size() == NAMES.size()) {
            delete root->children.first()->children.first();
            window->navigationWidget->refresh();
            selectionCounter = 0;
            boxes.shown.clear();
        }
        if (treeText(*window) != before)
            setUp();
    }

    void setUp()
    {
        ControlWidget* control = window->controlWidget;
        control->loadData(makeEvents(36), NAMES, KINDS);
        Context* root = control->glyphStore->rootContext;
        auto* a = new Context(root, QStringLiteral("A"), root->packets.mid(6, 24), root->store, true);
        window->navigationWidget->refresh();
        // As a click on A's row: A is the matrix's context.
        ContextEvent shown(window->navigationWidget, QList<Context*>{a});
        QCoreApplication::sendEvent(control, &shown);
        EventWidget* view = window->leftEventRibbon->view;
        for (int i : {1, 4, 5, 11, 17, 23})
            view->selectedPacketSet.insert(a->packets.at(i));
        selectionCounter = 0;
        QCoreApplication::processEvents();
        boxes.shown.clear();
    }

    // "Save as selection.." in the matrix's menu; false when it let an
    // exception out.
    bool save()
    {
        answer.start();
        bool escaped = false;
        try {
            window->leftEventRibbon->view->saveSelectionAction->trigger();
        } catch (...) {
            escaped = true;
        }
        answer.stop();
        return !escaped;
    }
};

// ---------------------------------------------------------------------------
// Choosing a log in the import dialog

// What the dialog shows and would load.
QStringList dialogText(const OpenWidget& d)
{
    QStringList out;
    out << QStringLiteral("file ") + d.fileLabel->text()
               + (d.previewNote->isHidden() ? QString() : QStringLiteral(" note ") + d.previewNote->text());
    for (const QComboBox* combo : {d.timeCombo, d.sourceCombo, d.destinationCombo, d.groupingCombo,
                                   d.combinedSourceCombo, d.combinedDestinationCombo, d.combinedSessionCombo}) {
        QStringList items;
        for (int i = 0; i < combo->count(); ++i)
            items << combo->itemText(i);
        out << items.join(QLatin1Char(',')) + QStringLiteral(" @%1%2")
                                                  .arg(combo->currentIndex())
                                                  .arg(combo->isEnabled() ? QString() : QStringLiteral(" off"));
    }
    for (int row = 0; row < d.attributeTable->rowCount(); ++row) {
        const QTableWidgetItem* item = d.attributeTable->item(row, 0);
        const auto* type = qobject_cast<const QComboBox*>(d.attributeTable->cellWidget(row, 1));
        out << QStringLiteral("row ") + (item ? item->text() : QStringLiteral("-")) + QLatin1Char(' ')
                   + (type ? type->currentText() : QStringLiteral("-"));
    }
    out << QStringList(d.headerNames.toQList()).join(QLatin1Char(','));
    out << QStringList(d.attributeNames.toQList()).join(QLatin1Char(','));
    QStringList types;
    for (auto it = d.attributeTypes.constBegin(); it != d.attributeTypes.constEnd(); ++it)
        types << it.key() + QLatin1Char('=') + QString::number(it.value());
    std::sort(types.begin(), types.end());
    out << types.join(QLatin1Char(' '));
    out << QStringLiteral("open %1, stream %2").arg(d.loadButton->isEnabled()).arg(d.stream != nullptr);
    // Last: the column choices the dialog has made process-wide.
    out << QStringLiteral("time %1 src %2 dst %3").arg(TIME_ATTRIBUTE, SRC_ATTRIBUTE, DST_ATTRIBUTE);
    return out;
}

// An import dialog and the path its file dialog answers.
struct Choosing
{
    TempWorkDir dir;
    Boxes boxes;
    ControlWidget control{nullptr};
    std::unique_ptr<OpenWidget> dialog{new OpenWidget(&control)};
    QString path;   // copied, not allocated, when the file dialog asks
    FileAsker::Handler previous;

    Choosing()
    {
        previous = FileAsker::setHandler([this](const FileAsker::Request&) { return path; });
    }
    ~Choosing() { FileAsker::setHandler(previous); }

    // "Open" beside "Input file:"; false when it let an exception out.
    bool choose(const QString& log)
    {
        path = log;
        try {
            dialog->fileButton->click();
        } catch (...) {
            return false;
        }
        return true;
    }
};

QByteArray shortRowLog()
{
    return "frame.time_epoch,ip.src,ip.dst,frame.len,info\n"
           "1600000000,10.0.0.1,10.0.1.1,60,\"syn, ack\"\n"
           "1600000003,10.0.0.2,10.0.1.1,61,plain\n"
           "1600000004,10.0.0.1\n"
           "2020-05-01 10:00:00,10.0.0.3,10.0.1.2,1500,\"a \"\"quoted\"\" word\"\n";
}

// Enough records for a column of distinct values to be guessed an
// identifier.
QByteArray identifierLog()
{
    QByteArray bytes = "frame.number,frame.time_epoch,ip.src,ip.dst,frame.len,session\n";
    for (int i = 0; i < 150; ++i)
        bytes += QByteArray::number(i + 1) + ',' + QByteArray::number(1600000000 + 2 * i) + ",10.0.0."
                 + QByteArray::number(i % 9) + ",10.0.1." + QByteArray::number(i % 4) + ','
                 + QByteArray::number(60 + i % 13) + ",s" + QByteArray::number(i * 7919 % 150) + '\n';
    return bytes;
}

} // namespace

class ShellFailuresTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void saveSelection_data();
    void saveSelection();
    void chooseLog_data();
    void chooseLog();
    void paint_data();
    void paint();

private:
    Restore<bool>* noData = nullptr;
};

void ShellFailuresTest::initTestCase()
{
    // The program's own allocations are swept; Qt's do not recover from a
    // failed one (see LoadFailuresTest).
    for (const char* library : {"libQt5Widgets", "libQt5Gui", "libQt5Core", "libQt5Test", "qt5/plugins/platforms"})
        QVERIFY2(failingnew::spareCallersIn(library), library);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    noData = new Restore<bool>(NO_DATA, NO_DATA);
}

void ShellFailuresTest::cleanupTestCase()
{
    QLoggingCategory::setFilterRules(QString());
    delete noData;
}

void ShellFailuresTest::saveSelection_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("asAttribute");
    QTest::addColumn<QString>("saved");   // the new context's name
    // A name of an event attribute: the attribute is numbered, the
    // context keeps the name.
    QTest::newRow("named as an attribute") << QStringLiteral("ip.src") << true << QStringLiteral("ip.src");
    // The proposal kept moves the counter on, and only when saved.
    QTest::newRow("proposal kept") << QString() << false << QStringLiteral("Selection 0");
}

void ShellFailuresTest::saveSelection()
{
    QFETCH(QString, name);
    QFETCH(bool, asAttribute);
    QFETCH(QString, saved);
    Saving s;
    s.name = name;
    s.asAttribute = asAttribute;

    // What a save that never fails leaves.
    s.setUp();
    const QStringList before = treeText(*s.window);
    QVERIFY(s.save());
    const QStringList after = treeText(*s.window);
    QVERIFY2(s.boxes.shown.isEmpty(), qPrintable(s.boxes.text()));
    QVERIFY2(after.filter(QRegularExpression(QStringLiteral("^ +") + QRegularExpression::escape(saved) + " 6 events"))
                     .size() == 1,
             qPrintable(after.join('\n')));
    QCOMPARE(after.contains(QStringLiteral("frame.time_epoch,ip.src,ip.dst,frame.len,ip.src(1)")), asAttribute);
    QCOMPARE(after.last(), QStringLiteral("3 rows"));

    long stopped = 0;
    const long points = sweep::run(QStringLiteral("save as selection (%1)").arg(QTest::currentDataTag()), [&](long n) {
        s.reset(before);
        bool ok = false;
        bool hit = false;
        {
            failingnew::FailAt fail(n);
            ok = s.save();
            hit = fail.stop();
        }
        // The boxes a handler tells of are raised from the event loop.
        QCoreApplication::processEvents();
        const QString where = QStringLiteral("failure point %1: ").arg(n);
        if (!ok) {
            QTest::qFail(qPrintable(where + QStringLiteral("an exception got out")), __FILE__, __LINE__);
            return false;
        }
        // Walks the tree (freed memory would be read here).
        const QStringList left = treeText(*s.window);
        if (left == after) {
            // Saved: a view may have told of its own failure to take it.
            if (s.boxes.shown.size() > 1 || (!s.boxes.shown.isEmpty() && !toldOnce(s.boxes))) {
                QTest::qFail(qPrintable(where + s.boxes.text()), __FILE__, __LINE__);
                return false;
            }
            return hit;
        }
        if (left != before || !toldOnce(s.boxes)) {
            QTest::qFail(qPrintable(where + s.boxes.text() + QStringLiteral("\n") + left.join('\n')), __FILE__,
                         __LINE__);
            return false;
        }
        ++stopped;
        // Again, as a save that never failed.
        s.boxes.shown.clear();
        if (!s.save() || treeText(*s.window) != after || !s.boxes.shown.isEmpty()) {
            QTest::qFail(qPrintable(where + QStringLiteral("saved again: ") + s.boxes.text() + '\n'
                                    + treeText(*s.window).join('\n')),
                         __FILE__, __LINE__);
            return false;
        }
        return hit;
    });
    QVERIFY(!QTest::currentTestFailed());
    qInfo().noquote() << QTest::currentDataTag() << points << "failure points," << stopped << "of them stopped";
    QVERIFY(stopped > 0);
}

void ShellFailuresTest::chooseLog_data()
{
    QTest::addColumn<QByteArray>("log");
    QTest::addColumn<int>("warned");   // boxes of a choice that never fails
    // A row too short is warned about once the dialog shows the log.
    QTest::newRow("a short row") << shortRowLog() << 1;
    // A preview long enough to tell identifiers from texts.
    QTest::newRow("identifiers") << identifierLog() << 0;
}

void ShellFailuresTest::chooseLog()
{
    QFETCH(QByteArray, log);
    QFETCH(int, warned);
    Choosing c;
    const QString earlier = c.dir.write(QStringLiteral("earlier.csv"), shortRowLog() + "1600000009,10.0.0.9,x,1,y\n");
    const QString chosen = c.dir.write(QStringLiteral("chosen.csv"), log);

    // What choices that never fail show; a file that cannot be a log
    // leaves the dialog forgotten, with nothing to open.
    QVERIFY(c.choose(c.dir.write(QStringLiteral("blank.csv"), QByteArray())));
    const QStringList forgotten = dialogText(*c.dialog);
    QCOMPARE(forgotten.at(forgotten.size() - 2), QStringLiteral("open 0, stream 0"));
    QVERIFY(c.choose(earlier));
    const QStringList shownEarlier = dialogText(*c.dialog);
    c.boxes.shown.clear();
    QVERIFY(c.choose(chosen));
    const QStringList shown = dialogText(*c.dialog);
    QCOMPARE(c.boxes.shown.size(), warned);
    QCOMPARE(shown.at(shown.size() - 2), QStringLiteral("open 1, stream 1"));
    QVERIFY2(shown.last().startsWith(QLatin1String("time frame.time_epoch")), qPrintable(shown.last()));
    if (QTest::currentDataTag() == QByteArray("identifiers"))
        QVERIFY2(shown.contains(QStringLiteral("row session Identifier")), qPrintable(shown.join('\n')));

    long stopped = 0;
    const long points = sweep::run(QStringLiteral("choose a log (%1)").arg(QTest::currentDataTag()), [&](long n) {
        c.choose(earlier);
        if (dialogText(*c.dialog) != shownEarlier) {
            QTest::qFail("the earlier log is not shown", __FILE__, __LINE__);
            return false;
        }
        c.boxes.shown.clear();
        bool ok = false;
        bool hit = false;
        {
            failingnew::FailAt fail(n);
            ok = c.choose(chosen);
            hit = fail.stop();
        }
        QCoreApplication::processEvents();
        const QString where = QStringLiteral("failure point %1: ").arg(n);
        if (!ok) {
            QTest::qFail(qPrintable(where + QStringLiteral("an exception got out")), __FILE__, __LINE__);
            return false;
        }
        const QStringList left = dialogText(*c.dialog);
        if (left == shown) {
            if (c.boxes.shown.size() != warned) {
                QTest::qFail(qPrintable(where + c.boxes.text()), __FILE__, __LINE__);
                return false;
            }
            return hit;
        }
        // Forgotten, "Open" off, and told once: by the choice itself, which
        // names the log, or by a handler that ran out of memory meanwhile.
        const MessageAsker::Request told = c.boxes.shown.value(0);
        if (left.mid(0, left.size() - 1) != forgotten.mid(0, forgotten.size() - 1) || !toldOnce(c.boxes)
            || (told.title != QLatin1String("Out of memory")
                && !(told.title == QLatin1String("Failed to load data") && told.text.contains(QLatin1String("chosen.csv"))))) {
            QTest::qFail(qPrintable(where + c.boxes.text() + '\n' + left.join('\n')), __FILE__, __LINE__);
            return false;
        }
        ++stopped;
        c.boxes.shown.clear();
        if (!c.choose(chosen) || dialogText(*c.dialog) != shown || c.boxes.shown.size() != warned) {
            QTest::qFail(qPrintable(where + QStringLiteral("chosen again: ") + dialogText(*c.dialog).join('\n')),
                         __FILE__, __LINE__);
            return false;
        }
        return hit;
    });
    QVERIFY(!QTest::currentTestFailed());
    qInfo().noquote() << QTest::currentDataTag() << points << "failure points," << stopped << "of them stopped";
    QVERIFY(stopped > 0);
}

void ShellFailuresTest::paint_data()
{
    QTest::addColumn<QString>("widget");
    for (const char* name : {"coverage bar", "match icon", "match toggle", "icon", "matrix header", "context tree"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

void ShellFailuresTest::paint()
{
    QFETCH(QString, widget);
    ControlWidget control(nullptr);
    GlyphStore* store = control.glyphStore;
    store->resetConversationAttributes();
    store->setAttributes(NAMES, KINDS);
    Context* root = store->rootContext = new Context(nullptr, QStringLiteral("All"), makeEvents(24), store, true);
    new Context(root, QStringLiteral("picked"), root->packets.mid(3, 9), store, true);

    std::unique_ptr<QWidget> shown;
    std::unique_ptr<MatchIcon> icon;
    std::unique_ptr<EventWidget> view;
    if (widget == QLatin1String("coverage bar")) {
        shown.reset(new Bar(0.4, 2));
        shown->resize(80, 20);
    } else if (widget == QLatin1String("match icon")) {
        auto* match = new MatchIcon(true);
        match->hovered = true;
        shown.reset(match);
        shown->resize(30, 16);
    } else if (widget == QLatin1String("match toggle")) {
        icon.reset(new MatchIcon(false));
        shown.reset(new IconToggleWidget(30, 16, icon.get()));
    } else if (widget == QLatin1String("icon")) {
        shown.reset(new IconWidget(24, 24, QIcon(QStringLiteral(":/Resources/righttriangle.png"))));
    } else if (widget == QLatin1String("matrix header")) {
        view.reset(new EventWidget(&control, nullptr, 0, nullptr));
        view->context = root->children.first();
        view->focused = true;
        shown.reset(new HeaderWidget(view.get()));
        shown->resize(200, 22);
    } else {
        auto* tree = new NavigationWidget(&control, nullptr);
        shown.reset(tree);
        tree->resize(420, 120);
        tree->refresh();
    }
    const long points = paintsweep::check(shown.get(), widget);
    QVERIFY(!QTest::currentTestFailed());
    qInfo().noquote() << widget << points << "failure points";
}

LUMIVANE_TEST(ShellFailuresTest)
#include "ShellFailuresTest.moc"
