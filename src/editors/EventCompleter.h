#pragma once

#include <QDialog>
#include <QIcon>
#include <QString>
#include <QVector>

#include "core/TList.h"
#include "items/BinItem.h"

class QEvent;
class QKeyEvent;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QMouseEvent;
class QPushButton;

// The searchable list from which the pattern editor picks the glyph of a
// node: "Search:" narrows the list to the names holding the text (case
// counts), a click on an entry picks it and accepts, "Close" and Escape
// reject, and a press outside the popup accepts with whatever was picked
// (nothing, when nothing was). With new glyphs allowed, "Add new..." is the
// first entry. Entries may share a name (a rule's first glyph with its own
// condition beside the stored glyph): `picked` tells which one was picked.
// Its handlers end their own running out of memory; the opener takes the
// popup's result only when nothing ran out of memory while it was open.
class EventCompleter : public QDialog
{
    Q_OBJECT

public:
    EventCompleter(const TList<BinItem>& glyphs, void* data, bool allowNew, QWidget* parent);

    QLineEdit* searchEdit = nullptr;
    QListWidget* list = nullptr;
    TList<BinItem> glyphs;          // offered, "Add new..." first when allowed
    void* data = nullptr;           // handed over by the pattern editor, unused here
    QWidget* editor = nullptr;      // the pattern editor that opened the popup
    QString result;                 // the name picked
    int picked = -1;                // the entry picked, an index of glyphs; -1 for none
    QPushButton* closeButton = nullptr;
    QString addNewLabel = QStringLiteral("Add new...");
    QString filter;                 // the current search text
    double iconSize = 40;

public slots:
    void createGlyph();
    void unload(QListWidgetItem* item);
    void updateFilter(QString text);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    // The index in glyphs of the entry shown on row r under the current
    // filter; -1 for none.
    int indexOfRow(int row) const;
    // The list of the entries under the current filter; with `shown`, the
    // filter becomes `shown`. Out of memory (std::bad_alloc) the list and
    // the filter stay as they were.
    void fillList();
    void fillList(const QString& shown);
    const QIcon& iconOf(int index);

    QVector<QIcon> icons;           // drawn once per offered glyph, on first use
};
