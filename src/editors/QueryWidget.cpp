#include "editors/QueryWidget.h"

#include <QComboBox>
#include <QCompleter>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QRegularExpression>
#include <QStringListModel>
#include <QTextCursor>
#include <QVBoxLayout>

#include <memory>

#include "app/ControlWidget.h"
#include "app/MessageAsker.h"
#include "core/DisplayText.h"
#include "core/HandlerGuard.h"
#include "editors/TextEdit.h"
#include "model/GlyphStore.h"
#include "patterns/ConditionParser.h"
#include "patterns/ParseNode.h"
#include "views/events/EventWidget.h"

QueryWidget::QueryWidget(ControlWidget* owner, const QString& text, QWidget* parent)
    : QDialog(parent), owner(owner)
{
    completer = new QCompleter(this);
    completer->setModelSorting(QCompleter::CaseInsensitivelySortedModel);
    completer->setCaseSensitivity(Qt::CaseInsensitive);
    completer->setWrapAround(false);

    textEdit = new TextEdit(owner, this, this);
    textEdit->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    matchCombo = new QComboBox(this);
    matchCombo->addItems({QStringLiteral("For all"), QStringLiteral("Exists")});
    matchCombo->setCurrentIndex(0);

    // The row goes into its layout as soon as it is made: a constructor that
    // throws frees what its layouts hold.
    auto* layout = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    layout->addLayout(row);
    row->setSpacing(5);
    row->addWidget(new QLabel(QStringLiteral("Query:"), this));
    row->addWidget(textEdit);
    row->addWidget(new QLabel(QStringLiteral("Match:"), this));
    row->addWidget(matchCombo);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons);
    setMinimumHeight(200);
    setMinimumWidth(500);

    connect(matchCombo, &QComboBox::currentTextChanged, this, &QueryWidget::setMatchMode);
    connect(buttons, &QDialogButtonBox::accepted, this, &QueryWidget::isValid);
    connect(buttons, &QDialogButtonBox::rejected, this, &QueryWidget::reject);

    textEdit->setPlainText(text);
    // Completion works at the end of the text.
    textEdit->moveCursor(QTextCursor::End);
}

GlyphStore* QueryWidget::store() const
{
    return owner ? owner->glyphStore : nullptr;
}

bool QueryWidget::parses(const QString& text) const
{
    GlyphStore* s = store();
    std::unique_ptr<ParseNode> tree(
        ConditionParser::parse(text, s ? &s->attributeColumns : nullptr));
    return tree != nullptr;
}

void QueryWidget::setMode(int mode)
{
    if (mode == 0 || mode == 1)
        matchCombo->setCurrentIndex(mode);
    // A mode the combo does not offer stays until the user picks one.
    matchMode = mode;
}

void QueryWidget::setMatchMode(QString)
{
    matchMode = matchCombo->currentIndex();
}

void QueryWidget::isValid()
{
    // Out of memory the dialog stays open, as for a text that does not
    // parse, and the user is told.
    HandlerGuard::run([this] {
        if (!parses(textEdit->toPlainText().trimmed())) {
            MessageAsker::ask(QMessageBox::Warning, QStringLiteral("Filter by query"),
                              QStringLiteral("The proposed query is invalid"), QMessageBox::Ok, this);
            return;
        }
        accept();
    });
}

QStringList QueryWidget::completionWords(int kind, const QString& token) const
{
    QStringList words;
    GlyphStore* s = store();
    switch (kind) {
    case 1:
        if (s)
            words = s->attributeNames(false).toQList();
        // The completer searches its sorted lists as sorted without case.
        words.sort(Qt::CaseInsensitive);
        break;
    case 2:
        words = QStringList{QStringLiteral("=="), QStringLiteral("!="), QStringLiteral("<"),
                            QStringLiteral(">"), QStringLiteral("<="), QStringLiteral(">="),
                            QStringLiteral("?="), QStringLiteral("!?="), QStringLiteral("?\?=")};
        break;
    case 3: {
        Context* context = owner ? owner->currentContext() : nullptr;
        if (s && context) {
            const THash<TVariant, int> values = s->histogram(token, context, -1);
            words.reserve(values.size());
            // A value too long to be shown whole is left out: the list would
            // lay out all of its text, and a shortened entry would complete
            // to a text that is not the value.
            for (auto it = values.begin(); it != values.end(); ++it)
                if (DisplayText::fits(it.key()))
                    words.append(it.key().toString());
            words.sort(Qt::CaseInsensitive);
        }
        break;
    }
    case 4:
        words = QStringList{QStringLiteral(")")};
        break;
    default:
        break;
    }
    return words;
}

void QueryWidget::updateCompleter()
{
    const QString text = textEdit->toPlainText().trimmed();
    if (text.isEmpty())
        lastKind = 0;

    // What may follow the end of the text. The values of the focused
    // matrix's context are checked unless a range set holds the empty name;
    // without a focused matrix there is no context to check against.
    GlyphStore* s = store();
    const Context* context = nullptr;
    if (s && owner && !s->rangeAttributes.contains(QString())
        && !s->extraRangeAttributes.contains(QString())) {
        if (EventWidget* view = owner->focusedEventWidget())
            context = view->context;
    }
    int kind = 0;
    QString token;
    delete ConditionParser::parse(text, s ? &s->attributeColumns : nullptr, &kind, &token,
                                  context);

    auto* model = qobject_cast<QStringListModel*>(completer->model());
    if (!model)
        model = new QStringListModel(completer);
    model->setStringList(completionWords(kind, token));
    if (completer->model() != model)
        completer->setModel(model);
    // The operators keep their own order: searched as sorted, a prefix
    // would miss some of them.
    completer->setModelSorting(kind == 2 ? QCompleter::UnsortedModel
                                         : QCompleter::CaseInsensitivelySortedModel);

    // The word at the end: after a trailing blank it is the empty one.
    const QStringList parts = textEdit->toPlainText().split(
        QRegularExpression(QStringLiteral("[ \t\n\r]+")));
    QString prefix = parts.isEmpty() ? QString() : parts.last().trimmed();
    if (kind != lastKind)
        prefix.clear();
    lastKind = kind;
    if (kind == 1 || kind == 3) {
        for (const QString& mark : {QStringLiteral(")"), QStringLiteral("("), QStringLiteral("|"),
                                    QStringLiteral("&"), QStringLiteral("!")})
            prefix.remove(mark, Qt::CaseSensitive);
    }

    completer->setCaseSensitivity(Qt::CaseInsensitive);
    completer->setCompletionPrefix(prefix);
    textEdit->setCompleter(completer);
}
