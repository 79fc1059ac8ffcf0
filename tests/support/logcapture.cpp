#include "logcapture.h"

#include <QMutex>
#include <QMutexLocker>
#include <QTest>

namespace {

// One lock for the active capture and every capture's lines: a message may
// come from another thread while a capture is being destroyed.
QMutex s_mutex;
LogCapture* s_active = nullptr;

} // namespace

LogCapture::LogCapture(Forwarding forwarding) : m_forwarding(forwarding)
{
    QMutexLocker lock(&s_mutex);
    m_outer = s_active;
    s_active = this;
    m_previous = qInstallMessageHandler(&LogCapture::handle);
}

LogCapture::~LogCapture()
{
    QMutexLocker lock(&s_mutex);
    qInstallMessageHandler(m_previous);
    s_active = m_outer;
}

void LogCapture::handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    QtMessageHandler forwardTo = nullptr;
    {
        QMutexLocker lock(&s_mutex);
        if (!s_active)
            return;
        s_active->m_lines.append(message);
        if (type == QtFatalMsg || (s_active->m_forwarding == Forward && type != QtDebugMsg))
            forwardTo = s_active->m_previous;
    }
    if (forwardTo)
        forwardTo(type, context, message);
}

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&s_mutex);
    return m_lines;
}

QStringList LogCapture::linesContaining(const QString& text) const
{
    return lines().filter(text);
}

bool LogCapture::contains(const QString& text) const
{
    return !linesContaining(text).isEmpty();
}

int LogCapture::count(const QString& text) const
{
    return linesContaining(text).size();
}

bool LogCapture::waitFor(const QString& text, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return contains(text); }, timeoutMs);
}

void LogCapture::clear()
{
    QMutexLocker lock(&s_mutex);
    m_lines.clear();
}
