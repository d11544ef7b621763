#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

class QWidget;

// Where the program puts the windows it places itself (the glyph popup, the
// picker's hint, dialogs opened near the pointer): always inside the
// available geometry (the screen without task bars and docks) of the screen
// under the pointer, so that no part of them opens off screen.
class ScreenPlacement
{
public:
    // Distance between the pointer and a popup placed beside it.
    static constexpr int POINTER_GAP = 5;

    // The available geometry of the screen that holds the global point, or
    // of the primary screen when none does; empty without any screen.
    static QRect availableGeometryAt(const QPoint& global);

    // The rectangle moved, not resized, to lie inside the area; one wider or
    // taller than the area starts at its left or top edge. An empty area
    // leaves the rectangle where it is.
    static QRect fitInto(const QRect& rect, const QRect& area);

    // A rectangle for a popup of the given size beside the pointer, inside
    // the area, that never holds the pointer: below and right of it by the
    // gap, on the left or above where the popup does not fit there, slid
    // along the screen's edge where it fits on one side only. A popup that
    // fits on no side is cut to the largest room beside the pointer.
    static QRect besidePointer(const QPoint& pointer, const QSize& size, const QRect& area, int gap = POINTER_GAP);

    // Moves the window's top-left corner to the global point and then onto
    // the screen under the pointer (its frame counted once it is shown).
    static void moveOnScreen(QWidget* window, const QPoint& topLeft, const QPoint& pointer);
    // As above, for the pointer where it is now.
    static void moveOnScreen(QWidget* window, const QPoint& topLeft);

    // Gives the window the geometry of besidePointer on the screen under the
    // pointer (global).
    static void placeBesidePointer(QWidget* window, const QPoint& pointer);

    // Moves a window (before it is shown, so that it opens there) centred
    // over the other's window, as a dialog opens over its parent, and onto
    // the screen that holds that window's centre. Nothing when the other is
    // null or not shown.
    static void centreOver(QWidget* window, const QWidget* other);
};
