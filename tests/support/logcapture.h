#pragma once

#include <QStringList>
#include <QtGlobal>

// Collects the messages logged (qDebug ... qFatal) from any thread while it
// lives, and puts the previous handler back when it dies. Captures nest: the
// innermost one collects. With Forward, all but debug messages also go on to
// the previous handler, so that warnings still show in the test's output.
class LogCapture
{
public:
    enum Forwarding { Quiet, Forward };

    explicit LogCapture(Forwarding forwarding = Quiet);
    ~LogCapture();

    QStringList lines() const;
    QStringList linesContaining(const QString& text) const;
    bool contains(const QString& text) const;
    int count(const QString& text) const;
    // Runs the event loop until a line contains text.
    bool waitFor(const QString& text, int timeoutMs = 5000) const;
    void clear();

private:
    Q_DISABLE_COPY(LogCapture)
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message);

    const Forwarding m_forwarding;
    QtMessageHandler m_previous = nullptr;
    LogCapture* m_outer = nullptr;
    QStringList m_lines;
};
