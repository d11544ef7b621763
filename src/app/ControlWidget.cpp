#include "app/ControlWidget.h"

#include "app/AppGlobals.h"
#include "events/AttributeEvent.h"
#include "events/ContextEvent.h"
#include "events/EventType.h"
#include "app/FileAsker.h"
#include "events/FocusEvent.h"
#include "events/GlyphsEvent.h"
#include "app/MainWindow.h"
#include "app/MessageAsker.h"
#include "app/NavigationWidget.h"
#include "events/PacketsEvent.h"
#include "events/ReloadEvent.h"
#include "events/RenderEvent.h"
#include "events/ScrollEvent.h"
#include "app/SettingsWidget.h"
#include "app/ToolLocator.h"
#include "capture/ParseWidget.h"
#include "capture/Smb2XesExporter.h"
#include "core/Constants.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "model/LogRelease.h"
#include "core/Packet.h"
#include "core/ThreadStarter.h"
#include "core/HandlerGuard.h"
#include "core/OnExit.h"
#include "model/ContextWorker.h"
#include "import/ConversationPreprocessor.h"
#include "import/OpenWidget.h"
#include "patterns/Rule.h"
#include "patterns/RulesFile.h"
#include "views/attributes/AttributeWidget.h"
#include "views/attributes/ConversationWidget.h"
#include "views/attributes/RibbonAttributeWidget.h"
#include "views/charts/LineChart.h"
#include "views/charts/LineChartMiniView.h"
#include "views/charts/RibbonLineWidget.h"
#include "views/events/EventOverviewWidget.h"
#include "views/events/EventWidget.h"
#include "views/events/OptionsWidget.h"
#include "views/events/RibbonEventOverviewWidget.h"
#include "views/events/RibbonEventWidget.h"
#include "views/sequences/RibbonSequenceWidget.h"
#include "views/sequences/SequenceWidget.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QDebug>
#include <QGuiApplication>
#include <QLabel>
#include <QMainWindow>
#include <QProcess>
#include <QProgressDialog>
#include <QSet>
#include <QStatusBar>
#include <QThread>
#include <QThreadPool>

#include <atomic>
#include <cmath>
#include <memory>
#include <new>

namespace {

// The widget that built a custom event; null for other events.
QObject* eventSender(QEvent* e)
{
    switch (int(e->type())) {
    case CONTEXTEVENT: return static_cast<ContextEvent*>(e)->sender;
    case PACKETSEVENT: return static_cast<PacketsEvent*>(e)->sender;
    case GLYPHSEVENT: return static_cast<GlyphsEvent*>(e)->sender;
    case ATTRIBUTEEVENT: return static_cast<AttributeEvent*>(e)->sender;
    case SCROLLEVENT: return static_cast<ScrollEvent*>(e)->sender;
    case RENDEREVENT: return static_cast<RenderEvent*>(e)->sender;
    case FOCUSEVENT: return static_cast<FocusEvent*>(e)->sender;
    default: return nullptr;
    }
}

// "Unless from X": a null sender excludes nothing; subclasses of X count.
template <typename X>
bool isFrom(QObject* sender)
{
    return sender && qobject_cast<X*>(sender);
}

void deliver(QObject* target, QEvent* e)
{
    if (target)
        QCoreApplication::sendEvent(target, e);
}

// A side argument: 0 left, 1 right, 2 both; anything else selects nothing.
bool parseSide(const QVariant& value, bool* left, bool* right)
{
    bool ok = false;
    const int side = value.toInt(&ok);
    if (!ok || side < 0 || side > 2)
        return false;
    *left = side == 0 || side == 2;
    // The right group is only in use with the split flag on.
    *right = SPLIT_FLAG && (side == 1 || side == 2);
    return true;
}

EventWidget* eventView(RibbonEventWidget* ribbon)
{
    return ribbon ? ribbon->view : nullptr;
}

EventOverviewWidget* overviewOf(RibbonEventOverviewWidget* ribbon)
{
    return ribbon ? ribbon->overview : nullptr;
}

} // namespace

