#include "UserSweep.h"

#include "FailingNew.h"
#include "Sweep.h"

#include "app/MessageAsker.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QtTest>

#include <algorithm>

namespace usersweep {

void settle()
{
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

namespace {

QString joined(const QStringList& lines)
{
    return lines.join(QLatin1Char('|'));
}

using sweep::fail;

// The scene of each point: made by `make` for it, or the one shared.
struct Source
{
    const Maker* make = nullptr;
    Scene* shared = nullptr;
    std::unique_ptr<Scene> made;
    Scene* current = nullptr;

    Scene& take()
    {
        if (!shared)
            made = (*make)();
        current = shared ? shared : made.get();
        return *current;
    }
    void drop()
    {
        current = nullptr;
        made.reset();
    }
};

Tally sweepSource(const QString& name, Source& source, long points)
{
    Tally tally;
    QList<MessageAsker::Request> boxes;
    const MessageAsker::Handler previous = MessageAsker::setHandler([&](const MessageAsker::Request& r) {
        if (!source.current || !source.current->expectsBox(r))
            boxes.append(r);
        return QMessageBox::Ok;
    });

    // What widgets that never failed show before the action, after it and
    // after it twice (the boxes of putting the scene back are not the
    // action's).
    QStringList& before = tally.before;
    QStringList& once = tally.once;
    QStringList twice;
    QString wrong;
    {
        Scene& scene = source.take();
        scene.prepare(false);
        boxes.clear();
        before = scene.state();
        scene.act();
        settle();
        once = scene.state();
        const int shown = boxes.size();
        scene.prepare(true);
        boxes.erase(boxes.begin() + shown, boxes.end());
        const QStringList start = scene.state();
        scene.act();
        settle();
        twice = scene.state();
        if (start == before && twice != once)
            wrong = QStringLiteral("done twice, shows ") + difference(twice, once);
    }
    source.drop();
    settle();
    if (!boxes.isEmpty() || once == before || !wrong.isEmpty()) {
        MessageAsker::setHandler(previous);
        fail(name + QStringLiteral(": the action without failures ")
             + (!boxes.isEmpty()  ? QStringLiteral("shows ") + boxes.first().title + QStringLiteral(": ")
                                        + boxes.first().text
                : once == before ? QStringLiteral("changes nothing: ") + joined(once)
                                 : wrong));
        return tally;
    }

    tally.points = sweep::run(name, [&](long n) -> bool {
        const QString where = QStringLiteral("%1, failure point %2: ").arg(name).arg(n);
        const QWidgetList windows = QApplication::topLevelWidgets();
        bool hit = false;
        {
            Scene& scene = source.take();
            scene.prepare(false);
            const QStringList start = scene.state();
            if (start != before)
                return fail(where + QStringLiteral("put back, shows ") + difference(start, before));
            boxes.clear();
            bool escaped = false;
            {
                failingnew::FailAt failAt(n);
                try {
                    scene.act();
                } catch (...) {
                    escaped = true;
                }
                hit = failAt.stop();
            }
            if (escaped)
                return fail(where + QStringLiteral("an exception got out of the action"));
            settle();
            const QStringList after = scene.state();
            if (boxes.size() > 1)
                return fail(where + QString::number(boxes.size()) + QStringLiteral(" messages, the last ")
                            + boxes.last().title + QStringLiteral(": ") + boxes.last().text);
            if (boxes.isEmpty()) {
                if (after != once)
                    return fail(where + QStringLiteral("ran through, but shows ") + difference(after, once));
            } else {
                ++tally.told;
                const MessageAsker::Request& box = boxes.first();
                if (!box.text.contains(QLatin1String("memory")))
                    return fail(where + QStringLiteral("the message does not name memory: ") + box.title
                                + QStringLiteral(": ") + box.text);
                const QString wrong = scene.failed(box, after, before, once);
                if (!wrong.isEmpty())
                    return fail(where + box.title + QStringLiteral(", but ") + wrong);
                if (after == before)
                    ++tally.kept;
                else if (after != once)
                    ++tally.own;
            }
            // Done again, as by widgets that never failed.
            const int shown = boxes.size();
            scene.prepare(true);
            boxes.erase(boxes.begin() + shown, boxes.end());
            const QStringList from = scene.state();
            scene.act();
            settle();
            const QStringList again = scene.state();
            const QStringList& expected = from == once ? twice : once;
            if (boxes.size() != shown)
                return fail(where + QStringLiteral("done again, told ") + boxes.last().title
                            + QStringLiteral(": ") + boxes.last().text);
            if (again != expected)
                return fail(where + QStringLiteral("done again, shows ") + difference(again, expected));
        }
        source.drop();
        settle();
        // A widget made without a parent and never deleted stays a window
        // of its own: none is new once the scene has gone (a scene made
        // once keeps the windows it made).
        if (source.shared)
            return hit;
        QStringList left;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (!windows.contains(widget))
                left << QString::fromLatin1(widget->metaObject()->className());
        }
        if (!left.isEmpty())
            return fail(where + QStringLiteral("leaves a widget behind: ") + left.join(QStringLiteral(", ")));
        return hit;
    }, points);
    source.drop();
    MessageAsker::setHandler(previous);
    return tally;
}

} // namespace

QString difference(const QStringList& shown, const QStringList& expected)
{
    QStringList out;
    for (int i = 0; i < std::max(shown.size(), expected.size()); ++i) {
        const QString a = i < shown.size() ? shown.at(i) : QStringLiteral("(none)");
        const QString b = i < expected.size() ? expected.at(i) : QStringLiteral("(none)");
        if (a != b)
            out << QStringLiteral("[%1] %2 instead of %3").arg(i).arg(a, b);
    }
    return out.join(QStringLiteral(" | "));
}

QString Scene::failed(const MessageAsker::Request& box, const QStringList& after, const QStringList& before,
                      const QStringList& once)
{
    if (after != before && after != once)
        return QStringLiteral("shows ") + difference(after, before) + QStringLiteral(" (before) or ")
               + difference(after, once) + QStringLiteral(" (after)");
    return afterMessage(box.title, box.text);
}

namespace {

Tally summed(const QString& name, Source& source, long points)
{
    const Tally tally = sweepSource(name, source, points);
    qInfo().noquote() << name << tally.points << "failure points," << tally.told << "of them told:" << tally.kept
                      << "kept as before," << tally.own << "in the action's own failure state";
    if (tally.points == 0 && !QTest::currentTestFailed())
        fail(name + QStringLiteral(": no failure point reached"));
    return tally;
}

} // namespace

Tally sweep(const QString& name, const Maker& make, long points)
{
    Source source;
    source.make = &make;
    return summed(name, source, points);
}

Tally sweep(const QString& name, Scene& scene, long points)
{
    Source source;
    source.shared = &scene;
    return summed(name, source, points);
}

long run(const QString& name, const Maker& make, long* messages, long points)
{
    Source source;
    source.make = &make;
    const Tally tally = sweepSource(name, source, points);
    if (messages)
        *messages = tally.told;
    return tally.points;
}

} // namespace usersweep
