#pragma once

#include <QListWidget>
#include <QString>

#include "core/THash.h"
#include "core/TList.h"

#include <vector>

class ControlWidget;
class GlyphStore;
class QDrag;
class QDragEnterEvent;
class QDragMoveEvent;
class QDropEvent;
class QModelIndex;

// The side panel's list of the rules of the glyph store, in matching order:
// per row a toggle of the rule's match flag, a box for its visible flag, a
// picture of the rule and its name, with the rule's readable text as tool
// tip. Toggling, ticking and reordering by drag and drop change the store's
// rule list at once and send one ReloadEvent to the main view group's
// event matrix; a double click opens the rule in a rule editor window.
//
// The list is rebuilt as a whole (refreshRules); rows are never edited in
// place. A row looks its rule up by name for the picture, tool tip and
// match flag. The first rule keeps its place: it is never dragged and
// nothing is dropped onto it.
//
// Its handlers end their own running out of memory: a rule's flags and the
// rules' order change whole or not at all, and the list then shows what it
// showed.
class RuleListWidget : public QListWidget
{
    Q_OBJECT

public:
    RuleListWidget(ControlWidget* owner, QWidget* parent);

    // Rebuilds the rows from the glyph store's rules.
    void refreshRules();
    // Builds one row per name, with the box of row i ticked by visible[i].
    // Out of memory (std::bad_alloc) the list shows what it showed.
    void setRules(const TList<QString>& names, const QList<bool>& visible);
    QSize sizeHint() const override;

    // The type under which a drag carries the dragged row's index.
    static const QString MIME_TYPE;

    ControlWidget* owner = nullptr;
    int pictureWidth = 200;
    int rowHeight = 45;
    THash<QWidget*, int> rowMap{false};   // a row's container widget -> its index
    bool pressed = false;

public slots:
    // Moves the rule at `start` to index min(row, rules - 1); the other
    // arguments are not read.
    void dragdrop(const QModelIndex& parent, int start, int end, const QModelIndex& destination,
                  int row);
    void setVisibility();
    void setMatch();
    void openEditor(QListWidgetItem* item);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    // Runs a drag this list started, with the move action.
    virtual void execDrag(QDrag* drag);
    // The object a drag comes from, as the drag manager knows it.
    virtual QObject* dragSource(const QDropEvent* event) const;

private:
    struct Row;
    // The rows of setRules, made before the list changes.
    struct Rows
    {
        Rows();
        Rows(Rows&&) = default;
        ~Rows();
        std::vector<Row> rows;
        THash<QWidget*, int> map{false};
        TList<QString> names;
    };
    Rows prepareRows(const TList<QString>& names, const QList<bool>& visible);
    // Shows made rows in place of the list's; nothing of its own to allocate.
    void showRows(Rows& rows);
    GlyphStore* store() const;
    // Accepts a drag of this list's own rows, ignores any other.
    void acceptOwnRows(QDragMoveEvent* event);
    // dropEvent's work after the list's own handling.
    void drop(QDropEvent* event);
    // The store index of the rule a row stands for, or -1 when the row is
    // unknown or the store no longer holds a rule of the row's name there.
    int storeIndex(int row) const;
    void sendReload();

    TList<QString> names;   // the name of every row, by row index
};
