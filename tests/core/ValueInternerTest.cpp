#include "TestRegistry.h"
#include "Timing.h"

#include "core/Packet.h"
#include "core/THash.h"
#include "core/TVariant.h"
#include "core/ValueInterner.h"
#include "core/ValueTable.h"

#include <QFile>
#include <QRandomGenerator>
#include <QtTest>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

// Interning must be invisible: every field gets exactly the value parsing
// its text through the pool gives, and the pool ends as parsing every text
// would leave it, whatever the per-column caches do on the way.

namespace {

using Pool = THash<QString, TVariant>;

// A pool as a stream starts it.
void seed(Pool& pool)
{
    pool.insert(QString(), TVariant());
}

bool identical(const TVariant& a, const TVariant& b)
{
    return a.type == b.type && std::memcmp(&a.value, &b.value, sizeof a.value) == 0 && a.text == b.text
           && a.toString() == b.toString();
}

QString describe(const TVariant& v)
{
    return QStringLiteral("type %1 value %2 text '%3'")
        .arg(v.type)
        .arg(v.value, 0, 'g', 17)
        .arg(v.toString());
}

// The message is made only on a mismatch: some tests compare many values.
#define COMPARE_VALUE(actual, expected, what)                                                       \
    do {                                                                                             \
        if (!identical((actual), (expected)))                                                        \
            QFAIL(qPrintable(QStringLiteral("%1: got %2, expected %3")                               \
                                 .arg(what, describe(actual), describe(expected))));                 \
    } while (false)

// The same keys in the same order, each with an equal value.
void comparePools(const Pool& actual, const Pool& expected)
{
    QCOMPARE(actual.size(), expected.size());
    auto a = actual.constBegin();
    for (auto e = expected.constBegin(); e != expected.constEnd(); ++e, ++a) {
        QCOMPARE(a.key(), e.key());
        COMPARE_VALUE(a.value(), e.value(), e.key());
    }
}

// Resident memory now, in MB (0 where unknown).
qint64 residentMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong() / 1024;
    }
    return 0;
}

QString units(const QString& text)
{
    QStringList out;
    for (const QChar c : text)
        out << QString::number(c.unicode(), 16);
    return out.join(QLatin1Char(' '));
}

// Texts around the parser's and the cache's edges.
QList<QPair<QString, QString>> edgeTexts()
{
    const QChar nul(0);
    const QString e9 = QString::fromUtf8("\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9");
    return {
        {"leading zeros", "007"},
        {"same number plain", "7"},
        {"zero", "0"},
        {"zeros", "00000"},
        {"largest small int", "65535"},
        {"past small ints", "65536"},
        {"six digits small value", "065535"},
        {"five digits large", "99999"},
        {"negative", "-5"},
        {"plus sign", "+5"},
        {"negative zero", "-0"},
        {"int max", "2147483647"},
        {"past int max", "2147483648"},
        {"below int min", "-2147483649"},
        {"trailing point", "7."},
        {"leading point", ".5"},
        {"exponent", "1e5"},
        {"capital exponent", "1E-3"},
        {"overflowing exponent", "1e400"},
        {"negative overflow", "-1e400"},
        {"nan", "nan"},
        {"NaN", "NaN"},
        {"inf", "inf"},
        {"minus inf", "-inf"},
        {"empty", ""},
        {"true", "true"},
        {"false", "false"},
        {"True", "True"},
        {"word", "alpha"},
        {"address", "10.0.0.1"},
        {"lone minus", "-"},
        {"lone e", "e"},
        {"lone point", "."},
        {"blank before number", " 5"},
        {"blank after number", "5 "},
        {"non-ascii", QString::fromUtf8("caf\xc3\xa9")},
        {"cjk", QString::fromUtf8("\xe6\x97\xa5\xe6\x9c\xac")},
        {"surrogate pair", QString::fromUtf8("\xf0\x9f\x98\x80")},
        {"eight units", "abcdefgh"},
        {"nine units A", "abcdefghA"},
        {"nine units B", "abcdefghB"},
        {"eight units differing last", "abcdefgX"},
        {"sixteen units", "abcdefghijklmnop"},
        {"seventeen units A", "abcdefghijklmnopA"},
        {"seventeen units B", "abcdefghijklmnopB"},
        {"twelve units A", "abcdefghijkA"},
        {"twelve units B", "abcdefghijkB"},
        {"long A", "abcdefghijklmnopqrstuvwxyz0123456789A"},
        {"long B", "abcdefghijklmnopqrstuvwxyz0123456789B"},
        {"non-ascii long 1", e9 + "1"},
        {"non-ascii long 2", e9 + "2"},
        {"nul", QString(nul)},
        {"two nuls", QString(nul) + nul},
        {"nul after a", QString("a") + nul},
        {"a", "a"},
        {"nul inside b", QString("a") + nul + "b"},
        {"nul inside c", QString("a") + nul + "c"},
        {"nul past eight", QString("abcdefgh") + nul + "x"},
        {"nul past eight, other", QString("abcdefgh") + nul + "y"},
    };
}

} // namespace

