// Starts the application with its one window, after the command line has had its say.
#include "commandline.h"
#include "frmmain.h"
#include "openfilelimit.h"
#include "statuslog.h"
#include "unattendedstart.h"

#include <QApplication>

namespace {

QStringList argumentsOf(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

} // namespace

int main(int argc, char *argv[])
{
    // Before QApplication: without a display it would end the program before --help could answer.
    const CommandLine commandLine(argumentsOf(argc, argv));
    if (const std::optional<int> exitStatus = commandLine.answerOnTerminal())
        return *exitStatus;

    // Every HTTP connection can hold a socket and a file at once.
    OpenFileLimit::raiseToHardLimit();
    if (commandLine.logsStatus())
        StatusLog::stampMessages();
    QApplication app(argc, argv);
    FrmMain window;
    if (commandLine.logsStatus())
        StatusLog::follow(window);
    window.show();
    UnattendedStart unattendedStart(window, commandLine.connectsLink());
    if (commandLine.opens())
        unattendedStart.begin();
    return app.exec();
}
