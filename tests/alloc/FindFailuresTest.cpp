#include "FailingNew.h"
#include "Sweep.h"
#include "TestRegistry.h"
#include "UserSweep.h"

#include "../app/SettingsGuard.h"
#include "app/ControlWidget.h"
#include "app/MainWindow.h"
#include "app/MessageAsker.h"
#include "app/SettingsWidget.h"
#include "core/Packet.h"
#include "editors/MapWidget.h"
#include "editors/RibbonMapWidget.h"
#include "editors/SearchWidget.h"
#include "model/GlyphStore.h"
#include "patterns/ConditionParser.h"
#include "patterns/ParseNode.h"
#include "patterns/Rule.h"
#include "views/attributes/AttributeWidget.h"
#include "views/attributes/ConversationWidget.h"
#include "views/events/EventWidget.h"
#include "views/events/RibbonEventWidget.h"

#include <QCheckBox>
#include <QPointer>
#include <QPushButton>
#include <QtTest>

#include <algorithm>
#include <memory>

// Every allocation of a find fails in turn: a pattern drawn in the find
// window, "Find" clicked, the find event sent to a small event matrix. The
// find runs through (the matching events selected, the window closed) or
// stops with one message that names memory and the matrix without a
// selection; a failure in the window's own copy of the pattern leaves the
// window open with its pattern. The find done again (in the window still
// open, or in a new one with the same pattern) selects what a find that
// never failed selects.

namespace {

// The main window over 31 events in three traces, built once: its left
// event matrix receives the finds.
struct Main
{
    Main()
    {
        MessageAsker::Handler previous = MessageAsker::setHandler(
            [](const MessageAsker::Request&) { return QMessageBox::Ok; });
        window = std::make_unique<MainWindow>();
        MessageAsker::setHandler(previous);
        TList<QSharedPointer<Packet>> events;
        for (int i = 0; i < 31; ++i) {
            TList<TVariant> row = {TVariant(1000 + i), TVariant(QStringLiteral("10.0.0.%1").arg(i % 7)),
                                   TVariant(i % 4)};
            auto event = QSharedPointer<Packet>::create(row);
            event->conversationId = i % 3;
            events.append(event);
        }
        window->controlWidget->loadData(events, {"frame.time_epoch", "ip.src", "len"}, {1, 3, 1});
    }
    ~Main()
    {
        window.reset();
    }
    ControlWidget* control() const { return window->controlWidget; }
    EventWidget* matrix() const { return window->leftEventRibbon->view; }

    SettingsGuard settings;
    std::unique_ptr<MainWindow> window;
};

Main* main = nullptr;

// An event whose len is 2 followed by one whose len is 1 (in each trace,
// len counts down): two glyphs, each with its condition.
ParseNode* pattern()
{
    GlyphStore* store = main->control()->glyphStore;
    auto* tree = new ParseNode(ParseNode::And);
    for (const char* condition : {"len == 2", "len == 1"}) {
        auto* leaf = new ParseNode(ParseNode::Leaf);
        leaf->glyph.name = QStringLiteral("WildCard");
        leaf->glyph.condition = ConditionParser::parse(QString::fromLatin1(condition), &store->attributeColumns);
        tree->addChild(leaf);
    }
    return tree;
}

class FindScene : public usersweep::Scene
{
public:
    explicit FindScene(bool traces) : traces(traces)
    {
        main->matrix()->clearSelection();
        open();
    }
    ~FindScene() override { delete search.data(); }

    // "Find" in the window; once the window has closed, in a new one with
    // the same pattern.
    void act() override
    {
        if (!search || !search->isVisible())
            open();
        QTest::mouseClick(search->findButton, Qt::LeftButton);
    }

    QStringList state() const override
    {
        // The side panels' jobs of the selection have ended and told what
        // they had to tell: with helper threads they may end after the
        // find has returned.
        SettingsWidget* panels = main->window->settingsWidget;
        panels->attributeWidget->waitForJobs();
        panels->conversationWidget->waitForJobs();
        usersweep::settle();
        QList<double> times;
        for (const QSharedPointer<Packet>& event : main->matrix()->selectedPacketSet)
            times.append(event->get(0).toDouble());
        std::sort(times.begin(), times.end());
        QString selected;
        for (double t : times)
            selected += QString::number(t) + QLatin1Char(' ');
        return {QStringLiteral("selected ") + selected};
    }

    // The window's own failure (its copy of the pattern) keeps it open with
    // the pattern drawn.
    QString afterMessage(const QString&, const QString& text) const override
    {
        if (!text.contains(QLatin1String("find window")))
            return QString();
        if (!search || !search->isVisible())
            return QStringLiteral("the window closed");
        const QString drawn = Rule::treeToText(search->editor->map->root);
        return drawn == drawnText ? QString() : QStringLiteral("the window shows ") + drawn;
    }

private:
    void open()
    {
        if (search)
            delete search.data();
        search = new SearchWidget(main->control());
        search->resize(500, 300);
        search->editor->map->setRoot(pattern());
        drawnText = Rule::treeToText(search->editor->map->root);
        search->show();
        if (traces)
            QTest::mouseClick(search->tracesBox, Qt::LeftButton);
    }

    bool traces;
    QPointer<SearchWidget> search;
    QString drawnText;
};

} // namespace

class FindFailuresTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void everyAllocation_data();
    void everyAllocation();
};

void FindFailuresTest::initTestCase()
{
    main = new Main;
    QVERIFY(main->control()->currentContext());
    // Only the program's own allocations fail: Qt's delivery of a click
    // does not survive its own failing.
    sweep::spareQt();
}

void FindFailuresTest::cleanupTestCase()
{
    delete main;
    main = nullptr;
}

void FindFailuresTest::everyAllocation_data()
{
    QTest::addColumn<bool>("traces");
    QTest::newRow("events") << false;
    QTest::newRow("traces") << true;
}

void FindFailuresTest::everyAllocation()
{
    QFETCH(bool, traces);
    long messages = 0;
    const long points = usersweep::run(
        QString::fromLatin1(QTest::currentDataTag()),
        [&] { return std::unique_ptr<usersweep::Scene>(new FindScene(traces)); }, &messages);
    QVERIFY(!QTest::currentTestFailed());
    qInfo().noquote() << QTest::currentDataTag() << points << "failure points," << messages
                      << "of them stopped with the message";
    QVERIFY(points > 0);
}

LUMIVANE_TEST(FindFailuresTest)
#include "FindFailuresTest.moc"
