#pragma once

// Incomplete: a stand-in for the event matrix; it keeps the flags and the
// context the shell and the router hand it and paints its name.

#include "core/IList.h"
#include "core/TList.h"
#include "items/BinItem.h"
#include "items/ImgWidget.h"
#include "views/events/GNode.h"

#include <QList>
#include <QSharedPointer>
#include <QString>

class BinItem;
class Context;
class OptionsWidget;
class Packet;

class EventWidget : public ImgWidget
{
    Q_OBJECT

public:
    EventWidget(ControlWidget* control, OptionsWidget* options, int side, QWidget* parent);
    ~EventWidget() override;

    bool isActive() const;
    void setActive(bool active, bool reload);
    void setContext(Context* context);
    // Marks the view focused; with announce, tells the control in a FocusEvent.
    void setFocused(bool focused, bool announce);
    TList<QSharedPointer<Packet>> selectedPackets() const;
    // The glyph picker of the pattern editor's ribbon. Incomplete: built
    // with the matrix interaction.
    void setPickerMode();
    void exitPickerMode(BinItem glyph);

    void reset() override;
    bool renderOverlay() override;
    bool render(bool overlay, bool update, QImage* target) override;
    void setSize(int w, int h) override;
    QSize sizeHint() const override;

    // Single-linkage clustering of glyph sequences; the id at position p
    // belongs to the sequence at position p. The only metric is
    // "Eucledian" (another name leaves every distance 0). Returns a new tree
    // that the caller owns (deleting the root frees it), or null for no ids.
    static GNode<int>* hierarchicalClustering(QString metric,
                                              const IList<TList<BinItem*>>& sequences,
                                              QList<int> ids);
    // Mismatches over the common length plus the difference of the lengths.
    // With multi-match on (showMulti) a position adds 1 - |A & B| / |B| for
    // the name sets of the two items (own name and children's names), so
    // the distance is not symmetric.
    static double sequenceDistance(const TList<BinItem*>& a, const TList<BinItem*>& b);
    // Sequence distances computed since the start of the process, by either
    // function above.
    static quint64 sequenceDistanceCount();

    bool focused = false;
    bool active = true;
    ControlWidget* control;
    int side;
    Context* context = nullptr;
    OptionsWidget* options;

signals:
    void picked(BinItem glyph);

public slots:
    void copyTo();
    void copyFrom();

protected:
    bool event(QEvent* event) override;
};
