// The HTTP file server's event handlers: slots, time-outs and pacing around the pure request decisions.
#include "httpserver.h"

#include "eventpump.h"
#include "localeformat.h"
#include "openfilelimit.h"
#include "progress.h"
#include "request.h"
#include "responseheader.h"
#include "servedtree.h"
#include "serverwindow.h"
#include "socketarray.h"
#include "timerarray.h"

#include <QFile>

#include <cerrno>
#include <limits>
#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace {
// Only a handler that is not itself inside the server's nested pass lets events run:
// that pass already runs everything pending, and a pass inside it only holds the
// handlers below it back (deeper nesting made the slowest answers wait for every
// inner one, and a flood of connections could nest until the stack runs out). A
// handler that skips the pass goes on, which its checks after the pass cover anyway.
constexpr int MaximumNestedPasses = 1;
constexpr qint16 FirstFileNumber = 1;
constexpr qint16 PagePending = -1;
constexpr qint64 LargestServedFile = std::numeric_limits<qint64>::max() / 2;
// Descriptors kept for everything but HTTP connections: the frame path (serial port and its
// lock, TCP 15731 and its client, the UDP sockets, the settings file), the display and the
// toolkit's own, with room to spare. Never more than half of a small limit.
constexpr long long OtherDescriptors = 256;
// A connection holds its socket and the file or folder it answers with.
constexpr long long DescriptorsPerConnection = 2;
// A connection collects less than twice Request::MaximumPendingBytes (one arrival is at most that
// much, and a collection that reached it is closed): all together at most about 32 MiB.
constexpr long long MostConnections = 4096;
// Time-outs are checked this many times within the shorter one.
constexpr int SweepsPerTimeout = 10;

// How many connections may be held at once with this limit of open files (-1: unknown), so that
// the descriptors the frame path needs are always left free.
int connectionCapFor(long long openFileLimit)
{
    if (openFileLimit < 0)
        return int(MostConnections);
    const long long left = openFileLimit - qMin(OtherDescriptors, openFileLimit / 2);
    return int(qBound(1LL, left / DescriptorsPerConnection, MostConnections));
}

} // namespace

HttpServer::HttpServer(SocketArray &winsock1, TimerArray &tSendData, ServerWindow &window, QObject *parent)
    : QObject(parent)
    , m_winsock1(winsock1)
    , m_tSendData(tSendData)
    , m_window(window)
    , m_connectionCap(connectionCapFor(OpenFileLimit::current()))
{
    m_clock.start();
    updateSweepInterval();
    connect(&m_sweep, &QTimer::timeout, this, &HttpServer::closeOverdue);
    connect(&winsock1, &SocketArray::connectionRequest, this, &HttpServer::WinSock1_ConnectionRequest);
    connect(&winsock1, &SocketArray::dataArrival, this, &HttpServer::Winsock1_DataArrival);
    connect(&winsock1, &SocketArray::sendProgress, this, &HttpServer::Winsock1_SendProgress);
    connect(&winsock1, &SocketArray::sendComplete, this, &HttpServer::WinSock1_SendComplete);
    connect(&winsock1, &SocketArray::inputEnded, this, &HttpServer::peerFinishedSending);
    connect(&winsock1, &SocketArray::failed, this, &HttpServer::WinSock1_Close);
    connect(&tSendData, &TimerArray::tick, this, &HttpServer::TSendData_Timer);
    connect(&m_pageBuilder, &PageBuilder::built, this, &HttpServer::pageBuilt);
}

HttpServer::~HttpServer() = default;

void HttpServer::setRequestTimeout(std::chrono::milliseconds timeout)
{
    m_requestTimeout = timeout;
    updateSweepInterval();
}

void HttpServer::setStallTimeout(std::chrono::milliseconds timeout)
{
    m_stallTimeout = timeout;
    updateSweepInterval();
}

void HttpServer::updateSweepInterval()
{
    m_sweep.setInterval(qMin(m_requestTimeout, m_stallTimeout) / SweepsPerTimeout);
}

void HttpServer::setWebRoot(const QString &root)
{
    m_webRoot = root;
    m_webRootPath = QFile::encodeName(root);
}

void HttpServer::letEventsRun()
{
    if (m_nestedPasses >= MaximumNestedPasses)
        return;
    ++m_nestedPasses;
    EventPump::runPending();
    --m_nestedPasses;
}

// ---- Connection slots ----

