#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QList>

// Stands in for a started audio device. As an input: the caller decides
// exactly which bytes arrive and in which pieces; each push() is one
// readyRead(). As an output: each write takes at most the next of the
// write limits (cycled; none set takes everything) and keeps what it took.
// Used by tests and benchmarks alike (they compile pcmpipe.cpp themselves
// when built without the test library).
class PcmPipe : public QIODevice
{
public:
    PcmPipe();

    void push(const QByteArray& pcm);
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;

    void setWriteLimits(const QList<int>& limits);
    QByteArray written() const { return m_written; }
    int writeCalls() const { return m_writeCalls; }

protected:
    qint64 readData(char* out, qint64 max) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    QByteArray m_data;
    QByteArray m_written;
    QList<int> m_writeLimits;
    int m_writeCalls = 0;
};
