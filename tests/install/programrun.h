// Runs installed programs and packaging tools from tests: to the end, or alive while its log is read.
#pragma once

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTest>

#include <optional>

#include <csignal>
#include <unistd.h>

struct Finished
{
    bool normalExit = false;
    int exitCode = -1;
    QString out;
    QString err;
};

// The whole content of a file, or nothing when it cannot be read.
inline QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// For tools and answers that end by themselves; the event loop is not needed meanwhile.
inline Finished runToEnd(const QString &program, const QStringList &arguments,
                         const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
                         int timeoutMs = 300'000)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    Finished finished;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        finished.err = program + QStringLiteral(" did not end: ") + process.errorString();
        return finished;
    }
    finished.normalExit = process.exitStatus() == QProcess::NormalExit;
    finished.exitCode = process.exitCode();
    finished.out = QString::fromUtf8(process.readAllStandardOutput());
    finished.err = QString::fromUtf8(process.readAllStandardError());
    return finished;
}

// A program that keeps running; its standard error is collected while the test's own
// event loop runs, so that in-process peers (a simulated track box) keep answering.
class RunningProgram
{
public:
    // A `childSetup` sets up the program's standard streams itself (just before it starts), and
    // its log is not collected.
    RunningProgram(const QString &program, const QStringList &arguments,
                   const QProcessEnvironment &environment, const std::function<void()> &childSetup = {})
    {
        m_process.setProcessEnvironment(environment);
        m_process.setStandardOutputFile(QProcess::nullDevice());
        if (childSetup)
            m_process.setChildProcessModifier(childSetup);
        m_process.start(program, arguments);
        m_process.waitForStarted();
    }
    ~RunningProgram()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    RunningProgram(const RunningProgram &) = delete;
    RunningProgram &operator=(const RunningProgram &) = delete;

    bool isRunning() const { return m_process.state() == QProcess::Running; }
    qint64 pid() const { return m_process.processId(); }
    // Sends `signal`; the exit status if the program then ended by itself within `withinMs`.
    std::optional<int> endBy(int signal, int withinMs)
    {
        ::kill(pid_t(m_process.processId()), signal);
        if (!m_process.waitForFinished(withinMs) || m_process.exitStatus() != QProcess::NormalExit)
            return std::nullopt;
        return m_process.exitCode();
    }
    // True once a line of standard error matches; the log so far is in log().
    bool waitForLine(const QRegularExpression &line, int timeoutMs)
    {
        return QTest::qWaitFor([&] { return hasLine(line); }, timeoutMs);
    }
    bool hasLine(const QRegularExpression &line)
    {
        m_log += QString::fromUtf8(m_process.readAllStandardError());
        return line.match(m_log).hasMatch();
    }
    QString log()
    {
        m_log += QString::fromUtf8(m_process.readAllStandardError());
        return m_log;
    }

private:
    QProcess m_process;
    QString m_log;
};
