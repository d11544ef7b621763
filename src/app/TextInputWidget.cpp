#include "app/TextInputWidget.h"

#include "app/MessageAsker.h"
#include "core/HandlerGuard.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

TextInputWidget::TextInputWidget(ControlWidget* control, QWidget* parent)
    : QDialog(parent)
    , control(control)
{
    auto* layout = new QVBoxLayout(this);

    // The row is the dialog's layout's as soon as it is made: out of memory
    // after it, the dialog's taking down frees it.
    auto* row = new QHBoxLayout;
    layout->addLayout(row);
    row->setSpacing(5);
    row->addWidget(new QLabel(QStringLiteral("name:"), this));
    nameEdit = new QLineEdit(this);
    nameEdit->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    row->addWidget(nameEdit);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons);

    attributeBox = new QCheckBox(QStringLiteral("add as attribute: "), this);
    attributeBox->setChecked(true);
    layout->addWidget(attributeBox);

    setMinimumSize(500, 100);

    connect(buttons, &QDialogButtonBox::accepted, this, &TextInputWidget::isValid);
    connect(buttons, &QDialogButtonBox::rejected, this, &TextInputWidget::reject);
}

void TextInputWidget::isValid()
{
    // OK's slot. Out of memory the dialog stays open (and a caller that
    // runs it sees the failure).
    HandlerGuard::run([this] {
        if (nameEdit->text().isEmpty()) {
            MessageAsker::ask(QMessageBox::Warning, QStringLiteral("Create selection"),
                              QStringLiteral("The proposed name is invalid"), QMessageBox::Ok, this);
            return;
        }
        accept();
    });
}
