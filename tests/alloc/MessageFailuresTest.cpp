#include "FailingNew.h"
#include "Sweep.h"
#include "TestRegistry.h"

#include "app/MessageAsker.h"

#include <QApplication>
#include <QMessageBox>
#include <QtTest>

// A real message box that finds no memory to be made in throws nothing: its
// words go to stderr instead, and nothing of it is left behind.

namespace {

QStringList warnings;

void keepWarning(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtWarningMsg)
        warnings.append(text);
}

QList<QMessageBox*> boxes()
{
    QList<QMessageBox*> out;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(w))
            out.append(box);
    }
    return out;
}

} // namespace

class MessageFailuresTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // Only the allocations of the program's own code fail (see
        // LoadFailuresTest); the platform plugin lays out the box's text
        // through the C++ library's memory resources.
        for (const char* library :
             {"libQt5Widgets", "libQt5Gui", "libQt5Core", "libQt5Test", "qt5/plugins/platforms", "libstdc++"})
            QVERIFY2(failingnew::spareCallersIn(library), library);
    }

    void notifyEveryAllocation()
    {
        MessageAsker::setHandler({});
        long unshown = 0;
        const long points = sweep::run(QStringLiteral("notify"), [&](long n) {
            warnings.clear();
            const QtMessageHandler before = qInstallMessageHandler(keepWarning);
            bool hit = false;
            {
                failingnew::FailAt fail(n);
                try {
                    MessageAsker::notify(QMessageBox::Warning, QStringLiteral("Failed to apply rules"),
                                         QStringLiteral("Out of memory."));
                } catch (...) {
                    qInstallMessageHandler(before);
                    QTest::qFail("notify threw", __FILE__, __LINE__);
                    return false;
                }
                hit = fail.stop();
            }
            QCoreApplication::processEvents();
            qInstallMessageHandler(before);
            const QList<QMessageBox*> shown = boxes();
            if (hit && shown.isEmpty()) {
                ++unshown;
                if (warnings != QStringList{QStringLiteral("Failed to apply rules: Out of memory.")}) {
                    QTest::qFail(qPrintable(warnings.join('|')), __FILE__, __LINE__);
                    return false;
                }
            } else if (shown.size() != 1 || !shown.first()->isVisible()
                       || shown.first()->text() != QLatin1String("Out of memory.")) {
                QTest::qFail("not exactly the one box shown", __FILE__, __LINE__);
                return false;
            }
            for (QMessageBox* box : shown)
                delete box;
            return hit;
        });
        QVERIFY(!QTest::currentTestFailed());
        qInfo().noquote() << points << "failure points, none of them showed a box";
        QVERIFY(points > 0);
        QCOMPARE(unshown, points);
    }
};

LUMIVANE_TEST(MessageFailuresTest)
#include "MessageFailuresTest.moc"
