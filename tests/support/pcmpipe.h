#pragma once

#include <QByteArray>
#include <QIODevice>

// Stands in for a started audio input's device: the caller decides exactly
// which bytes arrive and in which pieces; each push() is one readyRead().
// Used by tests and benchmarks alike (they compile pcmpipe.cpp themselves
// when built without the test library).
class PcmPipe : public QIODevice
{
public:
    PcmPipe();

    void push(const QByteArray& pcm);
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;

protected:
    qint64 readData(char* out, qint64 max) override;
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray m_data;
};
