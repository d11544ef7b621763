#pragma once

#include "app/MessageAsker.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// A sweep of one action of the user's (a click, a key, a typed character)
// on widgets made afresh for every failure point, or made once and put back
// before every point. Each point: the action runs with the n-th allocation
// failing; nothing escapes it; at most one message tells of it, which names
// memory; with no message the widgets show what widgets that never failed
// show after the action, with one they show that or what they showed
// before it (or the action's own failure state, where the scene has one);
// the action done again then gives what a run that never failed gives; and
// no window is left behind once widgets made for the point have gone (a
// widget made without a parent and never freed).
namespace usersweep {

class Scene
{
public:
    virtual ~Scene() = default;
    // Puts the scene back where the action starts: before the action at
    // every point (`again` false; the scene then shows what it showed before
    // the first action), and before the action done again after a failure
    // (`again` true). A scene whose action is tried again from where the
    // failure left it does nothing then.
    virtual void prepare(bool again) { Q_UNUSED(again); }
    // The action, entered where the user's input lands.
    virtual void act() = 0;
    // What the action may change, as text.
    virtual QStringList state() const = 0;
    // A box that the action shows when it runs through (a warning about what
    // it read): the scene keeps it in its state, and it is not the message
    // of a failure.
    virtual bool expectsBox(const MessageAsker::Request& box)
    {
        Q_UNUSED(box);
        return false;
    }
    // After a failure told by `box`, the scene showing `after`: what is wrong
    // (empty: nothing). `before` and `once` are what it showed before the
    // action and after a run that never failed. By default it must show one
    // of them, and afterMessage() find nothing more wrong; a scene whose
    // action has a failure state of its own (a selection dropped, a view
    // left empty), or whose messages each leave one state, judges here.
    virtual QString failed(const MessageAsker::Request& box, const QStringList& after, const QStringList& before,
                           const QStringList& once);
    // After a failure told by this message: what is wrong beyond the state
    // (empty: nothing).
    virtual QString afterMessage(const QString& title, const QString& text) const
    {
        Q_UNUSED(title);
        Q_UNUSED(text);
        return QString();
    }
};

using Maker = std::function<std::unique_ptr<Scene>()>;

// What a sweep went through.
struct Tally
{
    long points = 0;     // failure points reached
    long told = 0;       // of them stopped with a message
    long kept = 0;       // of those, with the scene as before the action
    long own = 0;        // of those, in the action's own failure state
    QStringList before;  // the scene before the action and after it, never failing
    QStringList once;
};

// Sweeps the action of a scene that `make` makes for every point; tells
// the tally, and fails when no failure point was reached. `points` as for
// sweep::run.
Tally sweep(const QString& name, const Maker& make, long points = -1);
// Sweeps the action of one scene, put back by its prepare().
Tally sweep(const QString& name, Scene& scene, long points = -1);

// As sweep(), without the tally told; returns the failure points reached,
// `messages` gets how many of them stopped with a message.
long run(const QString& name, const Maker& make, long* messages = nullptr, long points = -1);

// Lets queued work run (the message of a handler's failure is shown from
// the loop) and deleted widgets go.
void settle();

// The lines of `shown` that differ from `expected`, each with the expected
// one.
QString difference(const QStringList& shown, const QStringList& expected);

} // namespace usersweep
