#include "ActionSweep.h"

#include "FailingNew.h"
#include "PaintSweep.h"
#include "Sweep.h"

#include "app/LoggingDefaults.h"

#include <QApplication>

#include <algorithm>
#include <vector>

namespace actionsweep {

namespace {

QStringList said(const QList<Box>& boxes)
{
    QStringList out;
    for (const Box& box : boxes)
        out << box.title + QStringLiteral(": ") + box.text;
    return out;
}

bool fail(const QString& text)
{
    QTest::qFail(qPrintable(text), __FILE__, __LINE__);
    return false;
}

void drop(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

bool Scene::actFailing(long n)
{
    failingnew::FailAt fail(n);
    act();
    return fail.stop();
}

QString difference(const QStringList& shown, const QStringList& expected)
{
    QStringList out;
    for (int i = 0; i < std::max(shown.size(), expected.size()); ++i) {
        if (shown.value(i) != expected.value(i))
            out << QStringLiteral("[%1] %2 instead of %3").arg(i).arg(shown.value(i), expected.value(i));
    }
    return out.join(QStringLiteral(" | "));
}

Result run(const QString& name, Scene& scene)
{
    LoggingDefaults::apply();
    // Kept without allocating: a box may come while a failure is armed.
    std::vector<Box> shown;
    shown.reserve(16);
    const MessageAsker::Handler previous = MessageAsker::setHandler([&](const Box& box) {
        if (shown.size() < shown.capacity())
            shown.push_back(box);
        return scene.answer(box);
    });
    const QtMessageHandler log = scene.quiet ? qInstallMessageHandler(drop) : nullptr;
    const auto told = [&] { return scene.told(QList<Box>(shown.begin(), shown.end())); };

    Result r;
    // Done again: what the run without failures told, and `expected` (if
    // given) shown; the state is left in r.twice.
    const auto doneAgain = [&](const QStringList* expected) -> QString {
        scene.again();
        shown.clear();
        scene.act();
        usersweep::settle();
        const QStringList again = said(told());
        if (again != r.told)
            return QStringLiteral("done again, told ") + again.join(QStringLiteral(" / "));
        const QStringList state = scene.state();
        if (!expected)
            r.twice = state;
        return !expected || state == *expected ? QString()
                                               : QStringLiteral("done again, shows ") + difference(state, *expected);
    };

    // Without failures.
    scene.prepare();
    r.before = scene.state();
    shown.clear();
    scene.act();
    usersweep::settle();
    r.told = said(told());
    r.once = scene.state();
    QString wrong = r.once == r.before ? QStringLiteral("changes nothing: ") + r.once.join(QLatin1Char('|'))
                                       : doneAgain(nullptr);
    if (wrong.isEmpty() && scene.repeats && r.twice != r.once)
        wrong = QStringLiteral("done again, shows ") + difference(r.twice, r.once);
    usersweep::settle();
    const int widgets = QApplication::allWidgets().size();

    if (wrong.isEmpty()) {
        r.points = sweep::run(name, [&](long n) {
            const QString where = QStringLiteral("%1, failure point %2: ").arg(name).arg(n);
            scene.prepare();
            const QStringList start = scene.state();
            if (start != r.before)
                return fail(where + QStringLiteral("set up, shows ") + difference(start, r.before));
            shown.clear();
            bool hit = false;
            try {
                hit = scene.actFailing(n);
            } catch (...) {
                failingnew::disarm();
                return fail(where + QStringLiteral("an exception got out of the action"));
            }
            usersweep::settle();
            const QList<Box> boxes = told();
            const QStringList after = scene.state();
            const bool ranThrough = said(boxes) == r.told && after == r.once;
            if (!ranThrough) {
                ++r.stopped;
                if (boxes.size() != 1)
                    return fail(where + QStringLiteral("told ") + said(boxes).join(QStringLiteral(" / "))
                                + QStringLiteral(", shows ") + difference(after, r.once));
                const QString wrong = scene.stopped({n, boxes.first(), r.before, r.once, after});
                if (!wrong.isEmpty())
                    return fail(where + said(boxes).first() + QStringLiteral(", but ") + wrong);
            }
            if (!ranThrough || scene.againAfterRunThrough) {
                const QString wrong = doneAgain(after == r.before ? &r.once : &r.twice);
                if (!wrong.isEmpty())
                    return fail(where + wrong);
            }
            usersweep::settle();
            if (QApplication::allWidgets().size() != widgets)
                return fail(where + QStringLiteral("leaves a widget behind"));
            return hit;
        }, scene.points);
    }
    if (log)
        qInstallMessageHandler(log);
    MessageAsker::setHandler(previous);
    if (!wrong.isEmpty())
        fail(name + QStringLiteral(": the action without failures ") + wrong);
    if (QTest::currentTestFailed())
        return r;
    qInfo().noquote() << name << r.points << "failure points," << r.stopped << "of them stopped";
    if (r.points == 0 || (scene.mustStop && r.stopped == 0))
        fail(name + QStringLiteral(": no failure point reached, or none stopped"));
    return r;
}

long userSweep(const usersweep::Maker& make)
{
    const QString name = QString::fromLatin1(QTest::currentDataTag());
    long messages = 0;
    const long points = usersweep::run(name, make, &messages);
    qInfo().noquote() << name << points << "failure points," << messages << "of them stopped with the message";
    return points;
}

long paintShown(QWidget* widget, const QString& name)
{
    const QtMessageHandler log = qInstallMessageHandler(drop);
    // A text cursor that blinks would draw otherwise from one paint to the
    // next.
    const int flash = QApplication::cursorFlashTime();
    QApplication::setCursorFlashTime(0);
    // Shown, as the window system paints it (a grab of a hidden widget lays
    // it out anew first).
    widget->show();
    QCoreApplication::processEvents();
    const long points = paintsweep::check(widget, name);
    QApplication::setCursorFlashTime(flash);
    qInstallMessageHandler(log);
    qInfo().noquote() << name << points << "failure points";
    return points;
}

} // namespace actionsweep
