#include "editors/SearchWidget.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPushButton>
#include <QVBoxLayout>

#include <new>

#include "app/ControlWidget.h"
#include "app/MessageAsker.h"
#include "core/HandlerGuard.h"
#include "editors/MapWidget.h"
#include "editors/RibbonMapWidget.h"
#include "events/FindEvent.h"
#include "patterns/ParseNode.h"
#include "views/events/EventWidget.h"

SearchWidget::SearchWidget(ControlWidget* owner, QWidget* parent)
    : QWidget(parent), owner(owner)
{
    // A new window per use: closing it frees it and its pattern.
    QWidget::setAttribute(Qt::WA_DeleteOnClose);
    setMouseTracking(true);

    findButton = new QPushButton(QStringLiteral("Find"), this);
    cancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    editor = new RibbonMapWidget(false, owner, this);
    tracesBox = new QCheckBox(QStringLiteral("Find traces"), this);
    longestBox = new QCheckBox(QStringLiteral("Longest match"), this);
    attributeBox = new QCheckBox(QStringLiteral("Create attribute"), this);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(editor);
    auto* options = new QHBoxLayout;
    options->addWidget(tracesBox);
    options->addWidget(longestBox);
    options->addWidget(attributeBox);
    layout->addLayout(options);
    auto* actions = new QHBoxLayout;
    actions->addWidget(findButton);
    actions->addWidget(cancelButton);
    layout->addLayout(actions);

    connect(findButton, &QPushButton::clicked, this, &SearchWidget::findRule);
    connect(cancelButton, &QPushButton::clicked, this, &SearchWidget::close);
    connect(tracesBox, &QCheckBox::clicked, this, &SearchWidget::setConv);
    connect(longestBox, &QCheckBox::clicked, this, &SearchWidget::setLongest);
    connect(attributeBox, &QCheckBox::clicked, this,
            static_cast<void (SearchWidget::*)(bool)>(&SearchWidget::setAttribute));
}

SearchWidget::~SearchWidget()
{
    delete pattern;
}

void SearchWidget::findRule()
{
    // The new pattern is made before the last one goes: out of memory the
    // window stays open with its pattern, and nothing was searched.
    ParseNode* next = nullptr;
    try {
        next = editor->map->removeEpsilons();
    } catch (const std::bad_alloc&) {
        MessageAsker::ask(QMessageBox::Warning, QStringLiteral("Failed to find events"),
                          QStringLiteral("The find window ran out of memory while copying the pattern; nothing "
                                         "was searched."),
                          QMessageBox::Ok, window());
        return;
    }
    delete pattern;
    pattern = next;
    if (!pattern)
        return;
    // The matrix ends its own failures, with its own message. When anything
    // ran out of memory on the way, the window stays open with its pattern,
    // for the find to be tried again.
    HandlerGuard::run([this] {
        const unsigned long failures = HandlerGuard::failures();
        FindEvent event(this, pattern, findTraces, !longestMatch, createAttribute, {});
        // Straight to the matrix of the main view group, not through the router.
        if (EventWidget* matrix = owner ? owner->focusedEventWidget() : nullptr)
            QCoreApplication::sendEvent(matrix, &event);
        if (HandlerGuard::failures() == failures)
            close();
    });
}

void SearchWidget::setConv(bool on)
{
    findTraces = on;
}

void SearchWidget::setLongest(bool on)
{
    longestMatch = on;
}

void SearchWidget::setAttribute(bool on)
{
    createAttribute = on;
}

void SearchWidget::keyPressEvent(QKeyEvent* event)
{
    QWidget::keyPressEvent(event);
    // The editor ends its own failures.
    editor->map->keyPressEvent(event);
}
