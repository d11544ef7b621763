#include "app/MainWindow.h"

#include "app/AppGlobals.h"
#include "app/ControlWidget.h"
#include "events/EventType.h"
#include "app/MessageAsker.h"
#include "app/NavigationWidget.h"
#include "events/RenderEvent.h"
#include "app/SettingsWidget.h"
#include "core/Constants.h"
#include "core/HandlerGuard.h"
#include "core/SideFile.h"
#include "views/charts/RibbonLineWidget.h"
#include "views/events/EventWidget.h"
#include "views/events/OptionsWidget.h"
#include "views/events/RibbonEventOverviewWidget.h"
#include "views/events/RibbonEventWidget.h"
#include "views/sequences/RibbonSequenceWidget.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSpacerItem>
#include <QSplitter>
#include <QStatusBar>
#include <QTextCodec>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>
#include <memory>
#include <new>

namespace {

// Two tool paths never need more; a larger file is read only this far.
constexpr qint64 MAX_SETTINGS_BYTES = 1 << 20;

// Bytes up to the first zero byte.
QByteArray upToNul(QByteArray bytes)
{
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    return bytes;
}

// UTF-8, or Latin-1 when the bytes are not valid UTF-8 (files written by
// older versions), so that no path is read as replacement characters.
QString decodeSettings(const QByteArray& bytes)
{
    QTextCodec* utf8 = QTextCodec::codecForName("UTF-8");
    QTextCodec::ConverterState state;
    const QString text = utf8->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars > 0 || state.remainingChars > 0)
        return QString::fromLatin1(bytes);
    return text;
}

} // namespace

MainWindow::MainWindow()
    : QMainWindow(nullptr)
{
    qRegisterMetaType<EventType>("EventType");

    // 1.
    setMinimumSize(1397, 800);
    // 2.
    controlWidget = new ControlWidget(this);
    // 3.
    createMenus();
    // 4.
    setupFont();
    // 5.
    loadSettings(SETTINGS_PATH, this);

    // 6. The views, each with the controller.
    auto* central = new QWidget;
    auto* layout = new QHBoxLayout(central);
    navigationWidget = new NavigationWidget(controlWidget, central);
    leftOptions = new OptionsWidget(controlWidget, nullptr);
    rightOptions = new OptionsWidget(controlWidget, nullptr);
    sequenceRibbon = new RibbonSequenceWidget(controlWidget, central);
    leftEventRibbon = new RibbonEventWidget(controlWidget, leftOptions, 0, central);
    EventWidget* leftView = leftEventRibbon->view;
    leftOverviewRibbon = new RibbonEventOverviewWidget(controlWidget, leftView, central);
    leftLineRibbon = new RibbonLineWidget(controlWidget, leftView, central);
    rightEventRibbon = new RibbonEventWidget(controlWidget, rightOptions, 1, central);
    EventWidget* rightView = rightEventRibbon->view;
    rightOverviewRibbon = new RibbonEventOverviewWidget(controlWidget, rightView, central);
    rightLineRibbon = new RibbonLineWidget(controlWidget, rightView, central);
    leftEventRibbon->overviewRibbon = leftOverviewRibbon;
    leftEventRibbon->lineRibbon = leftLineRibbon;
    rightEventRibbon->overviewRibbon = rightOverviewRibbon;
    rightEventRibbon->lineRibbon = rightLineRibbon;
    settingsWidget = new SettingsWidget(controlWidget, central);
    leftOptions->view = leftView;
    rightOptions->view = rightView;

    // 7.
    splitter = new QSplitter(this);
    splitter->addWidget(settingsWidget);
    splitter->addWidget(leftEventRibbon);
    rightEventRibbon->setActive(false, false);
    leftLineRibbon->setActive(false, false);
    rightLineRibbon->setActive(false, false);
    leftOverviewRibbon->setActive(false, false);
    rightOverviewRibbon->setActive(false, false);

    // 8. The copy buttons between the two groups.
    auto* copyTo = new QPushButton(QIcon(QStringLiteral(":/Resources/righttriangle.png")), QString());
    auto* copyFrom = new QPushButton(QIcon(QStringLiteral(":/Resources/lefttriangle.png")), QString());
    connect(copyTo, &QPushButton::clicked, leftView, &EventWidget::copyTo);
    connect(copyFrom, &QPushButton::clicked, leftView, &EventWidget::copyFrom);
    copyColumn = new QWidget;
    copyColumn->setFixedWidth(30);
    copyColumn->setMinimumWidth(30);
    auto* column = new QVBoxLayout(copyColumn);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(1);
    column->addItem(new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Expanding));
    column->addWidget(copyTo);
    column->addWidget(copyFrom);
    column->addItem(new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Expanding));
    copyColumn->setVisible(SPLIT_FLAG);

    // 9.
    splitter->addWidget(copyColumn);
    splitter->addWidget(rightEventRibbon);
    splitter->addWidget(sequenceRibbon);
    sequenceRibbon->setActive(true, true);
    layout->addWidget(splitter);

    // 10. The router runs from here on, before the window is complete.
    leftView->setFocused(true, true);
    connect(splitter, &QSplitter::splitterMoved, this, &MainWindow::splitterMoved);

    // 11.
    lineChartAction->setChecked(leftLineRibbon->isActive());
    overviewAction->setChecked(leftOverviewRibbon->isActive());
    optionsAction->setChecked(true);

    // 12.
    controlWidget->loadData({}, {}, {});
    leftOverviewRibbon->setActive(false, true);

    // 13.
    setWindowTitle(PRODUCT_NAME);
    setWindowIcon(QIcon(QStringLiteral(":/Vexmark.ico")));
    QApplication::setApplicationName(PRODUCT_NAME + QLatin1Char(' ') + VERSION_STRING);

    // 14.
    QApplication::setStyle(QStringLiteral("fusion"));

    // 15. A missing style sheet is no error: the look is then Qt's own.
    QFile sheet(QDir::currentPath() + QStringLiteral("/simple.stylesheet"));
    QString style;
    if (sheet.open(QIODevice::ReadOnly))
        style = QString::fromLatin1(upToNul(sheet.readAll()));
    qApp->setStyleSheet(style);

    // 16.
    setCentralWidget(central);
}