// The icons are compiled into the static library; a static library's
// resources register only when something asks for them.
static void registerResources()
{
    static const bool registered = []() {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    Q_UNUSED(registered);
}

ControlWidget::ControlWidget(MainWindow* window)
    : QWidget(nullptr)
    , mainWindow(window)
{
    registerResources();
    statusLabel = new QLabel(this);
    if (window) {
        window->statusBar()->addPermanentWidget(statusLabel);
        auto* spacer = new QWidget(window->statusBar());
        spacer->setFixedWidth(20);
        window->statusBar()->addPermanentWidget(spacer);
    }
    threadPool = QThreadPool::globalInstance();
    glyphStore = new GlyphStore;
    setMouseTracking(true);
    // Quitting does not wait for a Wireshark window to be closed: the
    // inspection is killed.
    if (QCoreApplication* app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &ControlWidget::cancelInspection);
}

ControlWidget::~ControlWidget()
{
    if (work) {
        cancelInspection();
        waitForInspection();
        delete work;
        work = nullptr;
    }
    // Pool jobs may read the store.
    if (threadPool)
        threadPool->waitForDone();
    // The store goes the way a replaced one does; nothing of it outlives
    // this widget.
    logrelease::releaseStore(glyphStore);
    glyphStore = nullptr;
    logrelease::waitForReleases();
    delete loadTextPool;
    loadTextPool = nullptr;
}

// ---------------------------------------------------------------------------
// Accessors

EventWidget* ControlWidget::focusedEventWidget() const
{
    return mainWindow ? eventView(mainWindow->leftEventRibbon) : nullptr;
}

Context* ControlWidget::currentContext() const
{
    EventWidget* view = focusedEventWidget();
    return view ? view->context : nullptr;
}

TList<QSharedPointer<Packet>> ControlWidget::selectedPackets() const
{
    EventWidget* view = focusedEventWidget();
    if (!view) {
        qDebug("no focus?");
        return {};
    }
    return view->selectedPackets();
}

// ---------------------------------------------------------------------------
// Loading

bool ControlWidget::loadData(TList<QSharedPointer<Packet>> packets, TList<QString> names,
                             TList<int> types)
{
    if (progressDialog || contextWorker) {
        // A load is already running (its dialog's event loop let this in).
        qDebug("load in progress");
        return false;
    }

    // What an import handed over is for this load only, whatever becomes
    // of it.
    std::unique_ptr<THash<QString, TVariant>> pool(loadTextPool);
    loadTextPool = nullptr;
    QString fileName;
    fileName.swap(loadFileName);

    // The new store and root context are built aside: the views keep
    // showing the current ones until the new context is complete. Out of
    // memory on the way, the new store goes and the views keep theirs.
    StoreHandle store;
    Context* context = nullptr;
    std::unique_ptr<QProgressDialog> dialog;
    struct Shown   // the dialog is the load's for as long as it lives
    {
        QProgressDialog*& current;
        ~Shown() { current = nullptr; }
    } shown{progressDialog};
    bool anyEvent = false;
    bool cancelled = false;
    bool ranOut = false;
    // The load's dialogs run loops of their own: whatever runs out of memory
    // in them fails the load, which cannot tell whether it relied on it.
    const unsigned long failures = HandlerGuard::failures();
    try {
        store.reset(new GlyphStore);
        if (pool) {
            // An import's events share their texts through the pool they
            // were read with; the store keeps the log's path for later
            // lookups.
            store->textPool = std::move(*pool);
            store->fileName = fileName;
        } else if (glyphStore) {
            store->textPool = glyphStore->textPool;
            store->fileName = glyphStore->fileName;
        }
        pool.reset();
        store->resetConversationAttributes();
        store->setAttributes(names, types);

        dialog.reset(new QProgressDialog(QStringLiteral("Loading data..."), QStringLiteral("Cancel"), 0, 4,
                                         dialogParent()));
        // Application-modal: it shows over the main window, and no other
        // window (a rule editor) may act while the views change logs.
        dialog->setWindowModality(Qt::ApplicationModal);
        dialog->setMinimumDuration(0);
        progressDialog = dialog.get();

        // The events move into the context: copying 800000 shared pointers
        // and then dropping the originals costs two atomic counts per event.
        context = new Context(nullptr, QStringLiteral("All"), {}, store.get(), false);
        store->rootContext = context;   // owned by the new store from here on
        context->packets = std::move(packets);
        anyEvent = !context->packets.isEmpty();
        connect(context, &Context::setLabelText, dialog.get(), &QProgressDialog::setLabelText);
        connect(context, &Context::progress, dialog.get(), &QProgressDialog::setValue);
        computeRoot(context, dialog.get(), anyEvent, &cancelled, &ranOut);
        QCoreApplication::sendPostedEvents(dialog.get(), QEvent::MetaCall);
    } catch (const std::bad_alloc&) {
        ranOut = true;
    }
    if (HandlerGuard::failures() != failures)
        ranOut = true;

    if (cancelled || ranOut || !context || context->cancelled) {
        progressDialog = nullptr;
        dialog.reset();
        // The views stay on the previous store and context, untouched.
        store.reset();   // with the new root context
        NO_DATA = false;
        if (ranOut) {
            // The memory of the new log is back before the message asks
            // for some.
            logrelease::waitForReleases();
            tellLoadOutOfMemory(dialogParent(), fileName, QStringLiteral("counting its values and traces"),
                                QStringLiteral("The loaded log stays as it is."));
        }
        return false;
    }

    // Pool jobs may still read the old store. A running Wireshark
    // inspection reads nothing of it and stays open: waiting for the pool
    // would wait for its window to be closed.
    if (threadPool && (!work || work->finished.load(std::memory_order_acquire)))
        threadPool->waitForDone();
    StoreHandle old(glyphStore);
    glyphStore = store.release();
    // The dialog stays up while the views take the new context (it keeps
    // another load out meanwhile); an empty load shows none. What the
    // computation still had to tell it (the end of the thread hides it)
    // is told first.
    bool handedOver = true;
    try {
        handOver(context, anyEvent ? dialog.get() : nullptr);
    } catch (const std::bad_alloc&) {
        handedOver = false;
    }
    progressDialog = nullptr;
    dialog.reset();
    if (!handedOver) {
        // The views show parts of both logs: they take an empty log, and
        // then both go.
        StoreHandle failed(glyphStore);
        glyphStore = old.release();
        showNoLog(std::move(failed));
        logrelease::waitForReleases();
        tellLoadOutOfMemory(dialogParent(), fileName, QStringLiteral("the views took it"),
                            QStringLiteral("The window shows no log now."));
        return false;
    }
    // Only now that every view holds the new context can the old one go;
    // the GUI thread only takes it apart, its data are freed in the
    // background.
    old.reset();
    return true;
}

void ControlWidget::computeRoot(Context* context, QProgressDialog* dialog, bool wait, bool* cancelled,
                                bool* ranOut)
{
    std::unique_ptr<QThread> thread(new QThread(this));
    std::unique_ptr<ContextWorker> worker(new ContextWorker(context));
    struct Running   // the worker is the load's for as long as it lives
    {
        ContextWorker*& current;
        ~Running() { current = nullptr; }
    } running{contextWorker};
    contextWorker = worker.get();
    worker->moveToThread(thread.get());
    // Hide, not close: closing a progress dialog counts as cancelling it.
    connect(thread.get(), &QThread::finished, dialog, &QProgressDialog::hide);
    // The thread ends as soon as the computation returns: no idle thread
    // stays. `finished` publishes the worker's writes to the GUI thread in a
    // way race detectors see (QThread::wait synchronises inside Qt only).
    auto finished = std::make_shared<std::atomic<bool>>(false);
    ContextWorker* run = worker.get();
    QThread* own = thread.get();
    connect(own, &QThread::started, run, [run, own, finished]() {
        // Captures are read before the release: the GUI thread frees them
        // with the worker once it has seen `finished`.
        QThread* ending = own;
        std::shared_ptr<std::atomic<bool>> done = finished;
        run->loadData();
        done->store(true, std::memory_order_release);
        ending->quit();
    });
    // Direct: the worker's own thread is busy in the computation.
    connect(dialog, &QProgressDialog::canceled, run, &ContextWorker::cancel, Qt::DirectConnection);

    if (ThreadStarter::start(own)) {
        // Whatever happens here, the worker and its thread go only once the
        // thread has ended.
        OnExit join([own, context]() {
            context->cancelled = true;
            own->quit();
            own->wait();
        });
        if (wait)
            dialog->exec();
        if (dialog->wasCanceled())
            context->cancelled = true;
        join.dismiss();
        own->quit();
        own->wait();
        finished->load(std::memory_order_acquire);
    } else {
        // No thread could be started for the computation: it runs here,
        // its dialog letting events through as it moves on.
        run->loadData();
        dialog->hide();
    }
    *cancelled = dialog->wasCanceled();
    *ranOut = run->outOfMemory.load();
}

void ControlWidget::showNoLog(StoreHandle failed)
{
    // The failed log, the one before and every empty one tried are kept
    // until the views hold none of them. A view that takes the empty log
    // lets go of the larger data it showed, so a second try finds more
    // room.
    GlyphStore* held[5] = {glyphStore, failed.release(), nullptr, nullptr, nullptr};
    int count = 2;
    bool shown = false;
    for (int attempt = 0; attempt < 3 && !shown; ++attempt) {
        try {
            StoreHandle empty(new GlyphStore);
            empty->resetConversationAttributes();
            empty->setAttributes({}, {});
            empty->rootContext = new Context(nullptr, QStringLiteral("All"), {}, empty.get(), true);
            glyphStore = empty.get();
            held[count++] = empty.release();
            handOver(glyphStore->rootContext, nullptr);
            shown = true;
            if (mainWindow)
                mainWindow->setWindowTitle(PRODUCT_NAME);
            QCoreApplication::setApplicationName(PRODUCT_NAME + QLatin1Char(' ') + VERSION_STRING);
        } catch (const std::bad_alloc&) {
        }
    }
    // Without room for an empty log either, the views may hold any of
    // them still: none can go.
    if (!shown)
        return;
    for (int i = 0; i < count; ++i) {
        if (held[i] != glyphStore)
            logrelease::releaseStore(held[i]);
    }
}

void ControlWidget::StoreRelease::operator()(GlyphStore* store) const
{
    logrelease::releaseStore(store);
}

void ControlWidget::tellLoadOutOfMemory(QWidget* parent, const QString& fileName, const QString& during,
                                        const QString& outcome)
{
    try {
        const QString name = fileName.isEmpty() ? QStringLiteral("the log")
                                                : fileName.mid(fileName.lastIndexOf(QLatin1Char('/')) + 1);
        MessageAsker::ask(QMessageBox::Warning, QStringLiteral("Failed to load data"),
                          QStringLiteral("Loading ") + name + QStringLiteral(" ran out of memory while ") + during
                              + QStringLiteral(". ") + outcome,
                          QMessageBox::Ok, parent);
    } catch (const std::bad_alloc&) {
        // Not even the message found room; the load has stopped all the same.
    }
}

void ControlWidget::handOver(Context* context, QProgressDialog* dialog)
{
    MainWindow* w = mainWindow;
    EventWidget* left = w ? eventView(w->leftEventRibbon) : nullptr;
    SettingsWidget* side = w ? w->settingsWidget : nullptr;

    // Taking a large log takes each view a while. The views take it one
    // after the other, and between two of them the window comes back to
    // its event loop: it repaints, and the dialog names the view that takes
    // the log next. The computation is over: nothing is left to cancel.
    constexpr int STAGES = 5;
    if (dialog) {
        dialog->setCancelButton(nullptr);
        dialog->setRange(0, STAGES + 1);
        dialog->setValue(0);
        dialog->show();
    }
    int stage = 0;
    const auto next = [dialog, &stage](const QString& text) {
        if (!dialog)
            return;
        dialog->setLabelText(QStringLiteral("Showing data: ") + text);
        // The window's turn: the modal dialog's new value lets its events
        // through too. A handler that ran out of memory meanwhile may have
        // been a view's that took the log: the hand-over fails.
        const unsigned long failures = HandlerGuard::failures();
        dialog->setValue(++stage);
        QCoreApplication::processEvents();
        if (HandlerGuard::failures() != failures)
            throw std::bad_alloc();
    };

    next(QStringLiteral("rules and navigation"));
    if (left)
        left->context = context;
    if (w && w->leftEventRibbon)
        w->leftEventRibbon->buildControls();
    if (side)
        side->refreshData();
    if (w && w->leftOptions)
        w->leftOptions->connectSignals();
    if (w && w->rightOptions)
        w->rightOptions->connectSignals();
    if (w && w->navigationWidget)
        w->navigationWidget->refresh();
    // The panels lay their grids out once, in the store's order: taking the
    // context works out the panel's own order without a grid of its own,
    // which would be replaced at once.
    next(QStringLiteral("event attributes"));
    // A histogram that ran out of memory would leave the panel half shown.
    if (side && side->attributeWidget) {
        side->attributeWidget->takeContext(context);
        side->attributeWidget->layoutAttributes(glyphStore->packetAttributeNames);
        if (side->attributeWidget->ranOutOfMemory())
            throw std::bad_alloc();
    }
    next(QStringLiteral("trace attributes"));
    if (side && side->conversationWidget) {
        side->conversationWidget->takeContext(context);
        side->conversationWidget->layoutAttributes(glyphStore->conversationAttributeNames);
        if (side->conversationWidget->ranOutOfMemory())
            throw std::bad_alloc();
    }
    next(QStringLiteral("event matrix"));
    if (w && w->leftEventRibbon)
        w->leftEventRibbon->setContext(context);
    next(QStringLiteral("charts and sequences"));
    if (w && w->leftLineRibbon) {
        LineChart* chart = w->leftLineRibbon->chart;
        LineChart* mini = w->leftLineRibbon->miniView;
        for (LineChart* c : {chart, mini}) {
            if (!c)
                continue;
            c->eventView = left;
            c->reset();
        }
        if (mini)
            mini->setContext(context, true, true);
        if (chart)
            chart->setContext(context, true, true);
    }
    if (side && side->attributeRibbon)
        side->attributeRibbon->refreshFilter();
    if (side && side->conversationRibbon)
        side->conversationRibbon->refreshFilter();
    if (w && w->sequenceRibbon) {
        w->sequenceRibbon->setContext(context);
        w->sequenceRibbon->setActive(false, true);
    }
    NO_DATA = false;
}

void ControlWidget::setLoadSource(const QString& fileName, THash<QString, TVariant> pool)
{
    // The new holder first: out of memory, the one before stays whole.
    auto* held = new THash<QString, TVariant>(std::move(pool));
    delete loadTextPool;
    loadTextPool = held;
    loadFileName = fileName;
}

TList<Rule> ControlWidget::loadRules(QString text)
{
    return RulesFile::fromText(text).rules;
}

// ---------------------------------------------------------------------------
// File menu

// The menu's actions: each ends its own running out of memory. The dialogs
// tell of their own failures; what is left is making them.
void ControlWidget::openPCAP()
{
    HandlerGuard::run([this] {
        OpenWidget dialog(this, dialogParent());
        dialog.exec();
    });
}

// The converted log is not loaded: the user opens it with "Open CSV".
void ControlWidget::convertPCAP()
{
    HandlerGuard::run([this] {
        ParseWidget dialog(this, dialogParent());
        dialog.exec();
    });
}

// SMB2 file activity of a file of quoted tshark fields to an XES event log.
void ControlWidget::exportXes()
{
    HandlerGuard::run([this] {
        Smb2XesExporter exporter(dialogParent());
        exporter.run();
    });
}

// ---------------------------------------------------------------------------
// Wireshark inspection

ControlWidget::Work::Work(ControlWidget* control)
    : control(control)
{
    setAutoDelete(false);
}

void ControlWidget::Work::run()
{
    // Reads the false the GUI thread stored after writing the fields.
    finished.exchange(false, std::memory_order_acq_rel);
    // A pool thread: nothing may leave it. Out of memory the program is
    // killed (when it started) and the user is told; the job ends as usual.
    std::unique_ptr<QProcess> process;
    try {
        if (!cancel.load(std::memory_order_acquire) && !pcapFile.isEmpty() && !packets.isEmpty()) {
            const QStringList arguments{QStringLiteral("-r"), pcapFile, QStringLiteral("-Y"), filter};
            process.reset(new QProcess);
            // Nothing reads what the program prints.
            process->setStandardOutputFile(QProcess::nullDevice());
            process->setStandardErrorFile(QProcess::nullDevice());
            process->start(program, arguments, QIODevice::ReadWrite);
            for (;;) {
                process->waitForFinished(waitStep);
                // A program that never started is not running either.
                if (process->state() == QProcess::NotRunning || cancel.load(std::memory_order_acquire))
                    break;
            }
            if (cancel.load(std::memory_order_acquire)) {
                qDebug("kill");
                process->kill();
                process->waitForFinished(-1);
            }
            process.reset();
        }
    } catch (const std::bad_alloc&) {
        if (process && process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(-1);
        }
        process.reset();
        HandlerGuard::failed();
    }
    // The events are the loaded log's; the job keeps none of them.
    packets.clear();
    std::lock_guard<std::mutex> lock(m_mutex);
    finished.store(true, std::memory_order_release);
    m_ended.notify_all();
}

bool ControlWidget::isWiresharkPath(const QString& path)
{
    return path.contains(QLatin1String("wireshark")) && QFileInfo(path).isFile();
}

QString ControlWidget::buildDisplayFilter(const TList<QSharedPointer<Packet>>& packets) const
{
    // The command line must fit the console limit of the platform.
    const int limit = 8190;
    const int column = glyphStore ? glyphStore->attributeColumns.value(FRAME_NUMBER, -1) : -1;
    QString filter;
    if (column < 0 || packets.isEmpty())
        return filter;
    const QString prefix = QStringLiteral("frame.number == ");
    const QString separator = QStringLiteral(" || ");
    for (int i = 0; i < packets.size(); ++i) {
        const QSharedPointer<Packet>& packet = packets.at(i);
        const TVariant& number = packet ? packet->get(column) : *NULL_VALUE;
        // An event without a frame number has no term: "frame.number == "
        // alone would make the whole filter invalid.
        if (!number.isValid())
            continue;
        QString value = number.toString();
        // Frame numbers past the int range are read as doubles: written
        // with decimals they are no frame number to Wireshark.
        if (number.type == TVariant::Double) {
            const double d = number.toDouble();
            if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9.0e15)
                value = QString::number(qint64(d));
        }
        const int length = filter.size() + (filter.isEmpty() ? 0 : separator.size())
                           + prefix.size() + value.size();
        if (length > limit) {
            qDebug().noquote() << QStringLiteral("query is too large to fit in console: packets ")
                                      + QString::number(i + 1)
                                      + QStringLiteral(" will not be displayed");
            break;
        }
        if (!filter.isEmpty())
            filter += separator;
        filter += prefix;
        filter += value;
    }
    return filter;
}

