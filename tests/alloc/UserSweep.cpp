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

// The lines of `shown` that differ from `expected`, each with the expected
// one.
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

bool fail(const QString& text)
{
    QTest::qFail(qPrintable(text), __FILE__, __LINE__);
    return false;
}

} // namespace

long run(const QString& name, const Maker& make, long* messages, long points)
{
    QList<MessageAsker::Request> boxes;
    const MessageAsker::Handler previous = MessageAsker::setHandler([&](const MessageAsker::Request& r) {
        boxes.append(r);
        return QMessageBox::Ok;
    });

    // What widgets that never failed show before the action, after it and
    // after it twice.
    QStringList before, once, twice;
    {
        std::unique_ptr<Scene> scene = make();
        before = scene->state();
        scene->act();
        settle();
        once = scene->state();
        scene->act();
        settle();
        twice = scene->state();
    }
    settle();
    if (!boxes.isEmpty() || once == before) {
        MessageAsker::setHandler(previous);
        fail(name + QStringLiteral(": the action without failures ")
             + (boxes.isEmpty() ? QStringLiteral("changes nothing: ") + joined(once)
                                : QStringLiteral("shows ") + boxes.first().title + QStringLiteral(": ")
                                      + boxes.first().text));
        return 0;
    }

    long stopped = 0;
    const long reached = sweep::run(name, [&](long n) -> bool {
        const QString where = QStringLiteral("%1, failure point %2: ").arg(name).arg(n);
        const QWidgetList windows = QApplication::topLevelWidgets();
        bool hit = false;
        {
            std::unique_ptr<Scene> scene = make();
            boxes.clear();
            bool escaped = false;
            {
                failingnew::FailAt failAt(n);
                try {
                    scene->act();
                } catch (...) {
                    escaped = true;
                }
                hit = failAt.stop();
            }
            if (escaped)
                return fail(where + QStringLiteral("an exception got out of the action"));
            settle();
            const QStringList after = scene->state();
            if (boxes.size() > 1)
                return fail(where + QString::number(boxes.size()) + QStringLiteral(" messages, the last ")
                            + boxes.last().title + QStringLiteral(": ") + boxes.last().text);
            if (boxes.isEmpty()) {
                if (after != once)
                    return fail(where + QStringLiteral("ran through, but shows ") + difference(after, once));
            } else {
                ++stopped;
                const MessageAsker::Request& box = boxes.first();
                if (!box.text.contains(QLatin1String("memory")))
                    return fail(where + QStringLiteral("the message does not name memory: ") + box.title
                                + QStringLiteral(": ") + box.text);
                if (after != before && after != once)
                    return fail(where + QStringLiteral("failed, but shows ") + difference(after, before)
                                + QStringLiteral(" (before) or ") + difference(after, once)
                                + QStringLiteral(" (after)"));
                const QString wrong = scene->afterMessage(box.title, box.text);
                if (!wrong.isEmpty())
                    return fail(where + box.title + QStringLiteral(", but ") + wrong);
            }
            // Done again, as by widgets that never failed.
            const int shown = boxes.size();
            scene->act();
            settle();
            const QStringList again = scene->state();
            const QStringList& expected = after == before ? once : twice;
            if (boxes.size() != shown)
                return fail(where + QStringLiteral("done again, told ") + boxes.last().title
                            + QStringLiteral(": ") + boxes.last().text);
            if (again != expected)
                return fail(where + QStringLiteral("done again, shows ") + difference(again, expected));
        }
        settle();
        // A widget made without a parent and never deleted stays a window
        // of its own: none is new once the scene has gone.
        QStringList left;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (!windows.contains(widget))
                left << QString::fromLatin1(widget->metaObject()->className());
        }
        if (!left.isEmpty())
            return fail(where + QStringLiteral("leaves a widget behind: ") + left.join(QStringLiteral(", ")));
        return hit;
    }, points);
    MessageAsker::setHandler(previous);
    if (messages)
        *messages = stopped;
    return reached;
}

} // namespace usersweep
