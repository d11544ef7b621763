#include "FailingNew.h"
#include "PaintSweep.h"
#include "Restore.h"
#include "Sweep.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"
#include "UserSweep.h"

#include "app/AppGlobals.h"
#include "app/Bar.h"
#include "app/ControlWidget.h"
#include "app/FileAsker.h"
#include "app/HeaderWidget.h"
#include "app/IconToggleWidget.h"
#include "app/IconWidget.h"
#include "app/MainWindow.h"
#include "app/MatchIcon.h"
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

// A context and those below it, each with every field a view reads and
// its link to its parent, indented by depth.
void contextText(const Context* c, int depth, QStringList& out, QSet<const Context*>& inTree)
{
    inTree.insert(c);
    out << QString(depth, QLatin1Char(' ')) + c->name
               + QStringLiteral(" %1 events, %2 traces, %3 histograms%4%5")
                     .arg(c->packets.size())
                     .arg(c->conversations.size())
                     .arg(c->histograms.size())
                     .arg(c->modified ? QStringLiteral(" modified") : QString())
                     .arg(c->histograms.isEmpty() ? QString() : QStringLiteral(" last: ") + histogramText(c->histograms.last()));
    for (const Context* child : c->children) {
        if (child->parent != c)
            out << QStringLiteral("a child of %1 names another parent").arg(c->name);
        contextText(child, depth + 1, out, inTree);
    }
}

// A row of the context tree and those below it.
void rowText(const NavigationWidget* nav, const QTreeWidgetItem* row, QStringList& out)
{
    out << QStringLiteral("row ") + row->text(0) + QLatin1Char(' ') + row->text(1) + QLatin1Char(' ') + row->text(2)
               + (row == nav->activeItem ? QStringLiteral(" bold") : QString());
    for (int i = 0; i < row->childCount(); ++i)
        rowText(nav, row->child(i), out);
}

// The context tree from the root; the store's event attributes and every
// event's columns; the rows of the context tree, each naming a context of
// the tree.
QStringList treeText(MainWindow& w)
{
    QStringList out;
    GlyphStore* store = w.controlWidget->glyphStore;
    QSet<const Context*> inTree;
    contextText(store->rootContext, 0, out, inTree);
    out << QStringList(store->packetAttributeNames.toQList()).join(QLatin1Char(','));
    int fewest = 1 << 30;
    int most = 0;
    for (const QSharedPointer<Packet>& p : store->rootContext->packets.items) {
        fewest = qMin(fewest, p->columnCount());
        most = qMax(most, p->columnCount());
    }
    out << QStringLiteral("columns %1..%2, counter %3").arg(fewest).arg(most).arg(selectionCounter);
    const NavigationWidget* nav = w.navigationWidget;
    for (const Context* named : nav->items) {
        if (!inTree.contains(named))
            out << QStringLiteral("a row names a context outside the tree");
    }
    for (int i = 0; i < nav->topLevelItemCount(); ++i)
        rowText(nav, nav->topLevelItem(i), out);
    out << QStringLiteral("%1 rows").arg(nav->items.size());
    return out;
}

// A window showing a log, its saved selection "A" in the event matrix with
// some of A's events selected (made at the first prepare, under the sweep's
// answers to its boxes); "Save as selection.." in the matrix's menu, the
// name dialog answered as often as it shows.
class Saving : public usersweep::Scene
{
public:
    Saving(const QString& name, bool asAttribute) : name(name), asAttribute(asAttribute)
    {
        answer.setInterval(0);
        QObject::connect(&answer, &QTimer::timeout, &answer, [this]() {
            auto* dialog = qobject_cast<TextInputWidget*>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            if (!this->name.isNull())
                dialog->nameEdit->setText(this->name);
            dialog->attributeBox->setChecked(this->asAttribute);
            dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
        });
    }

    // Back to A selected in the matrix: the contexts saved without an
    // attribute go again (cheaper than loading the log anew). The save is
    // tried again from where its failure left the window.
    void prepare(bool again) override
    {
        if (again)
            return;
        if (!window) {
            window.reset(new MainWindow);
            setUp();
            before = state();
            return;
        }
        GlyphStore* store = window->controlWidget->glyphStore;
        Context* root = store ? store->rootContext : nullptr;
        if (root && root->children.size() == 1 && store->packetAttributeNames.size() == NAMES.size()) {
            for (Context* a = root->children.first(); !a->children.isEmpty();)
                delete a->children.last();
            window->navigationWidget->refresh();
            selectionCounter = 0;
        }
        if (state() != before)
            setUp();
    }

    void act() override
    {
        answer.start();
        window->leftEventRibbon->view->saveSelectionAction->trigger();
        answer.stop();
    }

    // Walks the tree (freed memory would be read here).
    QStringList state() const override { return treeText(*window); }

