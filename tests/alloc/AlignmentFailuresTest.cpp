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

#include <limits>
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

const QStringList SEQUENCES{"A B C D", "A C D", "B C D E", "A B D", "C D E", "A B C E", "B D", "A E C", "D C B A"};

// The pane in its ribbon showing the sequences unaligned, or a matrix
// whose tile holds traces of the same kinds.
struct Subject
{
    explicit Subject(bool pane)
    {
        if (!pane) {
            QList<matrixfixture::Trace> traces;
            for (int k = 0; k < SEQUENCES.size(); ++k)
                traces.append({k + 1, QString(SEQUENCES[k]).remove(QLatin1Char(' ')).toLower(), QStringLiteral("h")});
            matrix = std::make_unique<matrixfixture::Matrix>(traces, false, QSize(200, 150));
            return;
        }
        ribbon.reset(new RibbonSequenceWidget(glyphs.control.get(), nullptr));
        ribbon->resize(500, 400);
        // No progress dialog comes up, however slow the machine: Qt's own
        // construction of a widget does not survive its allocations failing.
        ribbon->sequenceView->progressDelay = std::numeric_limits<int>::max();
        show();
    }
    void show() { ribbon->sequenceView->showSequences(glyphs.rows(SEQUENCES)); }

    // The click: the alignment switch, or the clustered order chosen in
    // the options' sort box (as the box's change reaches the matrix).
    void click()
    {
        if (ribbon)
            ribbon->alignmentButton->click();
        else
            matrix->view->setCluster(QStringLiteral("HC Eucledian"));
    }
    // Again, as the user would: the selection shown anew or the tile
    // rebuilt where the view went empty, the switch off where it stayed
    // on, then the same click.
    void again()
    {
        if (ribbon && emptied())
            show();
        if (ribbon && ribbon->alignmentButton->isChecked())
            click();
        if (matrix) {
            matrix->view->changeYAxis2(QStringLiteral("none"));
            matrix->view->setCluster(QStringLiteral("Default"));
        }
        click();
    }
    bool emptied()
    {
        return ribbon ? ribbon->sequenceView->rows.isEmpty() && ribbon->sequenceView->stateCount() == 0
                      : matrix->view->cells.isEmpty();
    }
    const QWidget* boxParent() const
    {
        return ribbon ? ribbon->sequenceView->window() : static_cast<QWidget*>(matrix->view);
    }

    // The pane's rows, states and cells shown with their places; the
    // tile's rows by trace.
    QStringList text()
    {
        QStringList out;
        if (matrix) {
            for (const BinCell* cell : matrix->view->cells)
                for (int id : matrixfixture::Matrix::rowTraces(cell))
                    out << QString::number(id);
            return out;
        }
        SequenceWidget& v = *ribbon->sequenceView;
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
        for (BinItem* s : v.shownList())
            out << QStringLiteral("shown %1,%2 %3 %4").arg(s->x).arg(s->y).arg(s->height()).arg(s->name);
        return out;
    }

    sequencefixture::Glyphs glyphs;
    std::unique_ptr<RibbonSequenceWidget> ribbon;
    std::unique_ptr<matrixfixture::Matrix> matrix;
};

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
    QTest::addColumn<bool>("pane");
    QTest::newRow("alignment switch") << true;
    QTest::newRow("matrix clustering") << false;
}

void AlignmentFailuresTest::everyAllocation()
{
    QFETCH(bool, pane);
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

    // What a run that never failed shows before and after the click, and
    // when it is done again.
    QStringList before;
    QStringList once;
    {
        Subject reference(pane);
        before = reference.text();
        reference.click();
        once = reference.text();
        reference.again();
        QCOMPARE(reference.text(), once);
    }
    QVERIFY(once != before);
    QVERIFY(boxes.isEmpty());

    long messages = 0;
    const long points = sweep::run(QString(QTest::currentDataTag()), [&](long n) {
        const QString where = QStringLiteral("failure point %1: ").arg(n);
        Subject subject(pane);
        boxes.clear();
        failingnew::FailAt fail(n);
        try {
            subject.click();
        } catch (...) {
            QTest::qFail(qPrintable(where + QStringLiteral("an exception escaped")), __FILE__, __LINE__);
            return false;
        }
        const bool hit = fail.stop();
        const QStringList shown = subject.text();
        QString said;
        for (const MessageAsker::Request& box : boxes)
            said += box.title + QStringLiteral(": ") + box.text + QStringLiteral(" / ");
        if (boxes.isEmpty()) {
            if (shown != once)
                QTest::qFail(qPrintable(where + QStringLiteral("ran through, but shows ") + shown.join('|')),
                             __FILE__, __LINE__);
            return hit && !QTest::currentTestFailed();
        }
        ++messages;
        if (boxes.size() != 1 || !boxes.first().text.contains(QLatin1String("memory"))
            || boxes.first().parent != subject.boxParent() || (!subject.emptied() && shown != before)) {
            QTest::qFail(qPrintable(where + said + QStringLiteral(" shows ") + shown.join('|')), __FILE__, __LINE__);
            return false;
        }
        subject.again();
        if (boxes.size() != 1 || subject.text() != once)
            QTest::qFail(qPrintable(where + QStringLiteral("again, ") + said + QStringLiteral(" shows ")
                                    + subject.text().join('|')),
                         __FILE__, __LINE__);
        return hit && !QTest::currentTestFailed();
    });
    qInstallMessageHandler(log);
    MessageAsker::setHandler(previous);
    QVERIFY(!QTest::currentTestFailed());
    qInfo().noquote() << QTest::currentDataTag() << points << "failure points," << messages
                      << "of them stopped with the message";
    QVERIFY(points > 0);
}

LUMIVANE_TEST(AlignmentFailuresTest)
#include "AlignmentFailuresTest.moc"