void ControlWidget::cancelInspection()
{
    if (work && !work->finished.load(std::memory_order_acquire))
        work->cancel.store(true, std::memory_order_release);
}

void ControlWidget::waitForInspection()
{
    if (!work)
        return;
    // Still queued behind other jobs: it never runs.
    if (!work->finished.load(std::memory_order_acquire) && threadPool && threadPool->tryTake(work)) {
        work->packets.clear();
        work->finished.store(true, std::memory_order_release);
        return;
    }
    // Also when it has just finished: run() may still be leaving the lock.
    std::unique_lock<std::mutex> lock(work->m_mutex);
    work->m_ended.wait(lock, [this]() { return work->finished.load(std::memory_order_acquire); });
}

QWidget* ControlWidget::dialogParent()
{
    if (mainWindow)
        return mainWindow;
    return this;
}

void ControlWidget::inspectWireShark()
{
    HandlerGuard::run([this] { inspectFrames(nullptr); });
}

void ControlWidget::inspectFrames(const TList<QSharedPointer<Packet>>* packets)
{
    if (!work)
        work = new Work(this);
    cancelInspection();
    waitForInspection();
    work->cancel.store(false, std::memory_order_release);

    // The program's location from the settings, or asked for.
    const QString os = osName();
    while (!isWiresharkPath(WIRESHARK_PATH)) {
        // Programs carry no extension outside Windows.
        const QString filter = os == QLatin1String("windows") ? QStringLiteral("*.exe") : QString();
        const QString chosen =
            FileAsker::openFileName(dialogParent(), QStringLiteral("Find Wireshark"), WIRESHARK_PATH, filter);
        if (chosen.isEmpty()) {
            qDebug("Open wireshark failed");
            MessageAsker::ask(QMessageBox::Warning, QStringLiteral("Failed to start Wireshark"),
                              QStringLiteral("Wireshark was not started: no Wireshark program was "
                                             "chosen. Choose it in \"Find Wireshark\", or write its "
                                             "path as the second line of ")
                                  + SETTINGS_PATH + QLatin1Char('.'),
                              QMessageBox::Ok, dialogParent());
            return;
        }
        WIRESHARK_PATH = chosen;
    }
    // The path from the settings when it can run; else the program of that
    // name on the search path.
    const QString program = ToolLocator::program(WIRESHARK_PATH, QStringLiteral("wireshark"), os);
    if (!ToolLocator::canStart(program)) {
        QString text = QStringLiteral("Wireshark could not be started: \"%1\" is no executable "
                                      "program")
                           .arg(WIRESHARK_PATH);
        if (os == QLatin1String("linux") || os == QLatin1String("macos"))
            text += QStringLiteral(", and there is no wireshark on the search path (PATH)");
        text += QStringLiteral(". Write the path of the Wireshark program as the second line of ")
            + SETTINGS_PATH + QLatin1Char('.');
        MessageAsker::ask(QMessageBox::Warning, QStringLiteral("Failed to start Wireshark"), text,
                          QMessageBox::Ok, dialogParent());
        return;
    }

    // The capture beside the log: only a trailing ".csv" gives way.
    QString capture = glyphStore ? glyphStore->fileName : QString();
    if (capture.endsWith(QLatin1String(".csv")))
        capture.chop(4);
    capture += QStringLiteral(".pcap");
    if (QFileInfo(capture).isFile()) {
        qDebug("pcap file exists");
    } else {
        qDebug("pcap file does not exists, opening dialog");
        const QString chosen = FileAsker::openFileName(dialogParent(), QStringLiteral("Open PCAP"), capture,
                                                       QStringLiteral("*.pcap"));
        if (!chosen.isEmpty())
            capture = chosen;
        else
            qDebug("Open file failed");
    }

    const TList<QSharedPointer<Packet>> events = packets ? *packets : selectedPackets();
    if (capture.isEmpty() || events.isEmpty())
        return;

    // Made before the job is given any of it (the job's fields are written
    // anew by every run).
    const QString filter = buildDisplayFilter(events);
    work->packets = events;
    work->pcapFile = capture;
    work->program = program;
    work->filter = filter;
    // Busy from here on: a job waiting in the queue is not finished.
    work->finished.store(false, std::memory_order_release);
    threadPool->start(work);
}

