#pragma once

#include <QDialog>

class ControlWidget;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

// The repetition dialog of the pattern editor: star, plus, or a custom range
// from a start to an end (or open-ended with "Infinite:"). After an accepted
// end the opener reads min and max (max -1: unbounded).
class ModifierCompleter : public QDialog
{
    Q_OBJECT

public:
    ModifierCompleter(ControlWidget* owner, QWidget* parent = nullptr);

    ControlWidget* owner = nullptr;
    QComboBox* profileCombo = nullptr;   // "Star (*)", "Plus (+)", "Custom"
    QLineEdit* startEdit = nullptr;
    QLineEdit* endEdit = nullptr;
    QCheckBox* infiniteBox = nullptr;
    int min = 0;
    int max = -1;
    QPushButton* okButton = nullptr;
    QPushButton* cancelButton = nullptr;

public slots:
    void setValue();
    void enable();
    void loadProfile(int index);
    void updateButtons();

private:
    void showProfile(int index);
    void enableOk();
    // The field's number when the validator accepts its text.
    static bool readNumber(const QLineEdit* edit, int* value);
};