MainWindow::~MainWindow()
{
    // The views go first: they may still reach the controller and its store.
    delete takeCentralWidget();
    delete leftOptions;
    delete rightOptions;
    delete controlWidget;
}

QSize MainWindow::sizeHint() const
{
    return QSize(1280, 600);
}

void MainWindow::createMenus()
{
    fileMenu = menuBar()->addMenu(tr("&File"));
    QAction* open = fileMenu->addAction(QStringLiteral("Open CSV"));
    connect(open, &QAction::triggered, controlWidget, &ControlWidget::openPCAP);
    QAction* convert = fileMenu->addAction(QStringLiteral("Convert PCAP"));
    connect(convert, &QAction::triggered, controlWidget, &ControlWidget::convertPCAP);
    QAction* xes = fileMenu->addAction(QStringLiteral("Export XES"));
    connect(xes, &QAction::triggered, controlWidget, &ControlWidget::exportXes);
    QAction* preprocess = fileMenu->addAction(QStringLiteral("PreProcess CSV"));
    connect(preprocess, &QAction::triggered, controlWidget, &ControlWidget::preprocessCSV);

    viewMenu = menuBar()->addMenu(tr("&View"));
    lineChartAction = viewMenu->addAction(QStringLiteral("Show linechart"));
    lineChartAction->setCheckable(true);
    lineChartAction->setStatusTip(QStringLiteral("Shows line chart of attributes of interest"));
    connect(lineChartAction, &QAction::triggered, this, &MainWindow::showLineChart);
    demoAction = viewMenu->addAction(QStringLiteral("Control Demo Lights"));
    demoAction->setCheckable(true);
    demoAction->setStatusTip(
        QStringLiteral("Turn this feature on to send event data to external LAN light"));
    connect(demoAction, &QAction::triggered, this, &MainWindow::showDemo);
    overviewAction = viewMenu->addAction(QStringLiteral("Show minimap"));
    overviewAction->setCheckable(true);
    overviewAction->setStatusTip(QStringLiteral("Shows an overview widget of event log"));
    connect(overviewAction, &QAction::triggered, this, &MainWindow::showOverview);
    optionsAction = viewMenu->addAction(QStringLiteral("Show options"));
    optionsAction->setCheckable(true);
    optionsAction->setStatusTip(
        QStringLiteral("Shows the options tab for the specification of rules"));
    connect(optionsAction, &QAction::triggered, this, &MainWindow::showOptions);

    aboutAction = new QAction(QStringLiteral("&About"), this);
    aboutAction->setStatusTip(QStringLiteral("About this application"));
    connect(aboutAction, &QAction::triggered, this, &MainWindow::about);
    helpMenu = menuBar()->addMenu(QStringLiteral("&Help"));
    helpMenu->addAction(aboutAction);
}

