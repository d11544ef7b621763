#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>

class ControlWidget;
class GlyphStore;
class QComboBox;
class QCompleter;
class TextEdit;

// The condition dialog of a glyph: the condition expression, coloured by its
// validity and completed word by word (attribute names, comparison operators,
// the values of an attribute, a closing parenthesis), and whether every
// event ("For all") or one event ("Exists") of a group must satisfy it. Ok
// accepts a valid text only. The opener reads the text and the match mode.
class QueryWidget : public QDialog
{
    Q_OBJECT

public:
    QueryWidget(ControlWidget* owner, const QString& text, QWidget* parent = nullptr);

    // The candidates for a completion kind: 1 attribute names, 2 comparison
    // operators, 3 the values of the attribute `token`, 4 ")".
    QStringList completionWords(int kind, const QString& token) const;
    // Starts the dialog at a glyph's match mode (0 "For all", 1 "Exists").
    void setMode(int mode);
    // Whether the condition parser reads the text against the store's
    // attributes.
    bool parses(const QString& text) const;

    TextEdit* textEdit = nullptr;
    ControlWidget* owner = nullptr;
    QCompleter* completer = nullptr;
    int matchMode = 0;
    QComboBox* matchCombo = nullptr;
    int lastKind = 0;            // the completion kind of the last update

public slots:
    void updateCompleter();
    void setMatchMode(QString text);
    void isValid();

private:
    GlyphStore* store() const;
};