void HttpServer::WinSock1_ConnectionRequest(qint64 requestId)
{
    letEventsRun();
    // At the cap a connection that has not asked for anything yet makes room; with none, the
    // request is refused and the listener rests until a connection ends.
    if (m_liveConnections >= m_connectionCap && !closeIdlest()) {
        updateAccepting();
        return;
    }
    int slot = freeSlot();
    if (slot < 0)
        slot = createSlot();
    // With no slot left the request is not accepted, which refuses it.
    if (slot < 0)
        return;
    ConnSlot &record = m_slots[size_t(slot)];
    resetRecord(slot);
    ++record.Connection;
    if (!m_winsock1.at(slot)->accept(m_winsock1.listener(), requestId))
        return;
    record.Live = true;
    record.AcceptedAt = record.LastActivity = m_clock.elapsed();
    ++m_liveConnections;
    ++m_waitingForRequest;
    updateAccepting();
    if (!m_sweep.isActive())
        m_sweep.start();
}

bool HttpServer::closeIdlest()
{
    int idlest = -1;
    for (int i = 1; i < int(m_slots.size()); ++i) {
        const ConnSlot &record = m_slots[size_t(i)];
        if (record.Live && !record.RequestTaken
            && (idlest < 0 || record.LastActivity < m_slots[size_t(idlest)].LastActivity))
            idlest = i;
    }
    if (idlest < 0)
        return false;
    WinSock1_Close(idlest);
    return m_liveConnections < m_connectionCap;
}

// Taking more than the cap would take the frame path's descriptors; a connection still waiting
// for its request can always be closed to make room, so only without one does the listener rest.
void HttpServer::updateAccepting()
{
    m_winsock1.listener().setAccepting(m_liveConnections < m_connectionCap || m_waitingForRequest > 0);
}

void HttpServer::closeOverdue()
{
    const qint64 now = m_clock.elapsed();
    // Closing lets events run: every slot is looked at anew.
    for (int i = 1; i < int(m_slots.size()); ++i) {
        const ConnSlot &record = m_slots[size_t(i)];
        if (!record.Live)
            continue;
        const bool noRequest = !record.RequestTaken && now - record.AcceptedAt >= m_requestTimeout.count();
        const bool stalled = record.RequestTaken && now - record.LastActivity >= m_stallTimeout.count()
            && m_winsock1.at(i)->bytesToWrite() > 0;
        if (noRequest || stalled)
            WinSock1_Close(i);
    }
    if (m_liveConnections == 0)
        m_sweep.stop();
}

int HttpServer::freeSlot() const
{
    const int highest = qMin(m_winsock1.highestIndex(), int(m_slots.size()) - 1);
    for (int i = 1; i <= highest; ++i) {
        if (m_winsock1.at(i)->state() == TcpConnection::Closed)
            return i;
    }
    return -1;
}

int HttpServer::createSlot()
{
    const int index = m_winsock1.highestIndex() + 1;
    if (index > m_highestSlotIndex)
        return -1;
    m_winsock1.create(index);
    m_slots.resize(size_t(index) + 1);
    while (m_tSendData.highestIndex() < index)
        m_tSendData.create(m_tSendData.highestIndex() + 1);
    m_tSendData.setEnabled(index, false);
    m_tSendData.setInterval(index, int(SendInterval.count()));
    // A request never needs more; a flood waits in the system's buffers, not in ours.
    m_winsock1.at(index)->setReceiveLimit(Request::MaximumPendingBytes);
    return index;
}

void HttpServer::resetRecord(int index)
{
    ConnSlot &record = m_slots[size_t(index)];
    if (record.Live) {
        record.Live = false;
        --m_liveConnections;
        m_waitingForRequest -= record.RequestTaken ? 0 : 1;
        updateAccepting();
    }
    if (record.FileNr == PagePending)
        m_pageBuilder.forget({index, record.Connection});
    releaseFile(record);
    record.FileNr = 0;
    record.RequestPath.clear();
    record.ResponseSize = 0;
    record.SentBytes = 0;
    record.PageText.clear();
    record.Received.clear();
    record.RequestTaken = false;
}

void HttpServer::releaseFile(ConnSlot &record)
{
    if (record.File)
        record.File->close();
    record.File.reset();
    if (record.FileNr >= FirstFileNumber) {
        m_fileNumbers.erase(record.FileNr);
        record.FileNr = 0;
    }
}

qint16 HttpServer::nextFileNumber() const
{
    qint16 number = FirstFileNumber;
    for (const qint16 used : m_fileNumbers) {
        if (used != number)
            break;
        ++number;
    }
    return number;
}

