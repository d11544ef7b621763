#include "FailingNew.h"
#include "MatrixFixture.h"
#include "Restore.h"
#include "SequenceFixture.h"
#include "Sweep.h"
#include "TestRegistry.h"

#include "app/AppGlobals.h"
#include "app/MessageAsker.h"
#include "views/events/EventWidget.h"
#include "views/sequences/RibbonSequenceWidget.h"
#include "views/sequences/SequenceWidget.h"

#include <QProgressDialog>
#include <QPushButton>
#include <QtTest>

#include <memory>

// Every allocation of a guide tree's run fails in turn: the sequence pane's
// "Multiple Sequence Alignment" switch over nine distinct sequences (the
// tree's distance table on helper threads, the merges, the aligned rows and
// their states), and the event matrix's "HC Eucledian" row order, which
// builds the same tree over a tile's rows. No exception leaves the widget
// the click reaches; it shows what a run that never failed shows, or it is
// whole (the rows unaligned, or empty) with one message that names memory;
// and the same click again shows what a run that never failed shows.

namespace {

const QStringList SEQUENCES{"A B C D", "A C D",   "B C D E", "A B D", "C D E",
                            "A B C E", "B D",     "A E C",   "D C B A"};

// Nine traces of distinct kinds in one tile.
const QList<matrixfixture::Trace> TRACES{
    {1, QStringLiteral("abcd"), QStringLiteral("10.0.0.1")}, {2, QStringLiteral("acd"), QStringLiteral("10.0.0.1")},
    {3, QStringLiteral("bcde"), QStringLiteral("10.0.0.1")}, {4, QStringLiteral("abd"), QStringLiteral("10.0.0.1")},
    {5, QStringLiteral("cde"), QStringLiteral("10.0.0.1")},  {6, QStringLiteral("abce"), QStringLiteral("10.0.0.1")},
    {7, QStringLiteral("bd"), QStringLiteral("10.0.0.1")},   {8, QStringLiteral("aec"), QStringLiteral("10.0.0.1")},
    {9, QStringLiteral("dcba"), QStringLiteral("10.0.0.1")}};

// The pane in its ribbon, showing the sequences unaligned.
struct Pane
{
    Pane()
    {
        ribbon.reset(new RibbonSequenceWidget(glyphs.control.get(), nullptr));
        ribbon->resize(500, 400);
        show();
    }
    void show() { view()->showSequences(glyphs.rows(SEQUENCES)); }
    SequenceWidget* view() const { return ribbon->sequenceView; }

    // The rows, the states and the cells shown with their places.
    QStringList text() const
    {
        SequenceWidget& v = *view();
        QStringList out;
        out << QStringLiteral("aligned %1 switch %2 dialogs %3")
                   .arg(v.msaOn)
                   .arg(ribbon->alignmentButton->isChecked())
                   .arg(v.findChildren<QProgressDialog*>().size());
        for (const TList<BinItem*>& row : v.rows.items) {
            QStringList names;
            for (const BinItem* item : row.items)
                names << (SequenceWidget::isGap(item) ? QStringLiteral("-") : item->name);
            out << names.join(QLatin1Char(' '));
        }
        for (int id = 0; id < v.stateCount(); ++id)
            out << QStringLiteral("state %1 %2 %3").arg(v.countOf(id)).arg(v.keyOf(id), v.pathOf(id));
        for (BinItem* shown : v.shownList())
            out << QStringLiteral("shown %1,%2 %3 %4").arg(shown->x).arg(shown->y).arg(shown->height()).arg(shown->name);
        return out;
    }

    sequencefixture::Glyphs glyphs;
    std::unique_ptr<RibbonSequenceWidget> ribbon;
};

std::unique_ptr<matrixfixture::Matrix> makeMatrix()
{
    return std::make_unique<matrixfixture::Matrix>(TRACES, false, QSize(200, 150));
}

QStringList matrixText(const matrixfixture::Matrix& m)
{
    QStringList out;
    for (const BinCell* cell : m.view->cells) {
        QStringList traces;
        for (int id : matrixfixture::Matrix::rowTraces(cell))
            traces << QString::number(id);
        out << cell->header.title + QStringLiteral(": ") + traces.join(QLatin1Char(' '));
    }
    return out;
}

// A row order chosen in the options' sort box, as the box's change reaches
// the matrix.
void chooseOrder(matrixfixture::Matrix& m, const QString& mode)
{
    m.view->setCluster(mode);
}

QString said(const QList<MessageAsker::Request>& boxes)
{
    QStringList out;
    for (const MessageAsker::Request& box : boxes)
        out << box.title + QStringLiteral(": ") + box.text;
    return QStringLiteral("%1 messages (%2)").arg(boxes.size()).arg(out.join(QStringLiteral(" / ")));
}

} // namespace

class AlignmentFailuresTest : public QObject
{
    Q_OBJECT

private slots:
    void everyAllocation_data();
    void everyAllocation();
};