void ControlWidget::preprocessCSV()
{
    HandlerGuard::run([this] { preprocess(); });
}

void ControlWidget::preprocess()
{
    const QString title = QStringLiteral("Failed to preprocess");
    const auto refuse = [this, &title](const QString& why) {
        MessageAsker::ask(QMessageBox::Warning, title, QStringLiteral("Preprocessing failed: ") + why,
                          QMessageBox::Ok, dialogParent());
    };
    const QString folder = QDir::homePath();
    const QString directory = FileAsker::existingDirectory(
        dialogParent(), QStringLiteral("Select directory for processing"), folder);
    if (directory.isEmpty())
        return;
    // Before any file is asked for: a folder without conversation files
    // ends here, and no output is touched.
    const QString problem = ConversationPreprocessor::checkDirectory(directory);
    if (!problem.isEmpty()) {
        refuse(problem);
        return;
    }

    // Rules files are written as Latin-1; their text ends at a zero byte.
    // A blank file is a set without rules; a file of which no rule reads
    // ends the action, and skipped lines are told about once per file.
    const auto readRules = [folder, this, &refuse](const QString& caption, const QString& kind,
                                                   TList<Rule>* rules) {
        const QString path =
            FileAsker::openFileName(dialogParent(), caption, folder, QStringLiteral("KOLM file (*.kolm)"));
        if (path.isEmpty())
            return false;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            refuse(QStringLiteral("could not read ") + path + QStringLiteral(": ") + file.errorString());
            return false;
        }
        RulesFile read = RulesFile::fromBytes(file.readAll());
        if (read.rules.isEmpty() && !read.blank()) {
            QString why = QStringLiteral("no rule could be read from the ") + kind
                          + QStringLiteral(" rules file ") + path;
            if (read.skipped > 0)
                why += QStringLiteral(" (") + read.skippedText() + QLatin1Char(')');
            refuse(why);
            return false;
        }
        if (read.skipped > 0) {
            MessageAsker::ask(QMessageBox::Warning, QStringLiteral("PreProcess CSV"),
                              QStringLiteral("%1 rules file %2: %3; %4 read")
                                  .arg(kind == QLatin1String("rewrite") ? QStringLiteral("Rewrite")
                                                                        : QStringLiteral("Filter"),
                                       path, read.skippedText(), read.rulesText()),
                              QMessageBox::Ok, dialogParent());
        }
        *rules = std::move(read.rules);
        return true;
    };
    TList<Rule> rewriteRules;
    if (!readRules(QStringLiteral("Load Rewrite rules:"), QStringLiteral("rewrite"), &rewriteRules))
        return;
    TList<Rule> filterRules;
    if (!readRules(QStringLiteral("Load Filter rules:"), QStringLiteral("filter"), &filterRules))
        return;
    const QString output =
        FileAsker::saveFileName(dialogParent(), QStringLiteral("Save CSV"), folder, QStringLiteral("*.csv"));
    if (output.isEmpty())
        return;

    QString error;
    {
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        OnExit cursor([]() { QGuiApplication::restoreOverrideCursor(); });
        // Out of memory, the run puts the store's tables, glyphs and rules
        // back as they were, leaves the old output, and fails.
        try {
            ConversationPreprocessor preprocessor(directory, rewriteRules, filterRules, output, this);
            preprocessor.run();
            error = preprocessor.errorText;
        } catch (const std::bad_alloc&) {
            error = QStringLiteral("ran out of memory");
        }
    }
    // The rewrite rules are the session's rules now: every view shows and
    // applies them, as after a rules import.
    emit rulesChanged(nullptr);
    if (EventWidget* matrix = focusedEventWidget()) {
        ReloadEvent reload(this, {});
        QCoreApplication::sendEvent(matrix, &reload);
    }
    if (!error.isEmpty())
        refuse(error);
}

