#include "sourcefeeder.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <QDebug>
#include <QFile>

namespace {

constexpr int kChunkBytes = 3840; // 20 ms at 48000 Hz stereo 16-bit

} // namespace

SourceFeeder::SourceFeeder(const QString& fifo)
    : fifoPath(fifo.isEmpty() ? qEnvironmentVariable("CLASSROOM_SOURCE_FIFO") : fifo)
{ }

SourceFeeder::~SourceFeeder()
{
    stop();
}

bool SourceFeeder::start(const QByteArray& pcm48kStereoS16, bool loopPcm)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        // Whole frames only, so the stream never slips off frame alignment.
        pcm = pcm48kStereoS16.left(pcm48kStereoS16.size() / 4 * 4);
        loop = loopPcm;
        position = 0;
        fed = 0;
        done = pcm.isEmpty();
    }
    if (worker.joinable())
        return true;

    if (fifoPath.isEmpty()) {
        qWarning() << "SourceFeeder: no microphone FIFO (run under with-pulse.sh)";
        return false;
    }
    // Non-blocking, so that stop() is never stuck behind a full FIFO.
    fd = ::open(QFile::encodeName(fifoPath).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        qWarning() << "SourceFeeder: cannot open" << fifoPath << qt_error_string(errno);
        return false;
    }
    stopRequested = false;
    worker = std::thread(&SourceFeeder::run, this);
    return true;
}

void SourceFeeder::stop()
{
    stopRequested = true;
    if (worker.joinable())
        worker.join();
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

bool SourceFeeder::isRunning() const
{
    return worker.joinable() && !stopRequested;
}

qint64 SourceFeeder::bytesFed() const
{
    return fed;
}

bool SourceFeeder::finished() const
{
    return done;
}

QByteArray SourceFeeder::nextChunk()
{
    std::lock_guard<std::mutex> lock(mutex);
    QByteArray chunk;
    while (chunk.size() < kChunkBytes && !pcm.isEmpty()) {
        if (position >= pcm.size()) {
            if (!loop)
                break;
            position = 0;
        }
        const int take = int(qMin<qint64>(kChunkBytes - chunk.size(), pcm.size() - position));
        chunk.append(pcm.constData() + position, take);
        position += take;
        fed += take;
    }
    if (!loop && position >= pcm.size())
        done = true;
    // Silence keeps the feed stream from running dry, which would hold back
    // the tail of a pattern until its buffer fills again.
    chunk.append(QByteArray(kChunkBytes - chunk.size(), '\0'));
    return chunk;
}

void SourceFeeder::run()
{
    // A server that went away must show up as EPIPE here, not kill the test.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

    while (!stopRequested) {
        const QByteArray chunk = nextChunk();
        const char* data = chunk.constData();
        qint64 left = chunk.size();
        while (left > 0 && !stopRequested) {
            const ssize_t written = ::write(fd, data, size_t(left));
            if (written > 0) {
                data += written;
                left -= written;
            } else if (written < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd waitFor { fd, POLLOUT, 0 };
                ::poll(&waitFor, 1, 50);
            } else {
                qWarning() << "SourceFeeder: write failed:" << qt_error_string(errno);
                stopRequested = true;
            }
        }
    }
}
