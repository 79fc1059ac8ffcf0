#include "descriptorreserve.h"

#include "serverlog.h"

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <QDebug>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>

using namespace ServerLog;

namespace {

// Descriptors held back for the time the process is full: one to take a
// connection in order to close it, the rest for what the process or its
// runtime must still open (a pipe, a file).
constexpr int kSpareDescriptors = 4;
// When even the spares are gone, the listener is looked at again this often;
// admitted clients are served in between.
constexpr int kAcceptRetryMs = 1000;
// Waiting connections closed in one go.
constexpr int kMaxTurnedAwayAtOnce = 64;

} // namespace

DescriptorReserve::DescriptorReserve(QTcpServer* listener)
    : QObject(listener), m_listener(listener), m_retryTimer(new QTimer(this))
{
    reserve();
    m_retryTimer->setSingleShot(true);
    m_retryTimer->setInterval(kAcceptRetryMs);
    connect(m_retryTimer, &QTimer::timeout, this, &DescriptorReserve::resumeAcceptingIfRoom);
    connect(listener, &QTcpServer::acceptError, this, &DescriptorReserve::acceptFailed);
}

DescriptorReserve::~DescriptorReserve()
{
    release();
}

bool DescriptorReserve::admit(qintptr descriptor)
{
#ifdef Q_OS_UNIX
    // A connection is admitted only while a descriptor stays free besides the
    // spares; the one that would take the last is turned away instead. QTcpServer
    // may go on accepting within the same round after it was paused: while
    // full, those are turned away too, or they would eat the spares.
    const int probe = m_full ? -1 : ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (probe < 0) {
        ::close(int(descriptor));
        if (!m_full) {
            m_listener->pauseAccepting();
            acceptFailed(QAbstractSocket::SocketResourceError);
        }
        return false;
    }
    ::close(probe);
#else
    Q_UNUSED(descriptor)
#endif
    if (m_acceptFailing) {
        m_acceptFailing = false;
        qCDebug(lcServer) << kTag << "Accepting new connections again";
    }
    return true;
}

void DescriptorReserve::connectionLeft()
{
    if (m_full)
        QMetaObject::invokeMethod(
            this, &DescriptorReserve::resumeAcceptingIfRoom, Qt::QueuedConnection);
}

void DescriptorReserve::acceptFailed(QAbstractSocket::SocketError err)
{
    // QTcpServer has paused accepting. The clients already here are served on;
    // waiting connections are closed so that they fail at once instead of
    // hanging, until a departure makes room again.
    if (!m_acceptFailing) {
        m_acceptFailing = true;
        qCDebug(lcServer) << kTag << "Cannot accept connections, turning new ones away:" << err;
    }
    m_full = true;
    release();
    if (!m_turnAwayNotifier) {
        m_turnAwayNotifier
            = new QSocketNotifier(m_listener->socketDescriptor(), QSocketNotifier::Read, this);
        connect(m_turnAwayNotifier, &QSocketNotifier::activated, this,
            &DescriptorReserve::turnAwayWaitingConnections);
    }
    m_turnAwayNotifier->setEnabled(true);
    turnAwayWaitingConnections();
}

void DescriptorReserve::turnAwayWaitingConnections()
{
#ifdef Q_OS_UNIX
    const int listener = int(m_listener->socketDescriptor());
    for (int i = 0; listener >= 0 && i < kMaxTurnedAwayAtOnce; ++i) {
        const int waiting = ::accept(listener, nullptr, nullptr);
        if (waiting >= 0) {
            ::close(waiting);
            continue;
        }
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // Not even a spare left: look again later rather than spin.
            m_turnAwayNotifier->setEnabled(false);
            m_retryTimer->start();
        }
        return;
    }
#endif
}

void DescriptorReserve::resumeAcceptingIfRoom()
{
    if (!m_full)
        return;
    reserve();
    if (m_spare.size() < kSpareDescriptors) {
        // Still full: keep turning connections away.
        release();
        if (m_turnAwayNotifier)
            m_turnAwayNotifier->setEnabled(true);
        m_retryTimer->start();
        return;
    }
    m_full = false;
    if (m_turnAwayNotifier)
        m_turnAwayNotifier->setEnabled(false);
    m_listener->resumeAccepting();
}

void DescriptorReserve::reserve()
{
#ifdef Q_OS_UNIX
    while (m_spare.size() < kSpareDescriptors) {
        const int spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (spare < 0)
            return;
        m_spare.append(spare);
    }
#endif
}

void DescriptorReserve::release()
{
#ifdef Q_OS_UNIX
    for (int spare : qAsConst(m_spare))
        ::close(spare);
#endif
    m_spare.clear();
}
