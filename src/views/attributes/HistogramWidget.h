#pragma once

// Incomplete: a stand-in for the histogram dialog; it keeps the attribute
// and the events it is given and shows the attribute's name.

#include "core/TList.h"

#include <QDialog>
#include <QSharedPointer>
#include <QString>

class ControlWidget;
class Packet;

class HistogramWidget : public QDialog
{
    Q_OBJECT

public:
    HistogramWidget(const QString& attribute, ControlWidget* control,
                    const TList<QSharedPointer<Packet>>& packets, QWidget* parent);

    QString attribute;
    ControlWidget* control;
    TList<QSharedPointer<Packet>> packets;
};
