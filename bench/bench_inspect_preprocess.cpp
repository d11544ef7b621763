// Preprocessing a directory of 10000 conversation files of 50 lines each by
// 5 rewrite and 2 filter rules, in two shapes (random keys spread over many
// folders, sequential keys sharing one folder), checking that exactly the
// conversations that should pass are written; and the Wireshark display
// filter of 800000 selected events, in three shapes (every event with a
// frame number, none but the last ones, no "frame.number" column).

#include "app/ControlWidget.h"
#include "core/Packet.h"
#include "core/TVariant.h"
#include "import/ConversationPreprocessor.h"
#include "model/GlyphStore.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

const int kFiles = 10000;
const int kLines = 50;

// The debug lines of a run are not what is measured (unless
// LUMIVANE_BENCH_DEBUG is set: then they go to stderr as in the program).
void quiet(QtMsgType, const QMessageLogContext&, const QString&)
{
}

QtMessageHandler quietHandler()
{
    return qEnvironmentVariableIsSet("LUMIVANE_BENCH_DEBUG") ? nullptr : quiet;
}

QString glyph(const QString& name, const QString& condition)
{
    return QStringLiteral("[ %1,%2,(222;226;230),(0;0;0),(0;0;0),%3,0,0,1 ]")
        .arg(name, name.left(1), condition);
}

QString rule(const QString& name, const QString& pre, const QString& glyphName)
{
    return name + QStringLiteral("~false~true~") + pre + QStringLiteral(" --> &&")
           + glyph(glyphName, QStringLiteral("true"));
}

QString rewriteRules()
{
    const QString any = QStringLiteral("WildCard");
    return QStringList{
               rule("invite", glyph(any, "sip.Method == INVITE"), "Invite"),
               rule("ack", glyph(any, "sip.Method == ACK"), "Ack"),
               rule("bye", glyph(any, "sip.Method == BYE"), "Bye"),
               rule("provisional", glyph(any, "sip.Status-Code > 99 && sip.Status-Code < 200"), "Prov"),
               rule("setup",
                    "&&" + glyph("Invite", "true") + "+" + glyph("Prov", "true"), "Setup"),
           }
        .join('\n');
}

QString filterRules()
{
    return QStringList{rule("has setup", glyph("Setup", "true"), "Setup"),
                       rule("has bye", glyph("Bye", "true"), "Bye")}
        .join('\n');
}

