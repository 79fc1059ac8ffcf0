#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <mutex>
#include <thread>

// Feeds the harness microphone: a thread of its own writes PCM (48000 Hz,
// stereo, signed 16-bit LE) in 20 ms chunks into the server's microphone FIFO
// and silence between and after patterns, so the test's event loop may block.
// Pacing comes from the server playing the FIFO out in real time. One feeder
// per server at a time; owned by the test, stopped by its destructor.
class SourceFeeder
{
    Q_DISABLE_COPY(SourceFeeder)

public:
    // The FIFO of this process's server (CLASSROOM_SOURCE_FIFO) or another one.
    explicit SourceFeeder(const QString& fifoPath = QString());
    ~SourceFeeder();

    // Plays `pcm` once (or again and again with `loop`) from the next chunk
    // on, replacing what was playing. False if the FIFO cannot be opened.
    bool start(const QByteArray& pcm48kStereoS16, bool loop);
    // Ends the thread; PCM already in the FIFO still reaches the source.
    void stop();

    bool isRunning() const;
    // Bytes of the given PCM (not silence) written so far since start().
    qint64 bytesFed() const;
    // True once a non-looping PCM has been written completely.
    bool finished() const;

private:
    void run();
    QByteArray nextChunk();

    QString fifoPath;
    int fd = -1;
    std::thread worker;
    std::atomic<bool> stopRequested { false };
    std::atomic<qint64> fed { 0 };
    std::atomic<bool> done { false };
    mutable std::mutex mutex;
    QByteArray pcm;
    bool loop = false;
    qint64 position = 0;
};