void MainWindow::setupFont()
{
    QFont font;
    qDebug() << font.family();
    font.setPointSize(8);
    APPLICATION_FONT = font;
    QApplication::setFont(APPLICATION_FONT);
}

// ---------------------------------------------------------------------------
// Settings file

QString MainWindow::defaultToolFolder(const QString& os)
{
    if (os == QLatin1String("windows"))
        return QStringLiteral("C:/Program Files/Wireshark/");
    if (os == QLatin1String("linux") || os == QLatin1String("macos"))
        return QStringLiteral("/usr/bin/");
    return QString();
}

QString MainWindow::defaultTsharkPath(const QString& os)
{
    const QString folder = defaultToolFolder(os);
    if (folder.isEmpty())
        return QString();
    return folder + (os == QLatin1String("windows") ? QStringLiteral("tshark.exe")
                                                    : QStringLiteral("tshark"));
}

QString MainWindow::defaultWiresharkPath(const QString& os)
{
    const QString folder = defaultToolFolder(os);
    if (folder.isEmpty())
        return QString();
    return folder + (os == QLatin1String("windows") ? QStringLiteral("wireshark.exe")
                                                    : QStringLiteral("wireshark"));
}

void MainWindow::loadSettings()
{
    loadSettings(SETTINGS_PATH);
}

void MainWindow::loadSettings(const QString& path, MainWindow* window)
{
    const auto warn = [window](const QString& title, const QString& text) {
        if (window)
            window->untold.append({title, text});
        else
            MessageAsker::notify(QMessageBox::Warning, title, text);
    };
    const QString os = osName();
    const QString tshark = defaultTsharkPath(os);
    const QString wireshark = defaultWiresharkPath(os);

    QFile file(path);
    if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        const QString text = decodeSettings(upToNul(file.read(MAX_SETTINGS_BYTES)));
        QStringList lines = text.split(QLatin1Char('\n'));
        for (QString& line : lines) {
            // A file written on Windows ends its lines with CR LF.
            if (line.endsWith(QLatin1Char('\r')))
                line.chop(1);
        }
        TSHARK_PATH = !lines.isEmpty() ? lines.at(0) : tshark;
        WIRESHARK_PATH = lines.size() > 1 ? lines.at(1) : wireshark;
        return;
    }

    warn(QStringLiteral("Failed to load settings") + QDir::currentPath(),
         QStringLiteral("Load failed: settings file could not be opened"));

    // The Windows build keeps its built-in backslash paths for this run;
    // elsewhere the defaults are the paths in use.
    if (os != QLatin1String("windows") && !tshark.isEmpty()) {
        TSHARK_PATH = tshark;
        WIRESHARK_PATH = wireshark;
    }

    // Written beside whatever stands at the path (a file that could not be
    // read), which it replaces only once complete.
    bool written = false;
    try {
        written = writeSettings(path, tshark, wireshark);
    } catch (const std::bad_alloc&) {
        // Ran out of memory: not written, the box below says so.
    }
    if (!written) {
        warn(QStringLiteral("Failed to create default settings no permissions?"),
             QStringLiteral("Save failed: file could not be written to"));
    }
}

bool MainWindow::saveSettings()
{
    return saveSettings(SETTINGS_PATH);
}