    QString afterMessage(const QString&, const QString& text) const override
    {
        return text.contains(QLatin1String("ran out of memory")) ? QString()
                                                                 : QStringLiteral("it does not say it ran out of memory");
    }

private:
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
    }

    TempWorkDir dir;
    std::unique_ptr<MainWindow> window;
    QStringList before;
    QString name;        // typed into the name dialog; null: the proposal kept
    bool asAttribute;
    QTimer answer;
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

// An import dialog showing an earlier log; "Open" beside "Input file:",
// the file dialog answering with the log chosen. The warning of rows that
// gave no event is counted in the state.
class Choosing : public usersweep::Scene
{
public:
    explicit Choosing(const QByteArray& log)
        : earlier(dir.write(QStringLiteral("earlier.csv"), shortRowLog() + "1600000009,10.0.0.9,x,1,y\n")),
          chosen(dir.write(QStringLiteral("chosen.csv"), log))
    {
        previous = FileAsker::setHandler([this](const FileAsker::Request&) { return path; });
    }
    ~Choosing() override { FileAsker::setHandler(previous); }

    // A file that cannot be a log leaves the dialog forgotten, with nothing
    // to open (chosen once, at the first prepare). The action is tried
    // again from where its failure left the dialog.
    void prepare(bool again) override
    {
        if (forgotten.isEmpty()) {
            choose(dir.write(QStringLiteral("blank.csv"), QByteArray()));
            forgotten = dialogText(*dialog);
        }
        if (!again)
            choose(earlier);
        warned = 0;
    }
    void act() override { choose(chosen); }
    QStringList state() const override { return dialogText(*dialog) << QStringLiteral("warned %1").arg(warned); }

    bool expectsBox(const MessageAsker::Request& box) override
    {
        if (!box.text.contains(QLatin1String("will be ignored")))
            return false;
        ++warned;
        return true;
    }

    // Forgotten, "Open" off, and told once: by the choice itself, which
    // names the log, or by a handler that ran out of memory meanwhile.
    QString failed(const MessageAsker::Request& box, const QStringList& after, const QStringList&,
                   const QStringList&) override
    {
        // The last line but one: the column choices made process-wide.
        QStringList left = after;
        left.removeAt(left.size() - 2);
        if (left != forgotten.mid(0, forgotten.size() - 1) << QStringLiteral("warned 0"))
            return QStringLiteral("shows ") + after.join(QLatin1Char('|'));
        if (!box.text.contains(QLatin1String("ran out of memory"))
            || (box.title != QLatin1String("Out of memory")
                && !(box.title == QLatin1String("Failed to load data") && box.text.contains(QLatin1String("chosen.csv")))))
            return QStringLiteral("told ") + box.text;
        return QString();
    }

    QStringList forgotten;

private:
    void choose(const QString& log)
    {
        path = log;
        dialog->fileButton->click();
    }

    TempWorkDir dir;
    ControlWidget control{nullptr};
    std::unique_ptr<OpenWidget> dialog{new OpenWidget(&control)};
    const QString earlier;
    const QString chosen;
    QString path;   // copied, not allocated, when the file dialog asks
    FileAsker::Handler previous;
    int warned = 0;
};

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
    sweep::spareQt();
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
    Saving s(name, asAttribute);
    const usersweep::Tally t =
        usersweep::sweep(QStringLiteral("save as selection (%1)").arg(QTest::currentDataTag()), s);
    QVERIFY(!QTest::currentTestFailed());
    // What a save that never fails leaves.
    const QStringList& after = t.once;
    QVERIFY2(after.filter(QRegularExpression(QStringLiteral("^ +") + QRegularExpression::escape(saved) + " 6 events"))
                     .size() == 1,
             qPrintable(after.join('\n')));
    QCOMPARE(after.contains(QStringLiteral("frame.time_epoch,ip.src,ip.dst,frame.len,ip.src(1)")), asAttribute);
    QCOMPARE(after.last(), QStringLiteral("3 rows"));
    QVERIFY(t.kept > 0);
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
    Choosing c(log);
    const usersweep::Tally t = usersweep::sweep(QStringLiteral("choose a log (%1)").arg(QTest::currentDataTag()), c);
    QVERIFY(!QTest::currentTestFailed());
    // What choices that never fail show.
    QCOMPARE(c.forgotten.at(c.forgotten.size() - 2), QStringLiteral("open 0, stream 0"));
    const QStringList& shown = t.once;
    QCOMPARE(shown.last(), QStringLiteral("warned %1").arg(warned));
    QCOMPARE(shown.at(shown.size() - 3), QStringLiteral("open 1, stream 1"));
    QVERIFY2(shown.at(shown.size() - 2).startsWith(QLatin1String("time frame.time_epoch")), qPrintable(shown.join('\n')));
    if (QTest::currentDataTag() == QByteArray("identifiers"))
        QVERIFY2(shown.contains(QStringLiteral("row session Identifier")), qPrintable(shown.join('\n')));
    QVERIFY(t.own > 0);
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