// ---------------------------------------------------------------------------
// Routing

// The routing's own work (reading the event's arguments, collecting its
// targets, the question about a long selection) ends its running out of
// memory here; each target's handling of the event is its own, guarded by
// its own event(), and the base class's handling is Qt's.
bool ControlWidget::event(QEvent* e)
{
    if (!e)
        return false;
    switch (int(e->type())) {
    case ATTRIBUTEEVENT:
        routeAttribute();
        return QWidget::event(e);
    case RENDEREVENT:
        if (routeRender(e))
            e->accept();
        return QWidget::event(e);
    case SCROLLEVENT:
        routeScroll(e);
        e->accept();
        return true;
    case CONTEXTEVENT:
        routeContext(e);
        e->accept();
        return true;
    case PACKETSEVENT:
        routePackets(e);
        e->accept();
        return true;
    case FOCUSEVENT:
        routeFocus(e);
        return QWidget::event(e);
    case GLYPHSEVENT:
        routeGlyphs(e);
        e->accept();
        return true;
    default:
        return QWidget::event(e);
    }
}

void ControlWidget::routeAttribute()
{
    if (!mainWindow)
        return;
    // Called, not sent: each view's refill runs under a guard of its own,
    // so that one running out of memory leaves the others to theirs.
    if (OptionsWidget* options = mainWindow->leftOptions)
        HandlerGuard::run([options] { options->setupAxisCombos(); });
    SettingsWidget* side = mainWindow->settingsWidget;
    if (side) {
        HandlerGuard::run([side] { side->refreshRules(); });
        if (AttributeWidget* panel = side->attributeWidget)
            HandlerGuard::run([panel] { panel->refresh(QString()); });
    }
}