void HttpServer::WinSock1_SendComplete(int index)
{
    if (size_t(index) >= m_slots.size())
        return;
    const ConnSlot &before = m_slots[size_t(index)];
    if (before.SentBytes >= before.ResponseSize) {
        WinSock1_Close(index);
        return;
    }
    const quint64 connection = before.Connection;
    letEventsRun();
    const ConnSlot &record = m_slots[size_t(index)];
    // Closed or taken by another connection meanwhile: nothing of this response is left to send.
    if (record.Connection != connection || record.SentBytes >= record.ResponseSize)
        return;
    m_tSendData.setInterval(index, int(SendInterval.count()));
    m_tSendData.setEnabled(index, true);
}

// A client that shut down its sending side after a whole request still gets the whole answer
// (the slot closes when it is sent); before that, nothing can be answered any more.
void HttpServer::peerFinishedSending(int index)
{
    if (size_t(index) < m_slots.size() && !m_slots[size_t(index)].RequestTaken)
        WinSock1_Close(index);
}

void HttpServer::WinSock1_Close(int index)
{
    if (index < 0 || index > m_winsock1.highestIndex())
        return;
    if (index == 0) {
        closeListener();
        return;
    }
    TcpConnection *socket = m_winsock1.at(index);
    socket->close();
    // Released before events run, so a connection accepted into the slot
    // meanwhile never inherits (or loses) this one's file.
    quint64 connection = 0;
    if (size_t(index) < m_slots.size()) {
        resetRecord(index);
        connection = m_slots[size_t(index)].Connection;
    }
    letEventsRun();
    const auto sameConnection
        = [&] { return size_t(index) >= m_slots.size() || m_slots[size_t(index)].Connection == connection; };
    while (socket->state() != TcpConnection::Closed && sameConnection()) {
        socket->close();
        letEventsRun();
    }
    m_window.showNetworkStatus(u"WinSock "_s + QString::number(index) + u" closed"_s);
}

void HttpServer::closeListener()
{
    m_winsock1.listener().close();
    letEventsRun();
    m_window.showNetworkStatus(u"WinSock 0 closed"_s);
    m_window.setServerButtons(true);
}

// ---- Request handling ----

void HttpServer::Winsock1_DataArrival(int index, qint64 /*bytesTotal*/)
{
    letEventsRun();
    if (index < 1 || size_t(index) >= m_slots.size())
        return;
    TcpConnection *socket = m_winsock1.at(index);
    if (socket->state() != TcpConnection::Connected)
        return;
    ConnSlot &record = m_slots[size_t(index)];
    if (record.RequestTaken) {
        socket->takeAll();
        return;
    }
    m_window.showNetworkStatus(u"HTTP-Anfrage erhalten"_s);
    const qsizetype checked = record.Received.size();
    record.Received += socket->takeAll();
    record.LastActivity = m_clock.elapsed();
    switch (Request::judge(record.Received, checked)) {
    case Request::Verdict::Waiting: return;
    case Request::Verdict::Refused: WinSock1_Close(index); return;
    case Request::Verdict::Taken: break;
    }
    record.RequestTaken = true;
    --m_waitingForRequest;
    updateAccepting();
    const QByteArray request = std::exchange(record.Received, {});
    answer(index, Request::pathOf(request));
}

void HttpServer::answer(int index, const QByteArray &requestPath)
{
    const std::optional<Request::ServedPath> path = Request::servedPathFor(requestPath);
    if (!path) {
        answerNotFound(index);
        return;
    }
    // Decided on what is actually opened, so a link swapped meanwhile cannot lead out.
    ServedTree::Target target
        = ServedTree::open(ServedTree::openRoot(m_webRootPath), path->segments, path->folderWanted);
    if (target.kind() == FileSystem::Kind::Folder)
        answerFolder(index, target, path->joined());
    else if (target.kind() == FileSystem::Kind::Regular)
        answerFile(index, requestPath, std::move(target.opened));
    else
        answerNotFound(index);
}

void HttpServer::answerFolder(int index, const ServedTree::Target &folder, const QByteArray &folderPath)
{
    ConnSlot &record = m_slots[size_t(index)];
    // The header waits for the page, which is built off the event thread (pageBuilt).
    record.FileNr = PagePending;
    m_pageBuilder.request(*folder.inside, folder.opened.info, folderPath, {index, record.Connection});
}

