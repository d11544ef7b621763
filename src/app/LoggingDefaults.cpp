#include "app/LoggingDefaults.h"

#include <QLoggingCategory>
#include <QString>
#include <QtGlobal>

#include <exception>

namespace {

QtMessageHandler writer = nullptr;

// A line is written from QDebug's destructor: a writer that runs out of
// memory there would end the program. Such a line is dropped instead.
void writeOrDrop(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    try {
        writer(type, context, text);
    } catch (const std::exception&) {
    }
}

} // namespace

void LoggingDefaults::apply()
{
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    if (!writer)
        writer = qInstallMessageHandler(writeOrDrop);
}
