#pragma once

#include "core/Constants.h"

#include <QFile>

// The main window reads the settings file in the directory the test
// process started in. Make sure one is there (so that building a window
// shows no first-start warning) and remove it again when the test made it;
// the tool paths are restored too.
class SettingsGuard
{
public:
    SettingsGuard()
        : tshark(TSHARK_PATH)
        , wireshark(WIRESHARK_PATH)
        , created(!QFile::exists(SETTINGS_PATH))
    {
        if (created) {
            QFile f(SETTINGS_PATH);
            if (f.open(QIODevice::WriteOnly))
                f.write(QByteArray("/usr/bin/tshark\n/usr/bin/wireshark"));
        }
    }
    ~SettingsGuard()
    {
        if (created)
            QFile::remove(SETTINGS_PATH);
        TSHARK_PATH = tshark;
        WIRESHARK_PATH = wireshark;
    }
    SettingsGuard(const SettingsGuard&) = delete;
    SettingsGuard& operator=(const SettingsGuard&) = delete;

private:
    QString tshark;
    QString wireshark;
    bool created;
};
