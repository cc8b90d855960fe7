// Starts the application with its one window.
#include "frmmain.h"
#include "openfilelimit.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // Every HTTP connection can hold a socket and a file at once.
    OpenFileLimit::raiseToHardLimit();
    QApplication app(argc, argv);
    FrmMain window;
    window.show();
    return app.exec();
}
