// Morvane, the desktop program. Everything happens in CMorvaneApp::InitInstance.

#include <QApplication>

#include "gui/shell/app.h"

int main(int argc, char** argv)
{
    QApplication qt(argc, argv);
    CMorvaneApp app;
    return app.Run();
}
