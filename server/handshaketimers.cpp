#include "handshaketimers.h"

#include <QTimer>

HandshakeTimers::HandshakeTimers(int stepIntervalMs, int deadlineMs, QObject* parent)
    : QObject(parent), m_stepIntervalMs(stepIntervalMs), m_deadlineMs(deadlineMs)
{ }

void HandshakeTimers::add(QObject* connection)
{
    Timers timers;
    timers.step = new QTimer(connection);
    timers.step->setInterval(m_stepIntervalMs);
    connect(
        timers.step, &QTimer::timeout, this, [this, connection] { emit stepTimedOut(connection); });
    if (m_deadlineMs > 0) {
        timers.deadline = new QTimer(connection);
        timers.deadline->setSingleShot(true);
        connect(timers.deadline, &QTimer::timeout, this,
            [this, connection] { emit deadlinePassed(connection); });
        timers.deadline->start(m_deadlineMs);
    }
    m_timers.insert(connection, timers);
}

void HandshakeTimers::follow(QObject* connection, const Admission::Reply& reply)
{
    const auto it = m_timers.constFind(connection);
    if (it == m_timers.cend())
        return;
    if (reply.timer == Admission::Reply::StartTimer)
        it->step->start();
    else if (reply.timer == Admission::Reply::StopTimer)
        it->step->stop();
}

void HandshakeTimers::end(QObject* connection)
{
    // The connection may be delivering the signal that led here: its timers
    // only stop now, and go when it goes.
    const Timers timers = m_timers.take(connection);
    for (QTimer* timer : { timers.step, timers.deadline }) {
        if (timer)
            timer->stop();
    }
}
