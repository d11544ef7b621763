#pragma once

#include "events/EventType.h"

#include <QMainWindow>

class ControlWidget;
class NavigationWidget;
class OptionsWidget;
class QAction;
class QCloseEvent;
class QMenu;
class QShowEvent;
class QSplitter;
class QWidget;
class RibbonEventOverviewWidget;
class RibbonEventWidget;
class RibbonLineWidget;
class RibbonSequenceWidget;
class SettingsWidget;

// The one main window: builds the controller, the menus, the font, the
// tool paths from the settings file, every view with its ribbon, the
// splitter that lays them out, and loads the empty log.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // The numbers of the custom events, also reachable as MainWindow::EventType.
    using EventType = ::EventType;

    MainWindow();
    ~MainWindow() override;

    QSize sizeHint() const override;

    void createMenus();
    void setupFont();
    // Reads the tool paths from the settings file, or writes the file with
    // the defaults of this system when it cannot be read. The boxes that
    // say so show at once, or, with `window`, over that window once it is
    // shown (a box raised while the window is built would open behind it).
    static void loadSettings();
    static void loadSettings(const QString& path, MainWindow* window = nullptr);
    // Writes the current tool paths; called once the user located a tool.
    // The file is written beside the old one and takes its place only once
    // complete; after any failure the old file stays as it was, a box says
    // so and the result is false.
    static bool saveSettings();
    static bool saveSettings(const QString& path);
    // Default tool folder of an operating system name ("" when unknown).
    static QString defaultToolFolder(const QString& os);
    static QString defaultTsharkPath(const QString& os);
    static QString defaultWiresharkPath(const QString& os);

    // Created first; no Qt parent, lives until the process ends.
    ControlWidget* controlWidget = nullptr;
    OptionsWidget* leftOptions = nullptr;
    OptionsWidget* rightOptions = nullptr;
    SettingsWidget* settingsWidget = nullptr;
    RibbonSequenceWidget* sequenceRibbon = nullptr;
    RibbonEventWidget* leftEventRibbon = nullptr;
    RibbonLineWidget* leftLineRibbon = nullptr;
    RibbonEventWidget* rightEventRibbon = nullptr;
    RibbonLineWidget* rightLineRibbon = nullptr;
    NavigationWidget* navigationWidget = nullptr;
    RibbonEventOverviewWidget* leftOverviewRibbon = nullptr;
    RibbonEventOverviewWidget* rightOverviewRibbon = nullptr;
    QSplitter* splitter = nullptr;
    // The column of the two copy buttons (hidden while the split flag is off).
    QWidget* copyColumn = nullptr;
    QMenu* fileMenu = nullptr;
    QMenu* helpMenu = nullptr;
    QMenu* viewMenu = nullptr;
    QAction* aboutAction = nullptr;
    QAction* overviewAction = nullptr;
    QAction* lineChartAction = nullptr;
    QAction* optionsAction = nullptr;
    QAction* demoAction = nullptr;

public slots:
    void about();
    void settings();
    void splitterMoved(int pos, int index);
    void showOverview(bool on);
    void showLineChart(bool on);
    void showOptions(bool on);
    void showDemo(bool on);

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // Writes the two tool paths to the settings file at `path`; false
    // when it could not be written whole (the old file then stays).
    static bool writeSettings(const QString& path, const QString& tshark, const QString& wireshark);
    // The settings file's warnings, held until the window is shown.
    struct Untold
    {
        QString title;
        QString text;
    };
    QList<Untold> untold;
};
