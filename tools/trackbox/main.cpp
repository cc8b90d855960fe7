// trackbox: a simulated track box on a pseudo-terminal, for trying the gateway without hardware.
#include "trackbox.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <optional>
#include <sys/signalfd.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int UsageError = 2;
constexpr int SetupError = 1;
constexpr int DefaultRate = 1000;
constexpr int HexBase = 16;

struct Options
{
    quint16 type = TrackBox::DefaultDeviceType;
    quint32 id = TrackBox::DefaultDeviceId;
    bool silent = false;
    bool echo = false;
    bool log = false;
    qint64 streamCount = 0;
    int rate = DefaultRate;
    QString link;
};

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

QString hexBytes(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

std::optional<Options> parseOptions(const QCoreApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Simulated track box on a pseudo-terminal: answers pings, can echo and stream frames."_s);
    parser.addHelpOption();
    const QCommandLineOption type(
        u"type"_s, u"Device type in hex (0010 track box, 0030..003F MS2, FFFF CS2)."_s, u"hex"_s, u"0010"_s);
    const QCommandLineOption id(u"id"_s, u"Device identifier in hex."_s, u"hex"_s, u"47431234"_s);
    const QCommandLineOption silent(u"silent"_s, u"Do not answer pings."_s);
    const QCommandLineOption echo(u"echo"_s, u"Send every received frame that is not a ping back."_s);
    const QCommandLineOption log(u"log"_s, u"Print each received frame as hex."_s);
    const QCommandLineOption stream(u"stream"_s, u"After the first received frame, send N numbered frames."_s,
                                    u"N"_s);
    const QCommandLineOption rate(u"rate"_s, u"Frames per second for --stream (0: as fast as read)."_s,
                                  u"R"_s, QString::number(DefaultRate));
    const QCommandLineOption link(u"link"_s, u"Create a symbolic link PATH to the pseudo-terminal."_s,
                                  u"PATH"_s);
    parser.addOptions({type, id, silent, echo, log, stream, rate, link});
    parser.process(app);

    Options options;
    bool ok = true;
    const uint typeValue = parser.value(type).toUInt(&ok, HexBase);
    if (!ok || typeValue > 0xFFFF) {
        err() << "trackbox: --type needs a hex value 0..FFFF" << Qt::endl;
        return std::nullopt;
    }
    options.type = quint16(typeValue);
    options.id = parser.value(id).toUInt(&ok, HexBase);
    if (!ok) {
        err() << "trackbox: --id needs a hex value 0..FFFFFFFF" << Qt::endl;
        return std::nullopt;
    }
    if (parser.isSet(stream)) {
        options.streamCount = parser.value(stream).toLongLong(&ok);
        if (!ok || options.streamCount < 0) {
            err() << "trackbox: --stream needs a frame count" << Qt::endl;
            return std::nullopt;
        }
    }
    options.rate = parser.value(rate).toInt(&ok);
    if (!ok || options.rate < 0) {
        err() << "trackbox: --rate needs frames per second" << Qt::endl;
        return std::nullopt;
    }
    options.silent = parser.isSet(silent);
    options.echo = parser.isSet(echo);
    options.log = parser.isSet(log);
    options.link = parser.value(link);
    return options;
}

// A link left behind by an earlier run may be replaced; anything else is kept.
bool createLink(const QString &target, const QString &path)
{
    const QFileInfo existing(path);
    if (existing.isSymLink())
        QFile::remove(path);
    else if (existing.exists()) {
        err() << "trackbox: " << path << " exists and is not a symbolic link" << Qt::endl;
        return false;
    }
    if (!QFile::link(target, path)) {
        err() << "trackbox: cannot create the link " << path << Qt::endl;
        return false;
    }
    return true;
}

void removeLink(const QString &target, const QString &path)
{
    if (QFileInfo(path).symLinkTarget() == target)
        QFile::remove(path);
}

// Ctrl+C and kill end the event loop normally, so that the link is removed.
int quitSignalsFd()
{
    sigset_t quitSignals;
    sigemptyset(&quitSignals);
    sigaddset(&quitSignals, SIGINT);
    sigaddset(&quitSignals, SIGTERM);
    sigaddset(&quitSignals, SIGHUP);
    sigprocmask(SIG_BLOCK, &quitSignals, nullptr);
    return signalfd(-1, &quitSignals, SFD_CLOEXEC | SFD_NONBLOCK);
}

} // namespace

int main(int argc, char *argv[])
{
    const int signalFd = quitSignalsFd();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"trackbox"_s);
    const std::optional<Options> options = parseOptions(app);
    if (!options)
        return UsageError;

    TrackBox box;
    if (!box.isOpen()) {
        err() << "trackbox: " << box.errorString() << Qt::endl;
        return SetupError;
    }
    box.setDeviceType(options->type);
    box.setDeviceId(options->id);
    box.setSilent(options->silent);
    box.setEcho(options->echo);
    box.setRecording(false);

    if (!options->link.isEmpty() && !createLink(box.portPath(), options->link))
        return SetupError;

    std::optional<QSocketNotifier> quitNotifier;
    if (signalFd >= 0) {
        quitNotifier.emplace(signalFd, QSocketNotifier::Read);
        QObject::connect(&*quitNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    }

    bool streamStarted = false;
    QObject::connect(&box, &TrackBox::frameReceived, &app, [&](const QByteArray &frame) {
        if (options->log)
            out() << "received " << hexBytes(frame) << Qt::endl;
        if (options->streamCount > 0 && !streamStarted) {
            streamStarted = true;
            out() << "streaming " << options->streamCount << " frames at " << options->rate << " per second"
                  << Qt::endl;
            box.stream(options->streamCount, options->rate);
        }
    });
    QObject::connect(&box, &TrackBox::streamFinished, &app, [] { out() << "stream sent" << Qt::endl; });

    out() << "trackbox on " << box.portPath();
    if (!options->link.isEmpty())
        out() << " (linked as " << options->link << ")";
    out() << ", type " << QString::number(options->type, HexBase).toUpper().rightJustified(4, u'0') << ", id "
          << QString::number(options->id, HexBase).toUpper() << (options->silent ? ", silent" : "")
          << (options->echo ? ", echo" : "") << Qt::endl;

    const int result = app.exec();
    if (!options->link.isEmpty())
        removeLink(box.portPath(), options->link);
    if (signalFd >= 0)
        ::close(signalFd);
    return result;
}