void HttpServer::pageBuilt(const QList<PageBuilder::Waiter> &waiters, const QByteArray &page)
{
    const QByteArray shared = sharedPage(page);
    for (const PageBuilder::Waiter &waiter : waiters) {
        if (size_t(waiter.slot) >= m_slots.size())
            continue;
        ConnSlot &record = m_slots[size_t(waiter.slot)];
        // Closed, or taken by another connection, while the page was built.
        if (record.Connection != waiter.connection || record.FileNr != PagePending
            || record.ResponseSize != 0)
            continue;
        record.PageText = shared;
        record.PageOffset = 0;
        const QByteArray header = ResponseHeader::folder(m_serverName.toLatin1(), record.PageText.size());
        record.ResponseSize = record.PageText.size() + header.size();
        m_winsock1.at(waiter.slot)->send(header);
    }
}

QByteArray HttpServer::sharedPage(const QByteArray &page) const
{
    // An identical page that another slot still sends lends its bytes, so many
    // clients of one big folder hold it once.
    for (const ConnSlot &record : m_slots) {
        if (record.FileNr == PagePending && record.PageText == page)
            return record.PageText;
    }
    return page;
}

void HttpServer::answerFile(int index, const QByteArray &requestPath, FileSystem::OpenedEntry opened)
{
    std::unique_ptr<FileSystem::RawFile> file = FileSystem::RawFile::fromOpened(std::move(opened));
    // A sparse file can claim nearly 2^63 bytes, beyond what header and body can count together.
    if (!file || file->length() > LargestServedFile) {
        answerNotFound(index);
        return;
    }
    m_window.showNetworkStatus(u"Transfering: "_s + QString::fromLatin1(requestPath));
    ConnSlot &record = m_slots[size_t(index)];
    record.RequestPath = requestPath;
    record.FileNr = nextFileNumber();
    m_fileNumbers.insert(record.FileNr);
    record.File = std::move(file);
    const QByteArray header = ResponseHeader::file(
        m_serverName.toLatin1(), Request::contentTypeLine(requestPath), record.File->length());
    record.ResponseSize = record.File->length() + header.size();
    m_winsock1.at(index)->send(header);
}

void HttpServer::answerNotFound(int index)
{
    const QByteArray header = ResponseHeader::notFound(m_serverName.toLatin1());
    m_slots[size_t(index)].ResponseSize = header.size();
    m_winsock1.at(index)->send(header);
}

// ---- Transfer and progress ----

void HttpServer::TSendData_Timer(int index)
{
    // One-shot: the next tick is armed only by the next completed send.
    m_tSendData.setEnabled(index, false);
    if (size_t(index) >= m_slots.size())
        return;
    const ConnSlot &record = m_slots[size_t(index)];
    if (record.FileNr == PagePending)
        sendPageText(index);
    else if (record.FileNr >= FirstFileNumber)
        sendFilePiece(index);
}

void HttpServer::sendPageText(int index)
{
    ConnSlot &record = m_slots[size_t(index)];
    // A tick left over from the slot's previous connection while this page is still being built.
    if (record.ResponseSize == 0)
        return;
    const QByteArray piece = record.PageText.mid(record.PageOffset, m_pieceSize);
    record.PageOffset += piece.size();
    if (record.PageOffset >= record.PageText.size()) {
        record.FileNr = 0;
        record.PageText.clear();
        record.PageOffset = 0;
    }
    m_winsock1.at(index)->send(piece);
}

void HttpServer::sendFilePiece(int index)
{
    ConnSlot &record = m_slots[size_t(index)];
    FileSystem::RawFile &file = *record.File;
    const qint64 wanted = qMin(m_pieceSize, file.length() - file.position());
    const QByteArray piece = file.read(wanted);
    // A read error, or a file that got shorter since it was opened: the answer
    // cannot be completed, so the connection ends here.
    if (wanted <= 0 || piece.size() != wanted) {
        WinSock1_Close(index);
        return;
    }
    if (file.position() >= file.length())
        releaseFile(record);
    m_winsock1.at(index)->send(piece);
}

void HttpServer::Winsock1_SendProgress(int index, qint64 bytesSent)
{
    if (size_t(index) >= m_slots.size())
        return;
    ConnSlot &record = m_slots[size_t(index)];
    record.SentBytes += bytesSent;
    record.LastActivity = m_clock.elapsed();
    if (record.FileNr < FirstFileNumber || !record.File)
        return;
    if (const std::optional<QString> line
        = Progress::line(record.RequestPath, record.SentBytes, record.File->length())) {
        m_window.showNetworkStatus(*line);
        return;
    }
    // Only a zero-length file leaves the percentage without a value.
    m_window.showNetworkStatus(
        Progress::errorLine(LocaleFormat::nowText(), index, EDOM, qt_error_string(EDOM)));
}
