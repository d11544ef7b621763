#include "TestRegistry.h"

#include "core/RecordSplitter.h"

#include <QtTest>

class RecordSplitterTest : public QObject
{
    Q_OBJECT
private slots:
    void split_data();
    void split();
    void reusedList();
};

void RecordSplitterTest::split_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("separator");
    QTest::addColumn<QStringList>("fields");

    QTest::newRow("plain") << "a,b,c" << "," << QStringList{"a", "b", "c"};
    QTest::newRow("empty line") << "" << "," << QStringList{""};
    QTest::newRow("empty fields kept") << ",x,," << "," << QStringList{"", "x", "", ""};
    QTest::newRow("other separator ignored") << "a,b;c" << ";" << QStringList{"a,b", "c"};
    QTest::newRow("quoted separator kept") << "1,\"Seq=1, Ack=1\",x" << ","
                                           << QStringList{"1", "Seq=1, Ack=1", "x"};
    QTest::newRow("quotes dropped") << "\"a\",\"\",b" << "," << QStringList{"a", "", "b"};
    QTest::newRow("quote toggles mid-field") << "a\"b,c\"d,e" << "," << QStringList{"ab,cd", "e"};
    QTest::newRow("doubled quote is no escape") << "\"a\"\"b\",c" << "," << QStringList{"ab", "c"};
    QTest::newRow("unterminated quote runs to the end") << "a,\"b,c" << "," << QStringList{"a", "b,c"};
    QTest::newRow("only quotes") << "\"\"" << "," << QStringList{""};
    QTest::newRow("semicolon quoted") << "\"x;y\";z" << ";" << QStringList{"x;y", "z"};
    QTest::newRow("nul and non-ascii kept") << QString::fromUtf8("caf\xc3\xa9,a") + QChar(0) + "b"
                                            << "," << (QStringList{QString::fromUtf8("caf\xc3\xa9"), QString("a") + QChar(0) + "b"});
}

void RecordSplitterTest::split()
{
    QFETCH(QString, line);
    QFETCH(QString, separator);
    QFETCH(QStringList, fields);
    QCOMPARE(RecordSplitter::split(line, separator.at(0).toLatin1()), fields);

    // The in-place form gives the same fields, quoted lines included.
    std::vector<QStringView> views;
    QList<QString> storage;
    RecordSplitter::split(line, separator.at(0).toLatin1(), views, storage);
    QStringList fromViews;
    for (const QStringView view : views)
        fromViews << view.toString();
    QCOMPARE(fromViews, fields);
}

void RecordSplitterTest::reusedList()
{
    QList<QString> fields{"stale", "values", "here"};
    RecordSplitter::split(QStringLiteral("x"), ',', fields);
    QCOMPARE(fields, QList<QString>{"x"});
}

LUMIVANE_TEST(RecordSplitterTest)
#include "RecordSplitterTest.moc"