void AlignmentFailuresTest::everyAllocation_data()
{
    QTest::addColumn<QString>("action");
    QTest::newRow("alignment switch") << "alignment";
    QTest::newRow("matrix clustering") << "clustering";
}

void AlignmentFailuresTest::everyAllocation()
{
    QFETCH(QString, action);
    const bool aligning = action == QLatin1String("alignment");
    // The tree's distance table is made on helper threads however few the
    // sequences, as it is for many.
    Restore<int> parallel(EventWidget::parallelClustering, 1);
    Restore<bool> loaded(NO_DATA, false);
    QList<MessageAsker::Request> boxes;
    const MessageAsker::Handler previous = MessageAsker::setHandler([&](const MessageAsker::Request& r) {
        boxes.append(r);
        return QMessageBox::Ok;
    });
    // The debug lines are dropped: the test's own output would allocate
    // within the line's end, where nothing may throw.
    const QtMessageHandler log = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    // What a run that never failed shows: the pane unaligned and aligned,
    // the tile's rows clustered (also after a rebuild).
    QStringList unaligned;
    QStringList once;
    if (aligning) {
        Pane pane;
        unaligned = pane.text();
        pane.ribbon->alignmentButton->click();
        once = pane.text();
        QVERIFY(pane.view()->msaOn);
    } else {
        std::unique_ptr<matrixfixture::Matrix> m = makeMatrix();
        unaligned = matrixText(*m);
        chooseOrder(*m, QStringLiteral("HC Eucledian"));
        once = matrixText(*m);
        m->view->changeYAxis2(QStringLiteral("none"));
        chooseOrder(*m, QStringLiteral("Default"));
        chooseOrder(*m, QStringLiteral("HC Eucledian"));
        QCOMPARE(matrixText(*m), once);
    }
    QVERIFY(once != unaligned);
    QVERIFY2(boxes.isEmpty(), qPrintable(said(boxes)));

    long messages = 0;
    const long points = sweep::run(action, [&](long n) {
        const QString where = QStringLiteral("failure point %1").arg(n);
        std::unique_ptr<Pane> pane;
        std::unique_ptr<matrixfixture::Matrix> m;
        if (aligning)
            pane = std::make_unique<Pane>();
        else
            m = makeMatrix();
        boxes.clear();
        bool hit = false;
        {
            failingnew::FailAt fail(n);
            try {
                if (aligning)
                    pane->ribbon->alignmentButton->click();
                else
                    chooseOrder(*m, QStringLiteral("HC Eucledian"));
            } catch (...) {
                QTest::qFail(qPrintable(where + QStringLiteral(": an exception escaped")), __FILE__, __LINE__);
                return false;
            }
            hit = fail.stop();
        }
        const QStringList shown = aligning ? pane->text() : matrixText(*m);
        if (boxes.isEmpty()) {
            if (shown != once)
                QTest::qFail(qPrintable(where + QStringLiteral(": ran through, but shows ") + shown.join('|')),
                             __FILE__, __LINE__);
            return hit && !QTest::currentTestFailed();
        }
        ++messages;
        const MessageAsker::Request& box = boxes.first();
        const bool emptied = aligning ? pane->view()->rows.isEmpty() && pane->view()->stateCount() == 0
                                      : m->view->cells.isEmpty();
        const QWidget* parent = aligning ? pane->view()->window() : static_cast<QWidget*>(m->view);
        if (boxes.size() != 1 || !box.text.contains(QLatin1String("memory")) || box.parent != parent
            || (!aligning && box.title != QLatin1String("Failed to sort rows"))) {
            QTest::qFail(qPrintable(where + QStringLiteral(": ") + said(boxes)), __FILE__, __LINE__);
            return false;
        }
        if (!emptied && shown != unaligned) {
            QTest::qFail(qPrintable(where + QStringLiteral(": stopped, but shows ") + shown.join('|')), __FILE__,
                         __LINE__);
            return false;
        }
        // Again, as the user would: the selection shown anew or the tile
        // rebuilt where the view went empty, then the same click.
        if (aligning) {
            if (emptied)
                pane->show();
            pane->ribbon->alignmentButton->click();
        } else {
            m->view->changeYAxis2(QStringLiteral("none"));
            chooseOrder(*m, QStringLiteral("Default"));
            chooseOrder(*m, QStringLiteral("HC Eucledian"));
        }
        const QStringList again = aligning ? pane->text() : matrixText(*m);
        if (boxes.size() != 1 || again != once)
            QTest::qFail(qPrintable(where + QStringLiteral(": again, ") + said(boxes) + QStringLiteral(", shows ")
                                    + again.join('|') + QStringLiteral(" instead of ") + once.join('|')),
                         __FILE__, __LINE__);
        return hit && !QTest::currentTestFailed();
    });
    qInstallMessageHandler(log);
    MessageAsker::setHandler(previous);
    QVERIFY(!QTest::currentTestFailed());
    qInfo().noquote() << action << points << "failure points," << messages << "of them stopped with the message";
    QVERIFY(points > 0);
}

LUMIVANE_TEST(AlignmentFailuresTest)
#include "AlignmentFailuresTest.moc"