class ValueInternerTest : public QObject
{
    Q_OBJECT

private slots:
    void textGivesParsedValue_data();
    void textGivesParsedValue();
    void logFedColumnByColumn();
    void cacheSwitchedOff();
    void preparedTextsChangedInPlace();
    void valuesKeepTheirIdentity();
    void nanIsNeverShared();
    void referencesSurviveGrowth();
    void packetsKeepTheirTable();
    void largeNumbersInManyColumns();
    void numbersKeptPastTheTable();
};

void ValueInternerTest::textGivesParsedValue_data()
{
    QTest::addColumn<QString>("text");
    for (const auto& entry : edgeTexts())
        QTest::newRow(qPrintable(entry.first)) << entry.second;
}

void ValueInternerTest::textGivesParsedValue()
{
    QFETCH(QString, text);
    Pool reference;
    seed(reference);
    const TVariant expected = TVariant::fromText(text, &reference);

    // One text at a time.
    {
        Pool pool;
        seed(pool);
        ValueInterner values;
        const quint32 first = values.text(2, text, &pool);
        COMPARE_VALUE(values.table()->at(first), expected, units(text));
        QCOMPARE(first == 0, text.isEmpty());
        QCOMPARE(values.text(2, text, &pool), first);
        // A copy of the text, not the same buffer.
        QCOMPARE(values.text(2, QString(text.constData(), text.size()), &pool), first);
        comparePools(pool, reference);
        if (expected.type == TVariant::String) {
            // The event shares the pooled text.
            QCOMPARE(values.table()->at(first).text.constData(), pool.value(text).text.constData());
        }
    }

    // A row at a time; the skipped column is left as it is.
    {
        Pool pool;
        seed(pool);
        ValueInterner values;
        const QString other = QStringLiteral("other");
        const QStringView row[] = {text, other, text};
        quint32 out[3] = {0, 77, 0};
        values.texts(row, 3, &pool, out, 1);
        QCOMPARE(out[1], 77u);
        COMPARE_VALUE(values.table()->at(out[0]), expected, units(text));
        COMPARE_VALUE(values.table()->at(out[2]), expected, units(text));
        quint32 again[3] = {0, 0, 0};
        values.texts(row, 3, &pool, again, 1);
        QCOMPARE(again[0], out[0]);
        QCOMPARE(again[2], out[2]);
        comparePools(pool, reference);
    }
}

void ValueInternerTest::logFedColumnByColumn()
{
    // Six columns of texts drawn from the edge texts and from families that
    // share their first eight units, or read as small and large numbers;
    // rows go in whole (one column skipped and given alone) or field by
    // field.
    QStringList texts;
    for (const auto& entry : edgeTexts())
        texts << entry.second;
    for (int i = 0; i < 400; ++i) {
        texts << QStringLiteral("abcdefgh%1").arg(i) << QStringLiteral("session-%1-x").arg(i)
              << QString::number(i * 37) << QString::number(70000 + i) << QString::number(i / 8.0);
    }
    const int columns = 6;
    const int rows = 3000;
    QRandomGenerator rng(5);

    Pool pool;
    seed(pool);
    Pool reference;
    seed(reference);
    ValueInterner values;
    // Per column, and per way of giving it (a row at a time or one field).
    std::vector<QHash<QString, quint32>> seen(2 * columns);
    for (int r = 0; r < rows; ++r) {
        QStringList fields;
        for (int c = 0; c < columns; ++c)
            fields << texts.at(int(rng.bounded(texts.size())));
        std::vector<QStringView> views(fields.begin(), fields.end());
        quint32 out[columns] = {};
        const int skip = r % 7 == 6 ? -1 : r % 7;
        if (r % 3 == 0) {
            for (int c = 0; c < columns; ++c)
                out[c] = values.text(c, fields.at(c), &pool);
        } else {
            // Mostly prepared first, as a reader does; sometimes with the
            // time column skipped there but not here.
            if (r % 5 != 0)
                values.prepare(views.data(), columns, r % 11 == 0 ? (skip + 1) % columns : skip);
            values.texts(views.data(), columns, &pool, out, skip);
            if (skip >= 0 && skip < columns)
                out[skip] = values.text(skip, fields.at(skip), &pool);
        }
        // The pool sees the texts in the same order either way.
        std::vector<int> order;
        for (int c = 0; c < columns; ++c) {
            if (r % 3 == 0 || c != skip)
                order.push_back(c);
        }
        if (r % 3 != 0 && skip >= 0 && skip < columns)
            order.push_back(skip);
        for (int c : order) {
            const bool alone = r % 3 == 0 || c == skip;
            QHash<QString, quint32>& known = seen[std::size_t(alone ? columns + c : c)];
            const TVariant expected = TVariant::fromText(fields.at(c), &reference);
            COMPARE_VALUE(values.table()->at(out[c]), expected,
                          QStringLiteral("row %1 column %2 text %3").arg(r).arg(c).arg(units(fields.at(c))));
            // Far below the point where a column stops being cached: a
            // text seen before in a column is the value stored then.
            auto it = known.constFind(fields.at(c));
            if (it != known.constEnd())
                QCOMPARE(out[c], it.value());
            else
                known.insert(fields.at(c), out[c]);
        }
    }
    comparePools(pool, reference);
}

