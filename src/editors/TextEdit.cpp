#include "editors/TextEdit.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QKeyEvent>
#include <QScrollBar>
#include <QTextCursor>

#include <algorithm>

#include "core/HandlerGuard.h"
#include "editors/QueryWidget.h"

TextEdit::TextEdit(ControlWidget* owner, QueryWidget* query, QWidget* parent)
    : QTextEdit(parent), owner(owner), query(query)
{
    connect(this, &QTextEdit::textChanged, this, &TextEdit::updateBox);
}

void TextEdit::setCompleter(QCompleter* completer)
{
    if (boundCompleter)
        disconnect(boundCompleter, nullptr, this, nullptr);
    boundCompleter = completer;
    if (!completer)
        return;
    completer->setWidget(this);
    completer->setCompletionMode(QCompleter::PopupCompletion);
    completer->setCaseSensitivity(Qt::CaseInsensitive);
    connect(completer, QOverload<const QString&>::of(&QCompleter::activated), this,
            &TextEdit::insertCompletion);
}

// The handlers below end their own running out of memory: the text stays
// the user's, and the colour and the completions follow it again at the
// next change.

void TextEdit::insertCompletion(QString completion)
{
    HandlerGuard::run([&] {
        if (!boundCompleter || boundCompleter->widget() != this)
            return;
        // Only the rest of the word that is not typed yet, and one blank.
        const int missing =
            std::max(0, completion.length() - boundCompleter->completionPrefix().length());
        QTextCursor cursor = textCursor();
        cursor.insertText(completion.right(missing) + QLatin1Char(' '));
        setTextCursor(cursor);
    });
}

void TextEdit::updateBox()
{
    HandlerGuard::run([this] { showValidity(); });
}

void TextEdit::showValidity()
{
    const bool valid = query && query->parses(toPlainText());
    setStyleSheet(QStringLiteral("background-color: ")
                  + (valid ? QStringLiteral("rgb(128,255,128)")
                           : QStringLiteral("rgb(255,128,128)")));
    if (query)
        query->updateCompleter();

    // The popup opens under the cursor, once the dialog is on screen.
    if (boundCompleter && isVisible()) {
        QAbstractItemView* popup = boundCompleter->popup();
        QRect area = cursorRect();
        area.setWidth(popup->sizeHintForColumn(0) + popup->verticalScrollBar()->sizeHint().width());
        boundCompleter->complete(area);
        if (boundCompleter->completionModel()->rowCount() > 0)
            popup->setCurrentIndex(boundCompleter->completionModel()->index(0, 0));
    }
    update();
}

void TextEdit::focusInEvent(QFocusEvent* event)
{
    HandlerGuard::run([this] {
        if (boundCompleter)
            boundCompleter->setWidget(this);
    });
    QTextEdit::focusInEvent(event);
}

void TextEdit::keyPressEvent(QKeyEvent* event)
{
    bool popupShown = false;
    HandlerGuard::run([&] { popupShown = boundCompleter && boundCompleter->popup()->isVisible(); });
    if (popupShown) {
        switch (event->key()) {
        case Qt::Key_Escape:
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
        case Qt::Key_Return:
        case Qt::Key_Enter:
            // The popup takes these.
            event->ignore();
            return;
        default:
            break;
        }
    }
    QTextEdit::keyPressEvent(event);
}
