#pragma once

#include <QAbstractSocket>
#include <QObject>
#include <QVector>

class QSocketNotifier;
class QTcpServer;
class QTimer;

// Keeps a listener answering when the process runs out of file descriptors.
// A few descriptors are held back while connections are admitted and given
// back once the process is full, so that it can still take waiting
// connections in order to close them (they fail at once instead of hanging)
// and open the odd pipe or file, until a departure makes room again. A child
// of the listener it guards; main thread. Elsewhere than on POSIX systems it
// admits every connection.
class DescriptorReserve : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DescriptorReserve)

public:
    explicit DescriptorReserve(QTcpServer* listener);
    ~DescriptorReserve() override;

    // Judges a descriptor the listener accepted: false when it was closed
    // because admitting it would take the last free descriptor.
    bool admit(qintptr descriptor);
    // A connection has left; its descriptor goes once its socket is deleted.
    void connectionLeft();

private:
    void acceptFailed(QAbstractSocket::SocketError err);
    // While full: closes the connections that wait in the listen queue.
    void turnAwayWaitingConnections();
    // Accepts again once the spare descriptors can be held again.
    void resumeAcceptingIfRoom();
    void reserve();
    void release();

    QTcpServer* m_listener;
    QVector<int> m_spare;
    // Out of descriptors: new connections are turned away.
    bool m_full = false;
    // The lack of descriptors has been logged (once until the next admission).
    bool m_acceptFailing = false;
    QSocketNotifier* m_turnAwayNotifier = nullptr;
    QTimer* m_retryTimer;
};
