#pragma once

#include "core/TList.h"

#include <QColor>
#include <QList>
#include <QPair>
#include <QString>
#include <QWidget>

// A colour legend: a title and a column of colour swatches with their
// labels, or, in range mode, a vertical colour ramp between two labelled
// values; optionally followed by an "info:" section with the "alert" sample.
class LegendWidget : public QWidget
{
public:
    explicit LegendWidget(QWidget* parent = nullptr);

    // Swatches for the entries whose label is not empty, in order.
    void setEntries(const TList<QPair<QString, QColor>>& entries, const QString& title,
                    bool infoShown);
    // A ramp from the minimum's colour (colours[0], bottom) to the maximum's
    // (colours[1], top); a missing colour is grey.
    void setRange(double minimum, double maximum, const QList<QColor>& colours,
                  const QString& title, bool infoShown);

    QSize sizeHint() const override;

    TList<QPair<QString, QColor>> entries;
    bool rangeMode = false;
    QString title;
    bool infoShown = false;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // The legend onto the widget.
    void draw();
};
