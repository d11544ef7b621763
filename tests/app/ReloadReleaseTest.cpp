#include "FileAnswers.h"
#include "MessageRecorder.h"
#include "SettingsGuard.h"
#include "TempWorkDir.h"
#include "TestRegistry.h"

#include "app/ControlWidget.h"
#include "app/MainWindow.h"
#include "core/Packet.h"
#include "import/OpenWidget.h"
#include "model/Context.h"
#include "model/GlyphStore.h"
#include "model/LogRelease.h"
#include "views/events/EventWidget.h"
#include "views/events/RibbonEventWidget.h"

#include <QComboBox>
#include <QWeakPointer>
#include <QtTest>

#include <memory>

// A log replaced by another is freed, off the GUI thread, while whatever a
// view still holds of it stays valid.

namespace {

// `rows` records whose info text names the log and the record.
QByteArray logText(const char* name, int rows)
{
    QByteArray bytes = "frame.time_epoch,ip.src,info\n";
    for (int i = 0; i < rows; ++i)
        bytes += QByteArray::number(1600000000 + i) + ",10.0.0." + QByteArray::number(i % 6) + ","
                 + name + "-" + QByteArray::number(i) + "\n";
    return bytes;
}

// "Open CSV" on the path with the dialog's defaults, grouped by source.
void importLog(ControlWidget* control, const QString& path)
{
    FileAnswers files({path});
    OpenWidget dialog(control);
    dialog.openFile();
    dialog.groupingCombo->setCurrentText(QStringLiteral("ip.src"));
    dialog.import();
}

QList<QWeakPointer<Packet>> watch(const TList<QSharedPointer<Packet>>& events)
{
    QList<QWeakPointer<Packet>> weak;
    for (const QSharedPointer<Packet>& e : events.items)
        weak.append(e.toWeakRef());
    return weak;
}

int alive(const QList<QWeakPointer<Packet>>& weak)
{
    int n = 0;
    for (const QWeakPointer<Packet>& w : weak)
        n += w.toStrongRef() ? 1 : 0;
    return n;
}

} // namespace

class ReloadReleaseTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { settings = std::make_unique<SettingsGuard>(); }
    void cleanupTestCase() { settings.reset(); }
    void replacedImportIsFreed();
    void closingFreesTheLog();

private:
    std::unique_ptr<SettingsGuard> settings;
};

void ReloadReleaseTest::replacedImportIsFreed()
{
    MessageRecorder boxes;
    TempWorkDir dir;
    MainWindow w;
    ControlWidget* control = w.controlWidget;

    importLog(control, dir.write(QStringLiteral("a.csv"), logText("a", 600)));
    Context* first = control->glyphStore->rootContext;
    QVERIFY(first);
    QCOMPARE(first->packets.size(), 600);
    const int info = control->glyphStore->attributeColumns.value(QStringLiteral("info"), -1);
    QVERIFY(info >= 0);
    const QList<QWeakPointer<Packet>> weak = watch(first->packets);
    // What a view might still hold of the first log: one event.
    QSharedPointer<Packet> held = first->packets[123];

    importLog(control, dir.write(QStringLiteral("b.csv"), logText("b", 250)));
    Context* second = control->glyphStore->rootContext;
    QVERIFY(second && second != first);
    QCOMPARE(second->packets.size(), 250);
    QCOMPARE(w.leftEventRibbon->view->context, second);

    logrelease::waitForReleases();
    // Nothing but the held event is left of the first log ...
    QCOMPARE(alive(weak), 1);
    // ... and that one still reads its values (its value table lives on).
    QCOMPARE(held->get(info).toString(), QStringLiteral("a-123"));
    QCOMPARE(second->packets[17]->get(info).toString(), QStringLiteral("b-17"));
    held.reset();
    QCOMPARE(alive(weak), 0);
}

void ReloadReleaseTest::closingFreesTheLog()
{
    MessageRecorder boxes;
    TempWorkDir dir;
    QList<QWeakPointer<Packet>> weak;
    {
        ControlWidget control(nullptr);
        importLog(&control, dir.write(QStringLiteral("c.csv"), logText("c", 300)));
        QCOMPARE(control.glyphStore->rootContext->packets.size(), 300);
        weak = watch(control.glyphStore->rootContext->packets);
    }
    // Nothing of it is still being freed once the control widget is gone.
    QCOMPARE(alive(weak), 0);
}

LUMIVANE_TEST(ReloadReleaseTest)
#include "ReloadReleaseTest.moc"