void ValueInternerTest::cacheSwitchedOff()
{
    // Column 1 gets a new text on nearly every row, far past the point where
    // caching it stops paying; columns 0 and 2 repeat a few texts. Then the
    // early texts come back.
    Pool pool;
    seed(pool);
    Pool reference;
    seed(reference);
    ValueInterner values;
    const int distinct = 80000;
    auto feed = [&](const QString& a, const QString& b, const QString& c, bool batch) {
        const QStringView row[] = {a, b, c};
        quint32 out[3] = {};
        if (batch) {
            values.texts(row, 3, &pool, out);
        } else {
            for (int k = 0; k < 3; ++k)
                out[k] = values.text(k, row[k], &pool);
        }
        for (int k = 0; k < 3; ++k) {
            const TVariant expected = TVariant::fromText(row[k], &reference);
            COMPARE_VALUE(values.table()->at(out[k]), expected, row[k].toString());
        }
    };
    for (int i = 0; i < distinct; ++i) {
        const QString text = i % 10 == 9 ? QString::number(i % 50)
                             : i % 2   ? QStringLiteral("w%1").arg(i)
                                       : QString::number(100000 + i);
        feed(QString::number(i % 3), text, QStringLiteral("kind%1").arg(i % 5), i % 4 != 0);
        if (QTest::currentTestFailed())
            return;
    }
    for (int i = 0; i < 2000; ++i) {
        const QString text = i % 3 == 0 ? QStringLiteral("w%1").arg(2 * i + 1)
                             : i % 3 == 1 ? QString::number(100000 + 2 * i)
                                          : QString::number(i % 70);
        feed(QString::number(i % 3), text, QStringLiteral("new%1").arg(i % 4), i % 2 == 0);
        if (QTest::currentTestFailed())
            return;
    }
    comparePools(pool, reference);
}

void ValueInternerTest::preparedTextsChangedInPlace()
{
    // A record prepared but never finished (a reader gave up on it), then
    // the next record read into the same buffer, of the same length: its
    // texts are what counts.
    Pool pool;
    seed(pool);
    Pool reference;
    seed(reference);
    ValueInterner values;
    QString line = QString::fromLatin1("alpha,12,abcdefghij");
    std::vector<QStringView> views = {QStringView(line).mid(0, 5), QStringView(line).mid(6, 2),
                                      QStringView(line).mid(9)};
    values.prepare(views.data(), 3);
    const QChar* before = line.constData();
    const QString next = QStringLiteral("omega,34,abcdefghik");
    for (int i = 0; i < line.size(); ++i)
        line[i] = next.at(i);
    QCOMPARE(line.constData(), before);   // the same buffer, written over
    quint32 out[3] = {};
    values.texts(views.data(), 3, &pool, out);
    const QStringList expected = {"omega", "34", "abcdefghik"};
    for (int c = 0; c < 3; ++c)
        COMPARE_VALUE(values.table()->at(out[c]), TVariant::fromText(expected.at(c), &reference), expected.at(c));
    // And the first record's texts, read again properly, are themselves.
    const QStringList first = {"alpha", "12", "abcdefghij"};
    std::vector<QStringView> again(first.begin(), first.end());
    values.prepare(again.data(), 3);
    values.texts(again.data(), 3, &pool, out);
    QStringList got;
    for (int c = 0; c < 3; ++c)
        got << describe(values.table()->at(out[c]));
    QStringList want;
    for (int c = 0; c < 3; ++c)
        want << describe(TVariant::fromText(first.at(c), &reference));
    // The abandoned record's hashes must not be taken for the next one's
    // texts, which would then be filed under the old texts.
    QCOMPARE(got, want);
}