bool ControlWidget::routeRender(QEvent* e)
{
    auto* re = static_cast<RenderEvent*>(e);
    bool left = false;
    bool right = false;
    // The targets, left first; collected without allocating.
    QObject* targets[2] = {nullptr, nullptr};
    bool known = false;
    const bool read = HandlerGuard::run([&] {
        if (!mainWindow || re->args.size() < 2 || !parseSide(re->args.at(1), &left, &right))
            return;
        const QString kind = re->args.at(0).toString();
        if (kind == QLatin1String("LineWidget")) {
            known = true;
            RibbonLineWidget* ribbons[2] = {left ? mainWindow->leftLineRibbon : nullptr,
                                            right ? mainWindow->rightLineRibbon : nullptr};
            for (int i = 0; i < 2; ++i) {
                if (ribbons[i] && ribbons[i]->chart && ribbons[i]->chart->isActive())
                    targets[i] = ribbons[i]->chart;
            }
        } else if (kind == QLatin1String("OverviewWidget")) {
            known = true;
            EventOverviewWidget* overviews[2] = {left ? overviewOf(mainWindow->leftOverviewRibbon) : nullptr,
                                                 right ? overviewOf(mainWindow->rightOverviewRibbon) : nullptr};
            for (int i = 0; i < 2; ++i) {
                if (overviews[i] && overviews[i]->isActive())
                    targets[i] = overviews[i];
            }
        }
    });
    if (!read || !known)
        return false;
    for (QObject* target : targets)
        deliver(target, e);
    return true;
}