quint64 mix(quint64 x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Writes the conversation files as the splitter lays them out; every
// second conversation ends with a BYE and so passes both filters. Returns
// the number of passing conversations.
int writeDirectory(const QString& dir, bool sequential)
{
    QDir().mkpath(dir);
    QFile conf(dir + QStringLiteral("/attributes.conf"));
    conf.open(QIODevice::WriteOnly);
    conf.write("frame.number,frame.time_epoch,ip.src,ip.dst,sip.Call-ID,sip.Method,"
               "sip.Status-Code,info");
    conf.close();
    int passing = 0;
    qint64 number = 0;
    for (int i = 0; i < kFiles; ++i) {
        const QByteArray key =
            sequential ? "call-" + QByteArray::number(i).rightJustified(7, '0') + "@pbx.example.org"
                       : QByteArray::number(mix(quint64(i)), 16).rightJustified(16, '0') + "@host"
                             + QByteArray::number(i % 97) + ".example.com";
        const bool bye = i % 2 == 0;
        passing += bye ? 1 : 0;
        QByteArray out;
        for (int k = 0; k < kLines; ++k) {
            QByteArray method = "INFO";
            int status = 200;
            if (k == 0) {
                method = "INVITE";
                status = 0;
            } else if (k == 1 || k == 2) {
                method = "";
                status = k == 1 ? 100 : 180;
            } else if (k == 3) {
                method = "";
            } else if (k == 4) {
                method = "ACK";
                status = 0;
            } else if (k == kLines - 2 && bye) {
                method = "BYE";
                status = 0;
            }
            if (k > 0)
                out += '\n';
            ++number;
            out += QByteArray::number(number) + "," + QByteArray::number(1600000000 + number)
                   + ",10.0." + QByteArray::number(i % 250) + ".1,10.1.0.2," + key + "," + method
                   + "," + (status ? QByteArray::number(status) : QByteArray()) + ",\"SIP/2.0, step "
                   + QByteArray::number(k) + "\"";
        }
        const QString name = QString::fromLatin1(key);
        const QString folder = dir + '/' + name.mid(0, 3) + '/' + name.mid(3, 3);
        QDir().mkpath(folder);
        QFile f(folder + '/' + name + QStringLiteral(".conv"));
        f.open(QIODevice::WriteOnly);
        f.write(out);
    }
    return passing;
}

// state.range(0): 0 random keys, 1 sequential keys.
void BM_Preprocess10000Files(benchmark::State& state)
{
    QTemporaryDir temp;
    const QString dir = temp.filePath(QStringLiteral("convs"));
    const int passing = writeDirectory(dir, state.range(0) == 1);
    const QString out = temp.filePath(QStringLiteral("out.csv"));

    ControlWidget control(nullptr);
    const TList<Rule> rewrite = control.loadRules(rewriteRules());
    const TList<Rule> filters = control.loadRules(filterRules());
    if (rewrite.size() != 5 || filters.size() != 2) {
        state.SkipWithError("the rules do not read");
        return;
    }
    for (auto _ : state) {
        const QtMessageHandler previous = qInstallMessageHandler(quietHandler());
        ConversationPreprocessor preprocessor(dir, rewrite, filters, out, &control);
        preprocessor.run();
        qInstallMessageHandler(previous);

        state.PauseTiming();
        QFile f(out);
        f.open(QIODevice::ReadOnly);
        const qint64 lines = f.readAll().count('\n') + 1;
        state.counters["processed"] = preprocessor.processed;
        state.counters["matched"] = preprocessor.matched;
        state.counters["lines"] = double(lines);
        if (preprocessor.processed != kFiles || preprocessor.matched != passing
            || lines != qint64(passing) * kLines + 1 || !preprocessor.errorText.isEmpty()) {
            std::fprintf(stderr, "processed %d matched %d (of %d) lines %lld %s\n", preprocessor.processed,
                         preprocessor.matched, passing, lines, qPrintable(preprocessor.errorText));
            state.SkipWithError("the wrong conversations were written");
            break;
        }
        state.ResumeTiming();
    }
}

// state.range(0): 0 every event has a frame number, 1 only the last 100
// have one, 2 the log has no "frame.number" column.
void BM_DisplayFilter800000(benchmark::State& state)
{
    const int shape = int(state.range(0));
    ControlWidget control(nullptr);
    control.glyphStore->setAttributes(
        TList<QString>({shape == 2 ? QStringLiteral("frame.id") : QStringLiteral("frame.number"),
                        QStringLiteral("ip.src")}),
        {});
    const int count = 800000;
    TList<QSharedPointer<Packet>> events;
    events.items.reserve(count);
    const TVariant source(QStringLiteral("10.0.0.1"), true, nullptr);
    for (int i = 0; i < count; ++i) {
        TList<TVariant> row;
        row.append(shape == 1 && i < count - 100 ? TVariant() : TVariant(i + 1));
        row.append(source);
        events.append(QSharedPointer<Packet>::create(row));
    }
    QString filter;
    for (auto _ : state) {
        const QtMessageHandler previous = qInstallMessageHandler(quietHandler());
        filter = control.buildDisplayFilter(events);
        qInstallMessageHandler(previous);
        benchmark::DoNotOptimize(filter.data());
    }
    state.counters["filter_chars"] = filter.size();
    if (filter.size() > 8190 || (shape == 2) != filter.isEmpty())
        state.SkipWithError("wrong filter");
}

} // namespace

BENCHMARK(BM_Preprocess10000Files)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()
    ->Iterations(1);
BENCHMARK(BM_DisplayFilter800000)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)
    ->UseRealTime()->Iterations(1);

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