void ValueInternerTest::valuesKeepTheirIdentity()
{
    Pool pool;
    seed(pool);
    const TVariant pooled = TVariant::fromText(QStringLiteral("shared"), &pool);
    const QList<TVariant> list = {
        TVariant(3),
        TVariant(3.0),
        TVariant(0.0),
        TVariant(-0.0),
        TVariant(1),
        TVariant(QStringLiteral("true")),
        TVariant(1.0, 2.0),
        TVariant(1.0, 3.0),
        TVariant(std::numeric_limits<double>::infinity()),
        pooled,
        TVariant(4294967295.0),
    };
    ValueInterner values;
    QVector<quint32> positions;
    for (const TVariant& v : list) {
        const quint32 p = values.value(v);
        COMPARE_VALUE(values.table()->at(p), v, v.toString());
        positions << p;
    }
    // Each again, in reverse: the same position.
    for (int i = list.size() - 1; i >= 0; --i)
        QCOMPARE(values.value(list.at(i)), positions.at(i));
    // A copy shares the text: still the same value.
    QCOMPARE(values.value(TVariant(pooled)), positions.at(list.indexOf(pooled)));
    // Values that differ in kind or bits never share a position (3 / 3.0,
    // 0.0 / -0.0, 1 / true).
    for (int i = 0; i < positions.size(); ++i)
        for (int j = i + 1; j < positions.size(); ++j)
            QVERIFY2(positions.at(i) != positions.at(j), qPrintable(QStringLiteral("%1 and %2").arg(i).arg(j)));
    QCOMPARE(values.value(TVariant()), 0u);
    QVERIFY(!values.table()->at(0).isValid());
    // Enough values to grow the lookup several times; the early ones are
    // still found.
    for (int i = 0; i < 5000; ++i)
        values.value(TVariant(i + 0.5));
    for (int i = 0; i < list.size(); ++i)
        QCOMPARE(values.value(list.at(i)), positions.at(i));
    for (int i = 0; i < 5000; i += 97)
        COMPARE_VALUE(values.table()->at(values.value(TVariant(i + 0.5))), TVariant(i + 0.5), QString::number(i));
}

void ValueInternerTest::nanIsNeverShared()
{
    ValueInterner values;
    const TVariant nan(std::numeric_limits<double>::quiet_NaN());
    const quint32 a = values.value(nan);
    const quint32 b = values.value(nan);
    const quint32 c = values.value(TVariant(nan));
    QVERIFY(a != 0 && b != 0 && c != 0);
    QVERIFY(a != b && b != c && a != c);
    for (quint32 p : {a, b, c}) {
        QCOMPARE(values.table()->at(p).type, quint16(TVariant::Double));
        QVERIFY(std::isnan(values.table()->at(p).value));
    }
    // Ordinary numbers around them are still shared.
    QCOMPARE(values.value(TVariant(2.5)), values.value(TVariant(2.5)));
}

void ValueInternerTest::referencesSurviveGrowth()
{
    Pool pool;
    seed(pool);
    ValueInterner values;
    const quint32 word = values.text(0, QStringLiteral("kept word"), &pool);
    const quint32 number = values.value(TVariant(1.25));
    const TVariant* wordAt = &values.table()->at(word);
    const TVariant* numberAt = &values.table()->at(number);
    const QString before = wordAt->toString();

    // Several chunks more, by every way of adding.
    std::vector<quint32> added;
    for (int i = 0; i < 20000; ++i) {
        switch (i % 3) {
        case 0: added.push_back(values.add(TVariant(i))); break;
        case 1: added.push_back(values.text(1, QStringLiteral("t%1").arg(i), &pool)); break;
        default: added.push_back(values.value(TVariant(i + 0.25))); break;
        }
    }
    QVERIFY(values.table()->size() > 20000);
    QCOMPARE(&values.table()->at(word), wordAt);
    QCOMPARE(&values.table()->at(number), numberAt);
    QCOMPARE(wordAt->toString(), before);
    QCOMPARE(numberAt->value, 1.25);
    for (int i = 0; i < 20000; i += 1 + i / 100) {
        const TVariant& v = values.table()->at(added[std::size_t(i)]);
        switch (i % 3) {
        case 0: QCOMPARE(v.toInt(), i); break;
        case 1: QCOMPARE(v.toString(), QStringLiteral("t%1").arg(i)); break;
        default: QCOMPARE(v.value, i + 0.25); break;
        }
    }
}

