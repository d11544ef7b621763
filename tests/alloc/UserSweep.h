#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// A sweep of one action of the user's (a click, a key, a typed character)
// on widgets made afresh for every failure point. Each point: the action
// runs with the n-th allocation failing; nothing escapes it; at most one
// message tells of it, which names memory; with no message the widgets
// show what widgets that never failed show after the action, with one
// they show that or what they showed before it; the action done again then
// gives what a run that never failed gives; and no window is left behind
// once the scene goes (a widget made without a parent and never freed).
namespace usersweep {

class Scene
{
public:
    virtual ~Scene() = default;
    // The action, entered where the user's input lands.
    virtual void act() = 0;
    // What the action may change, as text.
    virtual QStringList state() const = 0;
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

// Sweeps `make`'s action; returns the failure points reached. `messages`
// gets how many of them stopped with a message. `points` as for sweep::run.
long run(const QString& name, const Maker& make, long* messages = nullptr, long points = -1);

// Lets queued work run (the message of a handler's failure is shown from
// the loop) and deleted widgets go.
void settle();

} // namespace usersweep
