// The program's options, read before any window exists so that --help and --version need no display.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

class CommandLine
{
public:
    // Exit status of a refused command line, as shells and service managers expect.
    static constexpr int UsageError = 2;
    // Every frame client costs a queue of its own and a share of the line's time.
    static constexpr int MostFrameClients = 16;

    explicit CommandLine(const QStringList &arguments);

    // Prints help, version or the reason for a refusal and gives the exit status,
    // or gives nothing when the window is to start.
    std::optional<int> answerOnTerminal() const;

    // "Öffnen" once the window has loaded; --connect needs it, so it implies it.
    bool opens() const { return m_open || m_connect; }
    // "Einstellungen übernehmen" and "Verbinden" after "Öffnen".
    bool connectsLink() const { return m_connect; }
    // An unattended start always logs, or nobody could tell what happened.
    bool logsStatus() const { return m_log || opens(); }
    // The folder that holds RIri.ini and is served, in place of the program's own.
    std::optional<QString> folder() const { return m_folder; }
    // The HTTP port in place of 80.
    std::optional<quint16> httpPort() const { return m_httpPort; }
    // How many frame clients may be connected at once; 1 keeps the one client until "Schließen".
    int frameClients() const { return m_frameClients; }

private:
    enum class Answer { StartWindow, Help, Version, Refusal };

    static QString helpText();

    Answer m_answer = Answer::StartWindow;
    QString m_refusal;
    bool m_open = false;
    bool m_connect = false;
    bool m_log = false;
    std::optional<QString> m_folder;
    std::optional<quint16> m_httpPort;
    int m_frameClients = 1;
};
