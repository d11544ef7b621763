#pragma once

#include <QTextEdit>

class ControlWidget;
class QCompleter;
class QFocusEvent;
class QKeyEvent;
class QueryWidget;

// The text field of the condition dialog: colours itself by the validity of
// its text and offers completions of the word at its end in a popup.
class TextEdit : public QTextEdit
{
    Q_OBJECT

public:
    TextEdit(ControlWidget* owner, QueryWidget* query, QWidget* parent = nullptr);

    // Binds the completer (null: none); the previous one is disconnected.
    void setCompleter(QCompleter* completer);
    QCompleter* completer() const { return boundCompleter; }

    ControlWidget* owner = nullptr;
    QueryWidget* query = nullptr;

public slots:
    void insertCompletion(QString completion);
    void updateBox();

protected:
    void focusInEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // updateBox's work.
    void showValidity();

    QCompleter* boundCompleter = nullptr;
};
