#pragma once

// The logging a run of the program starts with, set before the main window
// is built: the debug lines of the "default" category (the diagnostics and
// traces the code writes as it works) are off; warnings stay on. The
// environment still decides: QT_LOGGING_RULES (for example
// "default.debug=true") and QT_LOGGING_CONF override these rules. The
// benchmarks that drive the whole window start with the same rules. A line
// that cannot be written for want of memory is dropped (the first call
// puts a handler before the one in place that drops it).
class LoggingDefaults
{
public:
    static void apply();
};
