// The HTTP file server: connection slots, request handling and the paced transfer of answers.
#pragma once

#include "connslot.h"
#include "pagebuilder.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <deque>
#include <set>

class ServerWindow;
class SocketArray;
class TimerArray;

class HttpServer : public QObject
{
    Q_OBJECT
public:
    // Slot indices are 16-bit signed numbers.
    static constexpr int HighestSlotIndex = 32767;
    // Largest piece of a body handed to a socket per timer tick.
    static constexpr qint64 PieceSize = 2048;
    // The one-shot tick that hands over the next piece once the last one is sent.
    static constexpr std::chrono::milliseconds SendInterval {1};
    // A connection that has not sent a whole request by then is closed.
    static constexpr std::chrono::milliseconds RequestTimeout {10'000};
    // A transfer whose client takes nothing for this long is closed.
    static constexpr std::chrono::milliseconds StallTimeout {60'000};

    // Connects itself to the arrays' events; element 0 of `winsock1` is the listener,
    // which "Öffnen" opens and WinSock1_Close(0) closes.
    HttpServer(SocketArray &winsock1, TimerArray &tSendData, ServerWindow &window, QObject *parent = nullptr);
    ~HttpServer() override;

    void setServerName(const QString &name) { m_serverName = name; }
    void setWebRoot(const QString &root);
    QString WebRoot() const { return m_webRoot; }

    // Indexed like the socket array once the first connection has been accepted.
    const std::deque<ConnSlot> &ConnSlots() const { return m_slots; }

    // Closes slot `index` (0 is the listener) and frees what it holds; also the
    // handler of the peer closing a connection.
    void WinSock1_Close(int index);

    // Tuning for tests that would otherwise need gigabytes of ticks, tens of thousands
    // of sockets or a minute's wait; the program keeps the constants above.
    void setPieceSize(qint64 bytes) { m_pieceSize = bytes; }
    void setHighestSlotIndex(int index) { m_highestSlotIndex = index; }
    void setRequestTimeout(std::chrono::milliseconds timeout);
    void setStallTimeout(std::chrono::milliseconds timeout);

private:
    void WinSock1_ConnectionRequest(qint64 requestId);
    void Winsock1_DataArrival(int index, qint64 bytesTotal);
    void WinSock1_SendComplete(int index);
    void peerFinishedSending(int index);
    void Winsock1_SendProgress(int index, qint64 bytesSent);
    void TSendData_Timer(int index);

    void letEventsRun();
    void closeListener();
    int freeSlot() const;
    int createSlot();
    void resetRecord(int index);
    bool closeIdlest();
    void closeOverdue();
    void updateAccepting();
    void updateSweepInterval();
    void releaseFile(ConnSlot &record);
    qint16 nextFileNumber() const;

    void answer(int index, const QByteArray &requestPath);
    void answerFolder(int index, const ServedTree::Target &folder, const QByteArray &folderPath);
    void answerFile(int index, const QByteArray &requestPath, FileSystem::OpenedEntry opened);
    void pageBuilt(const QList<PageBuilder::Waiter> &waiters, const QByteArray &page);
    QByteArray sharedPage(const QByteArray &page) const;
    void answerNotFound(int index);
    void sendPageText(int index);
    void sendFilePiece(int index);

    SocketArray &m_winsock1;
    TimerArray &m_tSendData;
    ServerWindow &m_window;
    // A deque, so records keep their place while the pool grows inside a nested event pass.
    std::deque<ConnSlot> m_slots;
    std::set<qint16> m_fileNumbers;
    QString m_serverName;
    QString m_webRoot;
    QByteArray m_webRootPath;
    qint64 m_pieceSize = PieceSize;
    int m_highestSlotIndex = HighestSlotIndex;
    int m_nestedPasses = 0;
    const int m_connectionCap;
    int m_liveConnections = 0;
    int m_waitingForRequest = 0;
    std::chrono::milliseconds m_requestTimeout = RequestTimeout;
    std::chrono::milliseconds m_stallTimeout = StallTimeout;
    QElapsedTimer m_clock;
    // Runs while connections are held, and closes those past their time-outs.
    QTimer m_sweep;
    PageBuilder m_pageBuilder;
};
