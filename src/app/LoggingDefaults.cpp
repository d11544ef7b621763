#include "app/LoggingDefaults.h"

#include <QLoggingCategory>
#include <QString>

void LoggingDefaults::apply()
{
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
}