void ValueInternerTest::packetsKeepTheirTable()
{
    Pool pool;
    seed(pool);
    auto values = std::make_unique<ValueInterner>();
    quint32 row[3] = {values->text(0, QStringLiteral("first table"), &pool), 0,
                      values->value(TVariant(7))};
    QSharedPointer<Packet> old = values->packet(row, 3);

    // A new table: the old event keeps its values, even when the new
    // table's positions are the same numbers.
    values->reset();
    pool.clear();
    seed(pool);
    quint32 fresh[3] = {values->text(0, QStringLiteral("second table"), &pool),
                        values->text(1, QStringLiteral("more"), &pool), 0};
    QCOMPARE(fresh[0], row[0]);
    const QSharedPointer<Packet> young = values->packet(fresh, 3);
    QVERIFY(old->valueTable() != young->valueTable());

    values.reset();   // the reader is gone; the events hold their tables
    QCOMPARE(old->get(0).toString(), QStringLiteral("first table"));
    QVERIFY(!old->get(1).isValid());
    QCOMPARE(old->get(2).toInt(), 7);
    QCOMPARE(young->get(0).toString(), QStringLiteral("second table"));
    QCOMPARE(young->get(1).toString(), QStringLiteral("more"));
    QVERIFY(!young->get(2).isValid());

    // The last event of a table takes it along (a leak or a use after
    // free shows under the address sanitizer).
    QSharedPointer<Packet> copy = old;
    old.reset();
    QCOMPARE(copy->get(0).toString(), QStringLiteral("first table"));
    copy.reset();
    QCOMPARE(young->get(1).toString(), QStringLiteral("more"));
}

void ValueInternerTest::largeNumbersInManyColumns()
{
    // The largest small number in each of many columns, as in a log of one
    // record: a table by number up to it would take 256 KB per column.
    const int columns = 8000;
    const QString text = QStringLiteral("65535");
    std::vector<QStringView> row(std::size_t(columns), QStringView{text});
    std::vector<quint32> out(std::size_t(columns), 0u);
    Pool pool;
    seed(pool);
    const qint64 before = residentMb();
    ValueInterner values;
    values.prepare(row.data(), columns);
    values.texts(row.data(), columns, &pool, out.data(), -1, true);
    values.texts(row.data(), columns, &pool, out.data());
    const qint64 rise = residentMb() - before;
    if (!testsupport::sanitizedBuild())
        QVERIFY2(rise < 64, qPrintable(QString::number(rise)));
    QCOMPARE(values.table()->size(), quint32(columns) + 1);
    QCOMPARE(values.table()->at(out.back()).toInt(), 65535);
}

void ValueInternerTest::numbersKeptPastTheTable()
{
    // A column's table of small numbers grows with the records read; the
    // numbers met before it reached them keep their positions, however
    // they are written, before and after they move into the table.
    Pool pool;
    seed(pool);
    Pool reference;
    seed(reference);
    ValueInterner values;
    const int columns = 3;
    QString wrong;   // the first text given another value than its parse
    auto feed = [&](const QStringList& fields) {
        std::vector<QStringView> views(fields.begin(), fields.end());
        quint32 out[columns] = {};
        values.prepare(views.data(), columns);
        values.texts(views.data(), columns, &pool, out, -1, true);
        for (int c = 0; c < columns; ++c) {
            const TVariant expected = TVariant::fromText(fields.at(c), &reference);
            if (wrong.isEmpty() && !identical(values.table()->at(out[c]), expected))
                wrong = fields.at(c) + QStringLiteral(": ") + describe(values.table()->at(out[c]));
        }
        return std::vector<quint32>(out, out + columns);
    };
    const std::vector<quint32> first = feed({"65535", "445", "00445"});
    QCOMPARE(feed({"65535", "0445", "445"}), first);
    const quint32 stored = values.table()->size();
    // Enough records for the tables to reach 445, with numbers of their own.
    for (int r = 0; r < 300; ++r)
        feed({QString::number(r % 40), QString::number(r), QString::number(r + 1000)});
    QCOMPARE(values.table()->size(), stored + 640);
    for (int k = 0; k < 3; ++k) {
        QCOMPARE(feed({"65535", "445", "0445"}), first);
        QCOMPARE(feed({"65535", "00445", "445"}), first);
    }
    QCOMPARE(values.table()->size(), stored + 640);
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    comparePools(pool, reference);
}

LUMIVANE_TEST(ValueInternerTest)
#include "ValueInternerTest.moc"
