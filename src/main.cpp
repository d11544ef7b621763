#include "app/Application.h"
#include "app/LoggingDefaults.h"
#include "app/MainWindow.h"

int main(int argc, char* argv[])
{
    Application app(argc, argv);
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
