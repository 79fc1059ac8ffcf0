#pragma once

#include "admission.h"

#include <QHash>
#include <QObject>

class QTimer;

// The timers of the connections that Admission keeps waiting: per connection
// a step timer that serves both handshake steps in turn and, optionally, a
// deadline for the whole admission. Both are children of the connection's
// object (its socket), so a timeout never outlives the connection it is
// about; they are stopped when the admission ends and die with that object,
// on no other path. Owned by the admitting object; main thread.
class HandshakeTimers : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HandshakeTimers)

public:
    // deadlineMs 0: no deadline.
    HandshakeTimers(int stepIntervalMs, int deadlineMs, QObject* parent);

    // A connection starts its admission; its deadline (if any) starts now.
    void add(QObject* connection);
    // Starts or stops the connection's step timer as a transition asks.
    void follow(QObject* connection, const Admission::Reply& reply);
    // The admission has ended (ready or removed): both timers stop for good.
    void end(QObject* connection);

signals:
    void stepTimedOut(QObject* connection);
    void deadlinePassed(QObject* connection);

private:
    struct Timers
    {
        QTimer* step = nullptr;
        QTimer* deadline = nullptr;
    };

    int m_stepIntervalMs;
    int m_deadlineMs;
    QHash<QObject*, Timers> m_timers;
};