bool MainWindow::saveSettings(const QString& path)
{
    if (path.isEmpty())
        return false;
    // Written beside the old file, which it replaces only once complete:
    // after any failure (a full disk, running out of memory) the old file
    // stays as it was.
    bool saved = false;
    try {
        saved = writeSettings(path, TSHARK_PATH, WIRESHARK_PATH);
    } catch (const std::bad_alloc&) {
        // Ran out of memory: not written, the box below says so.
    }
    if (saved)
        return true;
    try {
        MessageAsker::notify(QMessageBox::Warning, QStringLiteral("Failed to save settings"),
                             QStringLiteral("Save failed: file could not be written to"));
    } catch (const std::bad_alloc&) {
        std::fputs("Failed to save settings: Save failed: file could not be written to\n", stderr);
    }
    return false;
}

bool MainWindow::writeSettings(const QString& path, const QString& tshark, const QString& wireshark)
{
    SideFile file(path);
    if (!file.open(true))
        return false;
    if (!file.write((tshark + QLatin1Char('\n') + wireshark).toUtf8()) || !file.commit()) {
        qDebug().noquote() << QStringLiteral("settings not saved to %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Slots

// The slots run from the menus and the splitter: each ends its own running
// out of memory. What they change is one flag or one view's state, set
// before anything is sent on.
void MainWindow::about()
{
    HandlerGuard::run([this] {
        MessageAsker::ask(
            QMessageBox::NoIcon, QStringLiteral("About Lumivane"),
            QStringLiteral("The application <b>Lumivane</b> demonstrates how to use regular "
                           "expression for multivariate data analysis.<br /><b>Version</b>: ")
                + VERSION_STRING
                + QStringLiteral("<br /><b>Authors</b>: the Lumivane developers"
                                 "<br /><b>Contact</b>: see the README that comes with the program"),
            QMessageBox::Ok, this);
    });
}

void MainWindow::settings()
{
}

void MainWindow::splitterMoved(int, int)
{
    HandlerGuard::run([this] {
        const QList<int> sizes = splitter->sizes();
        if (sizes.isEmpty() || !sequenceRibbon)
            return;
        const int last = sizes.last();
        if (last != 0 && !sequenceRibbon->active)
            sequenceRibbon->setActive(true, false);
        else if (last == 0 && sequenceRibbon->active)
            sequenceRibbon->setActive(false, false);
    });
}

namespace {

// Sends the render request of `target` ("OverviewWidget", "LineWidget")
// for both sides; the router and the views end their own failures, the
// request itself is made here.
void requestRender(MainWindow* window, const QString& target)
{
    std::unique_ptr<RenderEvent> event;
    if (!HandlerGuard::run([&] { event.reset(new RenderEvent(window, {target, 2})); }))
        return;
    QCoreApplication::sendEvent(window->controlWidget, event.get());
}

} // namespace

void MainWindow::showOverview(bool on)
{
    HandlerGuard::run([this, on] { leftOverviewRibbon->setActive(on, true); });
    if (on)
        requestRender(this, QStringLiteral("OverviewWidget"));
}

void MainWindow::showLineChart(bool on)
{
    HandlerGuard::run([this, on] { leftLineRibbon->setActive(on, true); });
    if (on)
        requestRender(this, QStringLiteral("LineWidget"));
}

void MainWindow::showOptions(bool on)
{
    HandlerGuard::run([this, on] { settingsWidget->setVisible(on); });
}

void MainWindow::showDemo(bool on)
{
    DEMO_LIGHTS = on;
}

void MainWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (untold.isEmpty())
        return;
    // From the event loop, once the window is on the screen: the boxes are
    // its own and open over it. (MessageAsker::notify ends its own running
    // out of memory; the boxes are said on stderr then.)
    HandlerGuard::run([this] {
        QTimer::singleShot(0, this, [this]() {
            QList<Untold> messages;
            messages.swap(untold);
            for (const Untold& message : messages)
                MessageAsker::notify(QMessageBox::Warning, message.title, message.text, this);
        });
    });
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    QMainWindow::closeEvent(event);
    if (!event->isAccepted())
        return;
    // Editor and search windows have no parent; closing them too lets the
    // program end with its main window. Out of memory they stay open.
    HandlerGuard::run([this] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w != this && w->isVisible() && w->isWindow())
                w->close();
        }
    });
}
