#pragma once

#include "core/THash.h"
#include "core/TList.h"

#include <QSharedPointer>
#include <QString>
#include <QTreeWidget>

class ControlWidget;
class Context;
class Packet;
class QIODevice;

// The tree of contexts in the side panel: the root context "All" of the
// loaded log and every context derived from it (the saved selections), each
// with its numbers of events and traces and two coverage bars. A left click
// makes a context the active one for every view; a right click on a name
// broadcasts that context's events as a selection. It also saves the event
// matrix's selection as a new context and exports it as a CSV file.
class NavigationWidget : public QTreeWidget
{
    Q_OBJECT

public:
    NavigationWidget(ControlWidget* control, QWidget* parent);

    // Makes the root context the active one and rebuilds every row.
    void refresh();
    // Rebuilds every row (and every coverage bar) from the root context;
    // the bold row follows `activeContext`. The rows are made apart from
    // the view: out of memory it throws, with the tree emptied (the rows
    // shown before may name contexts that are gone).
    void rebuildTree();

    bool event(QEvent* event) override;
    QSize sizeHint() const override;

    // What saveNewSel() does once it has the selection: asks for a name and
    // creates the child context of `parent` over `selection` (optionally
    // with a boolean event attribute that marks the selected events of the
    // root). Returns the new context, or null when nothing was created.
    // Throws nothing for want of memory: out of memory the contexts, the
    // attributes, the counter of proposals and the tree are as they were,
    // and a box says so (or the box of a handler that ran out of memory
    // while the name dialog was up).
    Context* saveSelection(Context* parent, const TList<QSharedPointer<Packet>>& selection);

    // What exportCSV() does once it has a file name: writes the selection
    // to `path` and tells the user how it went. True when the file was
    // written completely. It is written beside an old file of that name and
    // takes its place only then: after any failure the old file stays as it
    // was, and a new one is not left behind.
    bool exportSelection(const QString& path, const TList<QSharedPointer<Packet>>& selection);

    // The attributes a selection file holds for these events, as indices
    // into `names` (the store's event attribute names), in index order:
    // those some event has a value for, except the derived ones.
    static TList<int> exportedColumns(const TList<QString>& names,
                                      const TList<QSharedPointer<Packet>>& selection);
    // Writes the selection file (header, then one line per event) to an
    // open device in pieces, so that memory does not grow with the file.
    // False as soon as a write fails.
    static bool writeSelection(QIODevice* device, const TList<QString>& names,
                               const TList<QSharedPointer<Packet>>& selection);

    // The context shown by each row; refilled by every rebuild.
    THash<QTreeWidgetItem*, Context*> items;
    // The bold row (that of `activeContext`), or null.
    QTreeWidgetItem* activeItem = nullptr;
    ControlWidget* control = nullptr;   // not owned
    int contextColumn = 0;
    int eventsColumn = 1;
    int tracesColumn = 2;
    int coverageColumn = 3;
    int traceColumn = 4;
    // The context whose row is bold; null until the first refresh().
    Context* activeContext = nullptr;   // not owned

public slots:
    // Saves the focused event matrix's selection as a child of its context.
    void saveNewSel();
    // Asks for a file and writes the focused event matrix's selection to it.
    void exportCSV();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    struct Rows;
    Rows buildRows() const;
    // Puts the rows in place of those shown; out of memory it throws with
    // the tree emptied.
    void showRows(Rows rows);
    void putRows(Rows& rows);
    void press(QMouseEvent* event);
    // The saving itself, once named: the new context joins the tree, with
    // its attribute, only when nothing more can fail.
    Context* saveContext(Context* parent, const QString& name, const TList<QSharedPointer<Packet>>& selection,
                         bool asAttribute);
    void tellNotSaved(const QString& name) noexcept;
    Context* rootContext() const;
    // After a click: when the main event matrix shows a context with
    // unsaved changes, asks whether to keep them, and rebuilds the tree.
    void settleModifiedContext();
};

// Numbers the proposed names of saved selections ("Selection 0", ...);
// rises only when a proposal is accepted unchanged.
extern int selectionCounter;
