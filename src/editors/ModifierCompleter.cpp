#include "editors/ModifierCompleter.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "core/HandlerGuard.h"

namespace {

enum Profile { Star = 0, Plus = 1, Custom = 2 };

} // namespace

ModifierCompleter::ModifierCompleter(ControlWidget* owner, QWidget* parent)
    : QDialog(parent), owner(owner)
{
    profileCombo = new QComboBox(this);
    profileCombo->addItems({QStringLiteral("Star (*)"), QStringLiteral("Plus (+)"),
                            QStringLiteral("Custom")});
    startEdit = new QLineEdit(QStringLiteral("0"), this);
    startEdit->setValidator(new QIntValidator(0, 100, startEdit));
    endEdit = new QLineEdit(QStringLiteral("*"), this);
    endEdit->setValidator(new QIntValidator(0, 100, endEdit));
    endEdit->setEnabled(false);
    infiniteBox = new QCheckBox(QStringLiteral("Infinite:"), this);
    infiniteBox->setChecked(true);
    okButton = new QPushButton(QStringLiteral("Ok"), this);
    cancelButton = new QPushButton(QStringLiteral("Cancel"), this);

    auto* grid = new QGridLayout(this);
    grid->addWidget(new QLabel(QStringLiteral("Operator:"), this), 0, 1);
    grid->addWidget(profileCombo, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Start:"), this), 2, 0);
    grid->addWidget(startEdit, 2, 1);
    grid->addWidget(new QLabel(QStringLiteral("End:"), this), 3, 0);
    grid->addWidget(endEdit, 3, 1);
    grid->addWidget(infiniteBox, 3, 2);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(okButton);
    buttons->addWidget(cancelButton);
    grid->addLayout(buttons, 4, 0, 1, 3);

    connect(profileCombo, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &ModifierCompleter::loadProfile);
    connect(infiniteBox, &QCheckBox::clicked, this, &ModifierCompleter::enable);
    connect(startEdit, &QLineEdit::textChanged, this, &ModifierCompleter::updateButtons);
    connect(endEdit, &QLineEdit::textChanged, this, &ModifierCompleter::updateButtons);
    connect(okButton, &QPushButton::clicked, this, &ModifierCompleter::setValue);
    connect(cancelButton, &QPushButton::clicked, this, &ModifierCompleter::reject);

    updateButtons();
    loadProfile(Star);
}

bool ModifierCompleter::readNumber(const QLineEdit* edit, int* value)
{
    QString text = edit->text();
    int pos = 0;
    const QValidator* validator = edit->validator();
    if (text.isEmpty() || (validator && validator->validate(text, pos) != QValidator::Acceptable))
        return false;
    bool ok = false;
    *value = text.toInt(&ok, 10);
    return ok;
}

// The slots are the dialog's handlers: each ends its own running out of
// memory. Their work sets the fields and the "Ok" button only, which the
// next change of a field sets again.

void ModifierCompleter::setValue()
{
    HandlerGuard::run([this] {
        min = startEdit->text().toInt(nullptr, 10);
        max = infiniteBox->isChecked() ? -1 : endEdit->text().toInt(nullptr, 10);
        accept();
    });
}

void ModifierCompleter::enable()
{
    HandlerGuard::run([this] {
        const bool infinite = infiniteBox->isChecked();
        endEdit->setEnabled(!infinite);
        endEdit->setText(infinite ? QStringLiteral("*") : QString());
        updateButtons();
    });
}

void ModifierCompleter::loadProfile(int index)
{
    HandlerGuard::run([&] { showProfile(index); });
}

void ModifierCompleter::showProfile(int index)
{
    if (index == Custom) {
        infiniteBox->setChecked(false);
        startEdit->clear();
        endEdit->clear();
        startEdit->setEnabled(true);
        endEdit->setEnabled(true);
    } else {
        startEdit->setText(index == Plus ? QStringLiteral("1") : QStringLiteral("0"));
        startEdit->setEnabled(false);
        endEdit->setEnabled(false);
        infiniteBox->setChecked(true);
    }
    enable();
    updateButtons();
}

void ModifierCompleter::updateButtons()
{
    HandlerGuard::run([this] { enableOk(); });
}

void ModifierCompleter::enableOk()
{
    if (startEdit->text().isEmpty() || endEdit->text().isEmpty()) {
        okButton->setEnabled(false);
        return;
    }
    // Numbers are read only from input the fields' validators accept; an
    // open end ("*" with "Infinite:" checked) needs no number.
    int start = 0;
    int end = 0;
    const bool startRead = readNumber(startEdit, &start);
    const bool infinite = infiniteBox->isChecked();
    const bool endRead = infinite || readNumber(endEdit, &end);
    if (!startRead || !endRead) {
        okButton->setEnabled(false);
        return;
    }
    if (profileCombo->currentIndex() != Custom || infinite) {
        okButton->setEnabled(true);
        return;
    }
    // The start must be strictly below the end: equal bounds are refused.
    okButton->setEnabled(start < end && end >= 1);
}
