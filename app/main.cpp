// Starts the application with its one window, after the command line has had its say.
#include "commandline.h"
#include "endsignals.h"
#include "frmmain.h"
#include "logwriter.h"
#include "openfilelimit.h"
#include "standardstreams.h"
#include "statuslog.h"
#include "unattendedstart.h"

#include <QApplication>
#include <QDir>
#include <QLoggingCategory>

using namespace Qt::StringLiterals;

Q_LOGGING_CATEGORY(lcFolder, "quenvar.folder")

namespace {

QStringList argumentsOf(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

// The folder given on the command line, made on first use; without one, the program's own.
QString programFolder(const CommandLine &commandLine)
{
    if (!commandLine.folder() || commandLine.folder()->isEmpty())
        return FrmMain::executableFolder();
    const QString folder = QDir(*commandLine.folder()).absolutePath();
    // Saving the settings names the missing folder later, in the window.
    if (!QDir().mkpath(folder))
        qCWarning(lcFolder).noquote() << u"Ordner "_s + folder + u" kann nicht angelegt werden"_s;
    return folder;
}

} // namespace

int main(int argc, char *argv[])
{
    // First of all, before any file, socket or display connection takes descriptor 0, 1 or 2.
    StandardStreams::secure();
    LogWriter::install();
    // Before QApplication: without a display it would end the program before --help could answer.
    const CommandLine commandLine(argumentsOf(argc, argv));
    if (const std::optional<int> exitStatus = commandLine.answerOnTerminal())
        return *exitStatus;

    // Every HTTP connection can hold a socket and a file at once.
    OpenFileLimit::raiseToHardLimit();
    if (commandLine.logsStatus())
        StatusLog::stampMessages();
    QApplication app(argc, argv);
    FrmMain window(&SerialPort::linuxDevice, programFolder(commandLine));
    if (commandLine.httpPort())
        window.showHttpPort(*commandLine.httpPort());
    window.setFrameClients(commandLine.frameClients());
    if (commandLine.logsStatus())
        StatusLog::follow(window);
    // A signal ends the program as "Ende" does: endpoints closed, the serial port released.
    EndSignals endSignals;
    QObject::connect(&endSignals, &EndSignals::received, &window, [&window] {
        window.close();
        QCoreApplication::quit();
    });
    window.show();
    UnattendedStart unattendedStart(window, commandLine.connectsLink());
    if (commandLine.opens())
        unattendedStart.begin();
    const int exitStatus = app.exec();
    LogWriter::finish();
    return exitStatus;
}
