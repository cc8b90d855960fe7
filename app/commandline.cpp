// The program's options, read before any window exists so that --help and --version need no display.
#include "commandline.h"

#include <QCommandLineParser>
#include <QTextStream>

#include <cstdlib>

using namespace Qt::StringLiterals;

namespace {

struct OptionText
{
    QStringList names;
    QString description;
    QString valueName = {}; // empty for an option that takes no value
};

const OptionText kHelp {{u"h"_s, u"help"_s}, u"Zeigt diese Hilfe und endet."_s};
const OptionText kVersion {{u"v"_s, u"version"_s}, u"Zeigt die Version und endet."_s};
const OptionText kOpen {{u"open"_s}, u"Drückt \"Öffnen\", sobald das Fenster geladen ist."_s};
const OptionText kConnect {{u"connect"_s},
                           u"Drückt danach \"Einstellungen übernehmen\" mit Port und Baudrate aus RIri.ini "
                           "und dann \"Verbinden\" (schließt --open ein)."_s};
const OptionText kLog {{u"log"_s},
                       u"Schreibt jeden Statustext mit Zeitstempel als eine Zeile auf die "
                       "Standardfehlerausgabe (mit --open immer)."_s};

const OptionText kFolder {
    {u"folder"_s},
    u"Ordner für RIri.ini und die Dateien, die der HTTP-Server anbietet; wird angelegt, "
    "wenn er fehlt (sonst der Ordner des Programms)."_s,
    u"Ordner"_s};
const OptionText kHttpPort {{u"http-port"_s}, u"Port des HTTP-Servers statt 80."_s, u"Port"_s};

const OptionText kClients {{u"clients"_s},
                           u"Nimmt bis zu N Clients zugleich auf TCP-Port 15731 an (1 bis 16); ein Client, "
                           "der geht, macht seinen Platz ohne Klick frei (sonst einer bis \"Schließen\")."_s,
                           u"N"_s};

const OptionText *const kOptions[]
    = {&kHelp, &kVersion, &kOpen, &kConnect, &kLog, &kFolder, &kHttpPort, &kClients};

constexpr int kLowestPort = 1;
constexpr int kHighestPort = 65535;

// The options every Qt program takes (the platform, the style, the session a session manager
// restores): QApplication reads them itself, so they are no concern of this parser.
const QStringList kQtOptionsWithValue
    = u"platform platformpluginpath platformtheme plugin qwindowgeometry "
      "geometry qwindowtitle title qwindowicon icon session style stylesheet "
      "display name visual"_s.split(u' ');
const QStringList kQtFlags
    = u"reverse widgetcount testability nograb dograb sync qmljsdebugger"_s.split(u' ');

QStringList withoutQtOptions(const QStringList &arguments)
{
    QStringList ours = arguments.mid(0, 1);
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &word = arguments[i];
        // Qt takes them with one dash or two, and their values after "=" or as the next word.
        const QString name = word.startsWith(u'-')
            ? word.mid(word.startsWith(u"--"_s) ? 2 : 1).section(u'=', 0, 0)
            : QString();
        if (kQtOptionsWithValue.contains(name))
            i += word.contains(u'=') ? 0 : 1;
        else if (!kQtFlags.contains(name))
            ours.append(word);
    }
    return ours;
}

QString dashed(const QString &name)
{
    return (name.size() == 1 ? u"-"_s : u"--"_s) + name;
}

} // namespace

CommandLine::CommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    // "-platform" is one unknown option, not the letters p, l, a, ...
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const OptionText *option : kOptions)
        parser.addOption(QCommandLineOption(option->names, option->description, option->valueName));

    if (!parser.parse(withoutQtOptions(arguments))) {
        m_answer = Answer::Refusal;
        const QStringList unknown = parser.unknownOptionNames();
        // Qt words the other refusals (a value after an option that takes none) in English.
        m_refusal = unknown.isEmpty() ? u"ungültige Befehlszeile ("_s + parser.errorText() + u')'
                                      : u"unbekannte Option "_s + dashed(unknown.first());
        return;
    }
    if (!parser.positionalArguments().isEmpty()) {
        m_answer = Answer::Refusal;
        m_refusal = u"unerwartetes Argument "_s + parser.positionalArguments().first();
        return;
    }
    if (parser.isSet(kHelp.names.first()))
        m_answer = Answer::Help;
    else if (parser.isSet(kVersion.names.first()))
        m_answer = Answer::Version;
    m_open = parser.isSet(kOpen.names.first());
    m_connect = parser.isSet(kConnect.names.first());
    m_log = parser.isSet(kLog.names.first());
    if (parser.isSet(kFolder.names.first()))
        m_folder = parser.value(kFolder.names.first());
    if (parser.isSet(kHttpPort.names.first())) {
        const QString text = parser.value(kHttpPort.names.first());
        bool isNumber = false;
        const int port = text.toInt(&isNumber);
        if (!isNumber || port < kLowestPort || port > kHighestPort) {
            m_answer = Answer::Refusal;
            m_refusal = u"ungültiger HTTP-Port "_s + text + u" (1 bis 65535)"_s;
            return;
        }
        m_httpPort = quint16(port);
    }
    if (parser.isSet(kClients.names.first())) {
        const QString text = parser.value(kClients.names.first());
        bool isNumber = false;
        const int clients = text.toInt(&isNumber);
        if (!isNumber || clients < 1 || clients > MostFrameClients) {
            m_answer = Answer::Refusal;
            m_refusal = u"ungültige Zahl der Clients "_s + text + u" (1 bis "_s
                + QString::number(MostFrameClients) + u')';
            return;
        }
        m_frameClients = clients;
    }
}

std::optional<int> CommandLine::answerOnTerminal() const
{
    QTextStream out(stdout);
    QTextStream err(stderr);
    switch (m_answer) {
    case Answer::StartWindow: return std::nullopt;
    case Answer::Help: out << helpText(); return EXIT_SUCCESS;
    case Answer::Version: out << "quenvar " << QUENVAR_VERSION << Qt::endl; return EXIT_SUCCESS;
    case Answer::Refusal:
        err << "quenvar: " << m_refusal << Qt::endl << "Hilfe: quenvar --help" << Qt::endl;
        return UsageError;
    }
    return UsageError;
}

QString CommandLine::helpText()
{
    QString text = u"Aufruf: quenvar [Optionen]\n"
                   "Gateway zwischen dem CAN-Bus der Gleisbox und TCP/UDP-Port 15731, mit HTTP-Dateiserver.\n"
                   "Ohne Optionen öffnet es nur das Fenster. Die Optionen von Qt (-platform, -style, "
                   "-session …) gelten wie bei jedem Qt-Programm.\n\nOptionen:\n"_s;
    for (const OptionText *option : kOptions) {
        QStringList names;
        for (const QString &name : option->names)
            names << dashed(name)
                    + (option->valueName.isEmpty() ? QString() : u" <"_s + option->valueName + u'>');
        text += u"  "_s + names.join(u", "_s) + u"\n      "_s + option->description + u'\n';
    }
    return text;
}
