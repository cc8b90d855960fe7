// Shared set-up of the HTTP suites: a served temporary tree, a listening server and real clients.
#pragma once

#include "fixedtexts.h"
#include "httpserver.h"
#include "serverwindow.h"
#include "socketarray.h"
#include "timerarray.h"

#include <QByteArray>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

class QTcpSocket;

// The window side of the server, keeping every status text in order.
class RecordingWindow : public ServerWindow
{
public:
    void showNetworkStatus(const QString &text) override { texts.append(text); }
    void setServerButtons(bool openEnabled) override { buttonStates.append(openEnabled); }

    QStringList texts;
    QList<bool> buttonStates;
};

// Runs events (the server shares the thread with the clients) until `done`
// holds or the time is up; answers whether it holds.
bool pumpUntil(const std::function<bool()> &done, int timeoutMs = 20000);
// Runs events for about this long.
void pumpFor(int milliseconds);

// A server listening on a free port of 127.0.0.1 and serving `root()`.
class TestServer
{
public:
    TestServer();

    quint16 port() const;
    // Absolute path of a name below the served folder.
    QString path(const QString &relative = QString()) const;
    QByteArray pathBytes(const QByteArray &relative = QByteArray()) const;
    void writeFile(const QByteArray &relative, const QByteArray &content) const;
    void makeFolder(const QByteArray &relative) const;
    // Number of slots whose socket is connected.
    int connectedSlots() const;

    QTemporaryDir base;
    SocketArray winsock1;
    TimerArray tSendData;
    RecordingWindow window;
    HttpServer server;
};

// A response as the client saw it.
struct Response
{
    QByteArray bytes;
    bool closedByServer = false;

    QByteArray header() const;
    QByteArray body() const;
};

// Sends `request` and collects everything until the server closes the connection.
Response exchange(quint16 port, const QByteArray &request, int timeoutMs = 20000);
// The request line the way most clients send it.
QByteArray getRequest(const QByteArray &path);

// A client whose bytes can be sent in parts and whose progress can be watched.
class Client
{
public:
    explicit Client(quint16 port);
    ~Client();
    bool waitConnected();
    void send(const QByteArray &data);
    // Runs events until the server closed the connection.
    bool waitClosed(int timeoutMs = 20000);
    // Closes without a goodbye: the socket closes at once and gives up what it had (FIN, or RST
    // when data was still unread).
    void abort();
    // Ends the connection with a reset (linger 0), as a crashed or impatient client does.
    void reset();
    // Shuts down the sending side only (a request "and nothing more"); the answer is still read.
    void finishSending();
    // Shuts down both ways: the server's next data is answered with a reset.
    void closeBothWays();

    QTcpSocket *socket;
    QByteArray received;
    bool closed = false;
};

// Connects the plain descriptor `fd` to 127.0.0.1:port; the result of connect().
int connectToLoopback(int fd, quint16 port);
// A plain, blocking client of 127.0.0.1:port, or -1 when refused. A receive buffer size is set
// before the connection, so the window the client offers stays that small.
int loopbackClient(quint16 port, int receiveBuffer = 0);

// Entries of /proc/self/fd.
int openFileCount();

// Pieces of listing pages written out in tests.
inline const QByteArray EmptyPage = "<html><body>This folder is empty.</body></html>";
inline const QByteArray FoldersStart = "<html><body><b>Directories:</b><br>";
inline const QByteArray FileTableStart
    = "<br><b>Files:</b><br><table width=\"100%\" border=\"1\" cellpadding=\"3\" cellspacing=\"2\">\n";
inline const QByteArray FileTableEnd = "</table>\n</body></html>";
inline QByteArray folderLine(const QByteArray &link, const QByteArray &name)
{
    return "<a href=\"" + link + "\">" + name + "</a><br>\n";
}
inline QByteArray fileRow(const QByteArray &link, const QByteArray &name, const QByteArray &kilobytes)
{
    return "<tr>\n<td width=\"100%\"><a href=\"" + link + "\">" + name + "</a></td>\n<td nowrap>" + kilobytes
        + " KBytes</td>\n</tr>\n";
}
// A listing page with its folder lines and its file rows each sorted: the file system lists a
// folder in an order of its own, so pages of several entries are compared in this form.
QByteArray inNameOrder(const QByteArray &page);

// Connections to 127.0.0.1:port that never send a byte, held by a child process (no descriptor here).
class IdleCrowd
{
public:
    IdleCrowd(quint16 port, int count);
    ~IdleCrowd();

private:
    int m_child = -1;
};
