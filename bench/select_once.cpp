// Selects every event of the event matrix's first tile and clears the
// selection again, once, in this fresh process, and prints one line:
//
//   select_ms=… clear_ms=… selected=… events=… traces=… select_settled_ms=… clear_settled_ms=…
//
//   select_once PATH GROUPING
//
// The log is loaded into the whole main window through the import dialog
// (grouped by GROUPING, the dialog's other choices as it makes them), with
// the event matrix offscreen at 1600 x 900. Then two presses on a glyph of the
// first tile make the double click that selects the tile's events, and a
// click on empty space, once its timer has run out, clears the selection.
//
// select_ms and clear_ms are what the GUI thread spends on the press (or
// the click) and on the events it leaves behind, up to the repaint of the
// window: the time the window does not answer. The settled figures run on
// until the side panel's histogram jobs have ended and their results are
// on screen. selected is the number of events selected by the double click.
//
// The exit status is 0 when the double click selected events and the click
// cleared them, 1 when not, 2 when the run cannot be done on this log (a
// line on stderr says why), and 3 when a message box that tells of a
// failure of the load or of the selection ended the run at once
// ("select_once: message: TITLE: TEXT" on stderr).

#include "BenchSupport.h"

#include "app/ControlWidget.h"
#include "app/MainWindow.h"
#include "app/SettingsWidget.h"
#include "model/Context.h"
#include "views/attributes/AttributeWidget.h"
#include "views/attributes/JobPool.h"
#include "views/attributes/ConversationWidget.h"
#include "views/events/BinCell.h"
#include "views/events/EventWidget.h"
#include "views/events/RibbonEventWidget.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QThreadPool>
#include <QTimer>

#include <cstdio>

namespace {

using benchsupport::firstGlyphAt;
using benchsupport::settle;

constexpr const char* PROGRAM = "select_once";

int usage(const char* problem)
{
    benchsupport::refuse(PROGRAM, QString::fromUtf8(problem));
    return 2;
}

void press(QWidget* view, const QPointF& at, QEvent::Type type)
{
    QMouseEvent e(type, at, view->mapToGlobal(at.toPoint()), Qt::LeftButton,
                  type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view, &e);
}

void click(QWidget* view, const QPointF& at)
{
    press(view, at, QEvent::MouseButtonPress);
    press(view, at, QEvent::MouseButtonRelease);
}

// A point of the matrix that no glyph covers (a click there clears).
bool emptySpace(const EventWidget* view, QPointF* at)
{
    for (int y = view->height() - 3; y > 0; y -= 7) {
        for (int x = view->width() - 3; x > 0; x -= 7) {
            const QPointF p(x, y);
            bool covered = false;
            for (const BinCell* cell : view->cells) {
                if (cell->firstLine < 0)
                    continue;
                for (const TList<BinItem*>& row : cell->visibleRows) {
                    for (const BinItem* item : row)
                        if (item && item->visible && p.x() >= item->parentLeft() - 6
                            && p.x() <= item->parentRight() + 6 && p.y() >= item->parentTop() - 6
                            && p.y() <= item->parentBottom() + 6) {
                            covered = true;
                            break;
                        }
                    if (covered)
                        break;
                }
                if (covered)
                    break;
            }
            if (!covered) {
                *at = p;
                return true;
            }
        }
    }
    return false;
}

void waitForPanels(MainWindow& window)
{
    SettingsWidget* side = window.settingsWidget;
    for (AttributeWidget* panel : {side ? static_cast<AttributeWidget*>(side->attributeWidget) : nullptr,
                                   side ? static_cast<AttributeWidget*>(side->conversationWidget) : nullptr})
        if (panel)
            panel->pool->waitForDone(-1);
    QThreadPool::globalInstance()->waitForDone(-1);
    QCoreApplication::processEvents();
}

} // namespace

int main(int argc, char** argv)
{
    // The window reads and writes its settings file in the folder it starts in.
    const int scratch = benchsupport::runInScratchFolder(argc, argv);
    if (scratch >= 0)
        return scratch;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    Application app(argc, argv);
    QString path;
    QString grouping;
    if (!benchsupport::takeLogArguments(PROGRAM, &path, &grouping))
        return 2;

    int status = 1;
    {
        MainWindow window;
        // Once nothing is left to do: the measurements see only the
        // selection's own work.
        EventWidget* view = benchsupport::showLogWindow(PROGRAM, window, grouping);
        if (!view)
            return 2;
        const Context* root = view->context;
        const int events = root ? root->packets.size() : 0;
        const int traces = root ? root->conversations.size() : 0;

        QPointF glyph;
        if (!firstGlyphAt(view, &glyph))
            return usage("the matrix shows no glyph");
        QPointF empty;
        if (!emptySpace(view, &empty))
            return usage("the matrix has no empty space to click");

        // The double click: the first press starts the click timer, the
        // second one selects the glyph's row and its whole tile.
        click(view, glyph);
        QElapsedTimer clock;
        clock.start();
        press(view, glyph, QEvent::MouseButtonPress);
        QCoreApplication::processEvents();
        const double selectMs = double(clock.nsecsElapsed()) / 1e6;
        waitForPanels(window);
        const double selectSettledMs = double(clock.nsecsElapsed()) / 1e6;
        press(view, glyph, QEvent::MouseButtonRelease);
        const int selected = int(view->selectedPacketSet.size());
        settle(300);

        // A single click on empty space, which runs when the click timer
        // runs out.
        click(view, empty);
        view->doubleClickTimer->stop();
        clock.restart();
        view->doubleClickTimeOut();
        QCoreApplication::processEvents();
        const double clearMs = double(clock.nsecsElapsed()) / 1e6;
        waitForPanels(window);
        const double clearSettledMs = double(clock.nsecsElapsed()) / 1e6;
        const bool cleared = view->selectedPacketSet.isEmpty();

        std::printf("select_ms=%.1f clear_ms=%.1f selected=%d events=%d traces=%d select_settled_ms=%.1f "
                    "clear_settled_ms=%.1f\n",
                    selectMs, clearMs, selected, events, traces, selectSettledMs, clearSettledMs);
        std::fflush(stdout);
        status = selected > 0 && cleared ? 0 : 1;
        if (!cleared)
            std::fprintf(stderr, "select_once: the click on empty space left events selected\n");
    }
    benchsupport::stopAnswering();
    return status;
}
