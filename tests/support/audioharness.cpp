#include "audioharness.h"

#include <cmath>
#include <complex>
#include <csignal>
#include <vector>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>
#include <QtEndian>

#include "childprocess.h"

namespace {

QString resolve(const QString& dir)
{
    return dir.isEmpty() ? AudioHarness::serverDir() : QDir(dir).absolutePath();
}

bool runServerScript(const QString& action, const QString& dir)
{
    QProcess script;
    script.setProcessChannelMode(QProcess::ForwardedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("CLASSROOM_PULSE_OWNER"),
        QString::number(QCoreApplication::applicationPid()));
    script.setProcessEnvironment(environment);
    script.start(QStringLiteral(CLASSROOM_PULSE_SERVER_SCRIPT), { action, dir });
    // Bounded by the script's own waits (5 s each) plus its shutdown waits.
    if (!ChildProcess::waitForEnd(script, 30000)) {
        ChildProcess::signalAndWait(script, SIGKILL);
        return false;
    }
    return script.exitStatus() == QProcess::NormalExit && script.exitCode() == 0;
}

using Complex = std::complex<double>;

// In-place iterative radix-2 transform; the size is a power of two.
void fft(std::vector<Complex>& data, bool inverse)
{
    const size_t n = data.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(data[i], data[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const double angle = 2 * M_PI / double(len) * (inverse ? 1 : -1);
        const Complex step(std::cos(angle), std::sin(angle));
        for (size_t i = 0; i < n; i += len) {
            Complex w(1);
            for (size_t k = 0; k < len / 2; ++k) {
                const Complex a = data[i + k];
                const Complex b = data[i + k + len / 2] * w;
                data[i + k] = a + b;
                data[i + k + len / 2] = a - b;
                w *= step;
            }
        }
    }
    if (inverse) {
        for (Complex& value : data)
            value /= double(n);
    }
}

std::vector<double> channelSamples(const QByteArray& pcm, int channel)
{
    const int frames = pcm.size() / AudioHarness::kBytesPerFrame;
    std::vector<double> samples(size_t(qMax(frames, 0)));
    const uchar* data = reinterpret_cast<const uchar*>(pcm.constData());
    for (int i = 0; i < frames; ++i)
        samples[size_t(i)]
            = qFromLittleEndian<qint16>(data + i * AudioHarness::kBytesPerFrame + channel * 2);
    return samples;
}

} // namespace

QAudioFormat AudioHarness::format()
{
    QAudioFormat result;
    result.setSampleRate(kSampleRate);
    result.setChannelCount(kChannels);
    result.setSampleSize(16);
    result.setSampleType(QAudioFormat::SignedInt);
    result.setByteOrder(QAudioFormat::LittleEndian);
    result.setCodec(QStringLiteral("audio/pcm"));
    return result;
}

QByteArray AudioHarness::silence(int ms)
{
    return QByteArray(kSampleRate / 1000 * ms * kBytesPerFrame, '\0');
}

QByteArray AudioHarness::testPattern(int ms, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray pcm(kSampleRate / 1000 * ms * kBytesPerFrame, Qt::Uninitialized);
    uchar* data = reinterpret_cast<uchar*>(pcm.data());
    for (int i = 0; i + 1 < pcm.size(); i += 2)
        qToLittleEndian<qint16>(qint16(random.bounded(-30000, 30001)), data + i);
    return pcm;
}

QString AudioHarness::serverDir()
{
    return qEnvironmentVariable("CLASSROOM_PULSE_DIR");
}

bool AudioHarness::isRunning(const QString& dir)
{
    const QString base = resolve(dir);
    if (base.isEmpty() || !QFileInfo(base + QStringLiteral("/native")).exists())
        return false;
    QFile pidFile(base + QStringLiteral("/pulse.pid"));
    if (!pidFile.open(QIODevice::ReadOnly))
        return false;
    const QByteArray pid = pidFile.readAll().trimmed();
    // A stopped daemon may linger as a zombie until init reaps it.
    QFile stat(QStringLiteral("/proc/") + QString::fromLatin1(pid) + QStringLiteral("/stat"));
    if (pid.isEmpty() || !stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray fields = stat.readAll();
    const int afterName = fields.lastIndexOf(')') + 2;
    return afterName > 1 && afterName < fields.size() && fields.at(afterName) != 'Z';
}

QString AudioHarness::serverAddress(const QString& dir)
{
    return QStringLiteral("unix:") + resolve(dir) + QStringLiteral("/native");
}

QString AudioHarness::sinkCapturePath(const QString& dir)
{
    if (dir.isEmpty() && qEnvironmentVariableIsSet("CLASSROOM_SINK_CAPTURE"))
        return qEnvironmentVariable("CLASSROOM_SINK_CAPTURE");
    return resolve(dir) + QStringLiteral("/sink.raw");
}

QString AudioHarness::sourceFifoPath(const QString& dir)
{
    if (dir.isEmpty() && qEnvironmentVariableIsSet("CLASSROOM_SOURCE_FIFO"))
        return qEnvironmentVariable("CLASSROOM_SOURCE_FIFO");
    return resolve(dir) + QStringLiteral("/mic.fifo");
}

QString AudioHarness::microphoneCapturePath(const QString& dir)
{
    return resolve(dir) + QStringLiteral("/mic.raw");
}

qint64 AudioHarness::sinkCaptureSize(const QString& dir)
{
    return QFileInfo(sinkCapturePath(dir)).size();
}

QByteArray AudioHarness::readSinkCapture(qint64 offset, qint64 bytes, const QString& dir)
{
    QFile capture(sinkCapturePath(dir));
    if (!capture.open(QIODevice::ReadOnly) || !capture.seek(offset))
        return QByteArray();
    return bytes < 0 ? capture.readAll() : capture.read(bytes);
}

bool AudioHarness::waitForSinkCapture(qint64 size, int timeoutMs, const QString& dir)
{
    QDeadlineTimer deadline(timeoutMs);
    while (sinkCaptureSize(dir) < size) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

bool AudioHarness::startPrivateServer(const QString& dir)
{
    return QDir().mkpath(dir) && runServerScript(QStringLiteral("start"), QDir(dir).absolutePath());
}

bool AudioHarness::stopPrivateServer(const QString& dir)
{
    return runServerScript(QStringLiteral("stop"), QDir(dir).absolutePath());
}

QProcessEnvironment AudioHarness::environmentFor(const QString& dir)
{
    const QString base = QDir(dir).absolutePath();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PULSE_SERVER"), serverAddress(base));
    environment.insert(QStringLiteral("CLASSROOM_PULSE_DIR"), base);
    environment.insert(QStringLiteral("CLASSROOM_SINK_CAPTURE"), sinkCapturePath(base));
    environment.insert(QStringLiteral("CLASSROOM_SOURCE_FIFO"), sourceFifoPath(base));
    return environment;
}

qint64 AudioHarness::findExact(const QByteArray& haystack, const QByteArray& needle, qint64 from)
{
    if (needle.isEmpty())
        return -1;
    for (int at = haystack.indexOf(needle, int(from)); at >= 0;
         at = haystack.indexOf(needle, at + 1)) {
        if (at % kBytesPerFrame == 0)
            return at;
    }
    return -1;
}

AudioHarness::Match AudioHarness::findSignal(
    const QByteArray& haystack, const QByteArray& needle, int channel)
{
    const std::vector<double> h = channelSamples(haystack, channel);
    const std::vector<double> n = channelSamples(needle, channel);
    Match best;
    if (n.empty() || h.size() < n.size())
        return best;

    double needleEnergy = 0;
    for (double value : n)
        needleEnergy += value * value;
    if (needleEnergy <= 0)
        return best;

    size_t size = 1;
    while (size < h.size() + n.size())
        size <<= 1;
    std::vector<Complex> a(size), b(size);
    std::copy(h.begin(), h.end(), a.begin());
    std::copy(n.begin(), n.end(), b.begin());
    fft(a, false);
    fft(b, false);
    for (size_t i = 0; i < size; ++i)
        a[i] *= std::conj(b[i]);
    fft(a, true);

    // Energy of each haystack window from running sums.
    std::vector<double> prefix(h.size() + 1, 0.0);
    for (size_t i = 0; i < h.size(); ++i)
        prefix[i + 1] = prefix[i] + h[i] * h[i];

    for (size_t lag = 0; lag + n.size() <= h.size(); ++lag) {
        const double windowEnergy = prefix[lag + n.size()] - prefix[lag];
        if (windowEnergy <= 0)
            continue;
        const double score = a[lag].real() / std::sqrt(windowEnergy * needleEnergy);
        if (best.offset < 0 || score > best.score) {
            best.offset = qint64(lag) * kBytesPerFrame;
            best.score = score;
        }
    }
    return best;
}
