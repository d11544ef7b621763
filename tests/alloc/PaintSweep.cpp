#include "PaintSweep.h"

#include "FailingNew.h"
#include "Sweep.h"

#include "app/MessageAsker.h"

#include <QCoreApplication>
#include <QImage>
#include <QPixmap>
#include <QWidget>
#include <QtTest>

namespace paintsweep {

long check(QWidget* widget, const QString& name)
{
    for (const char* library : {"libQt5Widgets", "libQt5Gui", "libQt5Core", "qt5/plugins/platforms", "libstdc++"})
        failingnew::spareCallersIn(library);
    const QImage reference = widget->grab().toImage();
    QList<MessageAsker::Request> boxes;
    const MessageAsker::Handler previous = MessageAsker::setHandler([&](const MessageAsker::Request& r) {
        boxes.append(r);
        return QMessageBox::Ok;
    });
    const long points = sweep::run(name + QStringLiteral(" paint"), [&](long n) {
        boxes.clear();
        bool hit = false;
        QImage painted;
        {
            failingnew::FailAt fail(n);
            try {
                painted = widget->grab().toImage();
            } catch (...) {
                fail.stop();
                QTest::qFail(qPrintable(QStringLiteral("%1: point %2 escaped the paint").arg(name).arg(n)), __FILE__,
                             __LINE__);
                return false;
            }
            hit = fail.stop();
        }
        QCoreApplication::processEvents();
        const QString where = QStringLiteral("%1: failure point %2").arg(name).arg(n);
        if (widget->testAttribute(Qt::WA_WState_InPaintEvent)) {
            QTest::qFail(qPrintable(where + QStringLiteral(" left the view painting")), __FILE__, __LINE__);
            return false;
        }
        if (boxes.size() > 1 || (!boxes.isEmpty() && boxes.first().title != QLatin1String("Out of memory"))) {
            QTest::qFail(qPrintable(where + QStringLiteral(" told more than once")), __FILE__, __LINE__);
            return false;
        }
        if (!hit && painted != reference) {
            QTest::qFail(qPrintable(where + QStringLiteral(": a paint that did not fail drew otherwise")), __FILE__,
                         __LINE__);
            return false;
        }
        if (widget->grab().toImage() != reference) {
            QTest::qFail(qPrintable(where + QStringLiteral(": the next paint drew otherwise")), __FILE__, __LINE__);
            return false;
        }
        return hit;
    });
    MessageAsker::setHandler(previous);
    return points;
}

} // namespace paintsweep