bool ControlWidget::routeScroll(QEvent* e)
{
    auto* se = static_cast<ScrollEvent*>(e);
    bool left = false;
    bool right = false;
    if (!mainWindow || se->args.isEmpty() || !parseSide(se->args.at(0), &left, &right))
        return false;
    for (EventOverviewWidget* overview :
         {left ? overviewOf(mainWindow->leftOverviewRibbon) : nullptr,
          right ? overviewOf(mainWindow->rightOverviewRibbon) : nullptr}) {
        if (overview && overview->isActive())
            deliver(overview, e);
    }
    return true;
}

void ControlWidget::routeContext(QEvent* e)
{
    if (!mainWindow)
        return;
    QObject* sender = eventSender(e);
    SettingsWidget* side = mainWindow->settingsWidget;
    EventWidget* left = eventView(mainWindow->leftEventRibbon);
    if (left && !isFrom<EventWidget>(sender)) {
        qDebug("set Eventwidget");
        deliver(left, e);
    }
    if (mainWindow->navigationWidget && !isFrom<NavigationWidget>(sender)) {
        qDebug("set attributeWidget");
        deliver(mainWindow->navigationWidget, e);
    }
    if (side && side->attributeWidget && !isFrom<AttributeWidget>(sender)) {
        qDebug("set attributeWidget");
        deliver(side->attributeWidget, e);
    }
    if (side && side->conversationWidget && !isFrom<ConversationWidget>(sender)) {
        qDebug("set conversationWidget");
        deliver(side->conversationWidget, e);
    }
    SequenceWidget* sequence = mainWindow->sequenceRibbon ? mainWindow->sequenceRibbon->sequenceView
                                                          : nullptr;
    if (sequence && !isFrom<SequenceWidget>(sender)) {
        qDebug("set sequenceWidget");
        deliver(sequence, e);
    }
}

