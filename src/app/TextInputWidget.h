#pragma once

#include <QDialog>

class ControlWidget;
class QCheckBox;
class QLineEdit;

// The name dialog: saving a selection, turning a found pattern into an
// attribute. The caller puts the proposed name into `nameEdit`, runs the
// dialog with exec() and, when it was accepted, reads the name and whether
// `attributeBox` is ticked.
class TextInputWidget : public QDialog
{
    Q_OBJECT

public:
    TextInputWidget(ControlWidget* control, QWidget* parent = nullptr);

    QLineEdit* nameEdit = nullptr;
    ControlWidget* control = nullptr;   // kept for the caller, not used here
    QCheckBox* attributeBox = nullptr;  // "add as attribute: ", ticked at start

public slots:
    // OK: an empty name is refused with a warning and the dialog stays
    // open; any other name accepts it.
    void isValid();
};
