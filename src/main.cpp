#include "app/LoggingDefaults.h"
#include "app/MainWindow.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    LoggingDefaults::apply();
    int result = 0;
    {
        // The window goes before the application object.
        MainWindow window;
        window.show();
        result = app.exec();
    }
    return result;
}
