// Writes a generated event log for the benchmarks and prints its path.
//
//   gen_log [--shape project|network] [--lines N] [--columns N]
//           [--groups N] [--unique N] [--smb2 0|1] [--sip 0|1] [--out PATH]
//
// Without --out the log goes to the temporary folder (TMPDIR) under a name
// that tells its shape, and an existing one is reused. The defaults are the
// project's shape (800000 lines, 14 columns, 20000 groups, one near-unique
// column); the network shape defaults to 300 values of ip.src and three
// near-unique columns (frame number, time, info text). --smb2 1 gives the
// network shape a last column "smb2.cmd" (a command number on SMB2 lines);
// --sip 1 a last column "sip.Call-ID" (after it), 20000 call ids drawn at
// random over the lines.

#include "BenchSupport.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

namespace {

int usage(const char* problem)
{
    std::fprintf(stderr,
                 "gen_log: %s\n"
                 "usage: gen_log [--shape project|network] [--lines N] [--columns N] "
                 "[--groups N] [--unique N] [--smb2 0|1] [--sip 0|1] [--out PATH]\n",
                 problem);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);

    benchsupport::LogShape shape;
    int lines = -1, columns = -1, groups = -1, unique = -1;
    QString out;
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (i + 1 >= args.size())
            return usage(qPrintable(QStringLiteral("missing value after ") + arg));
        const QString value = args[++i];
        if (arg == QLatin1String("--shape")) {
            if (value == QLatin1String("project"))
                shape.kind = benchsupport::LogShape::Project;
            else if (value == QLatin1String("network"))
                shape.kind = benchsupport::LogShape::Network;
            else
                return usage("the shape is project or network");
            continue;
        }
        if (arg == QLatin1String("--out")) {
            out = value;
            continue;
        }
        bool ok = false;
        const int number = value.toInt(&ok);
        if (!ok || number < 0)
            return usage(qPrintable(arg + QStringLiteral(" needs a count, not \"") + value + QLatin1Char('"')));
        if (arg == QLatin1String("--lines"))
            lines = number;
        else if (arg == QLatin1String("--columns"))
            columns = number;
        else if (arg == QLatin1String("--groups"))
            groups = number;
        else if (arg == QLatin1String("--unique"))
            unique = number;
        else if (arg == QLatin1String("--smb2"))
            shape.smb2Commands = number != 0;
        else if (arg == QLatin1String("--sip"))
            shape.sipCalls = number != 0;
        else
            return usage(qPrintable(QStringLiteral("unknown option ") + arg));
    }

    const bool network = shape.kind == benchsupport::LogShape::Network;
    shape.lines = lines >= 0 ? lines : 800000;
    shape.columns = columns >= 0 ? columns : 14;
    shape.groups = groups >= 0 ? groups : (network ? 300 : 20000);
    shape.nearUnique = unique >= 0 ? unique : shape.naturalNearUnique();
    if (shape.columns < shape.namedColumns())
        return usage(qPrintable(QStringLiteral("this shape has at least %1 columns").arg(shape.namedColumns())));
    if (shape.groups < 1)
        return usage("at least one group");
    if (shape.nearUnique > shape.maxNearUnique())
        return usage(qPrintable(QStringLiteral("%1 columns allow at most %2 near-unique ones")
                                    .arg(shape.columns).arg(shape.maxNearUnique())));

    QString path = out;
    if (out.isEmpty())
        path = benchsupport::generatedLog(shape);
    else if (!benchsupport::writeLog(shape, out))
        path.clear();
    if (path.isEmpty()) {
        std::fprintf(stderr, "gen_log: cannot write %s\n",
                     qPrintable(out.isEmpty() ? QStringLiteral("the log in the temporary folder") : out));
        return 1;
    }
    std::printf("%s\n", qPrintable(path));
    return 0;
}
