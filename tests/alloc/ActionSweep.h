#pragma once

#include "Sweep.h"
#include "UserSweep.h"

#include "app/MessageAsker.h"

#include <QDebug>
#include <QList>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTableWidget>
#include <QtTest>

// A sweep of one action on a scene that prepare() sets up again before
// every failure point, for actions whose outcome after a failure is more
// than usersweep's scene tells: files left behind, a message of the
// action's own, a dialog's loop. The run without failures goes first: the
// action changes the state, and done again it tells and shows the same.
// Then at each point: prepare() gives what it gave that run; the action
// runs with its n-th allocation failing (actFailing); nothing escapes it;
// either it tells what the run without failures told and shows what it
// showed, or one message told of a stop, which stopped() judges; the
// action done again (after again()) tells and shows what the run without
// failures did; and no widget is left behind.
namespace actionsweep {

using Box = MessageAsker::Request;

// A stop, for the scene to judge.
struct Stop
{
    long n = 0;
    Box told;              // the one message
    QStringList before;    // the state before the action
    QStringList once;      // after the action without failures
    QStringList shown;     // after the action that stopped
};

class Scene
{
public:
    virtual ~Scene() = default;
    // Sets up where the action starts, before any failure is armed.
    virtual void prepare() = 0;
    // The action, entered where the user's input lands.
    virtual void act() = 0;
    // What the action may change, as text.
    virtual QStringList state() const = 0;
    // What is wrong after a stop (empty: nothing).
    virtual QString stopped(const Stop& stop) const = 0;
    // The action with its n-th allocation failing; whether it was reached.
    virtual bool actFailing(long n);
    // Back to where the action starts, for it to be done again.
    virtual void again() {}
    // The answer to a box (asked without allocating: it may be armed).
    virtual QMessageBox::StandardButton answer(const Box&) { return QMessageBox::Ok; }
    // What told the outcome: the boxes shown, unless the scene knows better.
    virtual QList<Box> told(const QList<Box>& boxes) const { return boxes; }

    long points = -1;                  // as for sweep::run
    bool quiet = false;                // the program's log lines dropped
    bool againAfterRunThrough = true;  // else done again after a stop only
    bool mustStop = true;              // some point stops
    bool repeats = true;               // done again, as done once
};

// The run without failures and the sweep's count.
struct Result
{
    QStringList before;
    QStringList once;
    QStringList twice;  // after again() and the action
    QStringList told;   // "title: text" each
    long points = 0;
    long stopped = 0;
};

Result run(const QString& name, Scene& scene);

// The values as one line of text, a blank between two (for a state).
template <typename... T>
QString line(const T&... values)
{
    QString out;
    {
        QDebug debug(&out);
        debug.noquote();
        ((debug << values), ...);
    }
    out.chop(1);   // the blank after the last
    return out;
}

// The lines of `shown` that differ from `expected`.
QString difference(const QStringList& shown, const QStringList& expected);

// usersweep::run for the current data row, its count logged.
long userSweep(const usersweep::Maker& make);

// paintsweep::check of a widget once shown, without a blinking cursor or
// the program's log lines; its count logged.
long paintShown(QWidget* widget, const QString& name);

// One entry of the user's into an editor that has a name field and save,
// cancel and delete buttons, above a table: "row:N" a click on row N,
// "name:T" typing, "save", "cancel", "delete" the buttons. False for any
// other.
template <typename Editor>
bool enter(Editor* editor, QTableWidget* table, int column, const QString& step)
{
    const QString kind = step.section(QLatin1Char(':'), 0, 0);
    const QString value = step.section(QLatin1Char(':'), 1);
    QPushButton* button = kind == QLatin1String("save")     ? editor->saveButton
                          : kind == QLatin1String("cancel") ? editor->cancelButton
                          : kind == QLatin1String("delete") ? editor->deleteButton
                                                            : nullptr;
    if (button) {
        QTest::mouseClick(button, Qt::LeftButton);
    } else if (kind == QLatin1String("name")) {
        QTest::keyClicks(editor->nameEdit, value);
    } else if (kind == QLatin1String("row")) {
        const QRect cell = table->visualRect(table->model()->index(value.toInt(), column));
        QTest::mouseClick(table->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
    } else {
        return false;
    }
    return true;
}

} // namespace actionsweep