void ControlWidget::routePackets(QEvent* e)
{
    if (!mainWindow)
        return;
    QObject* sender = eventSender(e);
    SettingsWidget* side = mainWindow->settingsWidget;
    const auto* pe = static_cast<PacketsEvent*>(e);
    bool hover = false;
    if (!HandlerGuard::run([pe, &hover] {
            hover = !pe->args.isEmpty() && pe->args.last().toString() == QLatin1String("hover");
        }))
        return;
    // The left event view when it took the event as its selection.
    EventWidget* selecting = nullptr;
    if (!isFrom<EventWidget>(sender)) {
        EventWidget* left = eventView(mainWindow->leftEventRibbon);
        EventWidget* right = eventView(mainWindow->rightEventRibbon);
        if (left && left->isActive()) {
            deliver(left, e);
            if (!hover)
                selecting = left;
        } else if (SPLIT_FLAG && right) {
            deliver(right, e);
        }
    }
    if (side && side->attributeWidget && !isFrom<AttributeWidget>(sender))
        deliver(side->attributeWidget, e);
    if (side && side->conversationWidget && !isFrom<ConversationWidget>(sender))
        deliver(side->conversationWidget, e);
    RibbonLineWidget* lines = mainWindow->leftLineRibbon;
    if (lines && lines->chart && lines->chart->isActive() && !isFrom<LineChart>(sender)) {
        // Both charts out of memory say so once.
        LineChart::OneMessage one;
        deliver(lines->chart, e);
        deliver(lines->miniView, e);
    }
    if (SPLIT_FLAG)
        return;
    RibbonSequenceWidget* ribbon = mainWindow->sequenceRibbon;
    if (ribbon && ribbon->active && ribbon->sequenceView && !isFrom<SequenceWidget>(sender)) {
        deliver(ribbon->sequenceView, e);
        // A selection made in another view is the event view's selection
        // now: its sequences go to the sequence view as the event view's
        // own glyphs event would take them. A selection made in the
        // sequence view leaves the view as it is.
        if (selecting) {
            std::unique_ptr<GlyphsEvent> glyphs;
            HandlerGuard::run([&] { glyphs.reset(new GlyphsEvent(selecting, selecting->selectedSequences, pe->args)); });
            if (glyphs)
                routeGlyphs(glyphs.get());
        }
    }
}

void ControlWidget::routeFocus(QEvent* e)
{
    if (!mainWindow)
        return;
    QObject* sender = eventSender(e);
    RibbonEventWidget* leftRibbon = mainWindow->leftEventRibbon;
    RibbonEventWidget* rightRibbon = mainWindow->rightEventRibbon;
    EventWidget* left = eventView(leftRibbon);
    const bool fromLeft = sender && sender == left;
    // Both ribbons repaint their panel; the event itself reaches only a group in use.
    for (RibbonEventWidget* ribbon : {leftRibbon, rightRibbon}) {
        if (ribbon)
            HandlerGuard::run([ribbon, fromLeft] { ribbon->fillBackground(fromLeft); });
    }
    // The focus moves to the other event view.
    if (fromLeft)
        deliver(SPLIT_FLAG ? eventView(rightRibbon) : nullptr, e);
    else
        deliver(left, e);
}

void ControlWidget::routeGlyphs(QEvent* e)
{
    auto* ge = static_cast<GlyphsEvent*>(e);
    if (!mainWindow)
        return;
    QObject* sender = ge->sender;
    if (!isFrom<EventWidget>(sender))
        deliver(eventView(mainWindow->leftEventRibbon), e);
    if (isFrom<SequenceWidget>(sender))
        return;
    RibbonSequenceWidget* ribbon = mainWindow->sequenceRibbon;
    if (!ribbon || !ribbon->active)
        return;

    bool send = false;
    HandlerGuard::run([&] {
        int longest = 0;
        QSet<int> lengths;
        for (const TList<BinItem*>& sequence : ge->sequences.items) {
            longest = qMax(longest, sequence.size());
            lengths.insert(sequence.size());
        }
        if (longest <= 300 && lengths.size() <= 50) {
            send = true;
            return;
        }
        // Anything that runs out of memory while the question is up (the
        // question's own box among it) answers it with No.
        const unsigned long failures = HandlerGuard::failures();
        const QMessageBox::StandardButton answer = MessageAsker::ask(
            QMessageBox::Question, PRODUCT_NAME,
            QStringLiteral("Selection limit for sequence view is exceeded: limit, Alignment will "
                           "take time. Continue?"),
            QMessageBox::Yes | QMessageBox::No, dialogParent());
        send = answer == QMessageBox::Yes && HandlerGuard::failures() == failures;
        if (send)
            qDebug("Yes was clicked");
        else
            qDebug("Yes was *not* clicked");
    });
    if (send)
        deliver(ribbon->sequenceView, e);
}
