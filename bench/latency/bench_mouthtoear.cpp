// Mouth to ear through two real podium processes on one machine, each with
// its own PulseAudio server: A hosts the class, B joins it with its UDP path
// through impair-relay, which logs every datagram's arrival (the network
// tap). Speech fed into A's microphone is found by correlation in what A's
// microphone delivered (mic.raw), in the voice packets at the tap (decoded)
// and in what B's speaker played (sink.raw); a thread samples how both
// captures grow, which turns byte offsets into times.
//
// For the fixed playout of old (CLASSROOM_PLAYOUT=fixed: 80 ms output, a
// delay that only grows) and the playout that follows the network, in one
// run: the delays while a CPU hog keeps both cores busy and what B's playback
// delay consists of; the delay's drift over speech whose packets the relay
// holds back for 300 ms every 10 s; and the same speech with 20 and 40 ms of
// reordering jitter on the relay: frames played late, concealed, played in
// their slot after all and discarded (from B's log) and the segmental SNR of
// B's playback against a clean decode of the packets B was sent. Prints
// "name: value unit".

#include "audioharness.h"
#include "benchcommon.h"
#include "freeport.h"
#include "impairrelay.h"
#include "opusdecoderwrapper.h"
#include "podiumprocess.h"
#include "sourcefeeder.h"
#include "wireformat.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

using namespace VoiceBench;

namespace {

constexpr int kBytesPerSecond = 192000;
constexpr int kBytesPerMs = kBytesPerSecond / 1000;
constexpr int kJoinTimeoutMs = 30000;
// One stretch of speech is looked for every kStepMs; it is kNeedleMs long.
constexpr int kStepMs = 500;
constexpr int kNeedleMs = 1000;
// Below this normalised correlation a stretch counts as not found (the
// podium test measured unrelated stretches of this speech at up to 0.39).
constexpr double kFound = 0.5;
// Time after the speech for the slowest playback to finish it.
constexpr int kTailMs = 2000;

bool verbose = false;

template <typename... Args> void trace(const char* format, Args... args)
{
    if (!verbose)
        return;
    std::fprintf(stderr, "bench_mouthtoear: ");
    std::fprintf(stderr, format, args...);
    std::fprintf(stderr, "\n");
}

qint64 nowNs()
{
    return ImpairRelay::monotonicNs();
}

void pump(int ms)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(5);
    }
}

template <typename Predicate> bool pumpUntil(Predicate done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        pump(20);
    }
    return true;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const size_t at = std::min(values.size() - 1, size_t(p / 100.0 * double(values.size())));
    return values[at];
}

// Mean absolute level of the first channel per millisecond.
std::vector<double> envelope(const QByteArray& pcm)
{
    constexpr int kFramesPerBin = 48;
    std::vector<double> bins(size_t(pcm.size() / 4 / kFramesPerBin));
    for (size_t b = 0; b < bins.size(); ++b) {
        double sum = 0;
        for (int i = 0; i < kFramesPerBin; ++i)
            sum += std::abs(
                qFromLittleEndian<qint16>(pcm.constData() + (b * kFramesPerBin + i) * 4));
        bins[b] = sum / kFramesPerBin;
    }
    return bins;
}

// Where `needle` sits in `haystack` when the codec has changed its waveform:
// the best lag of the two envelopes (1 ms steps, scored by their
// correlation), refined on the waveform within 2 ms.
AudioHarness::Match findByEnvelope(const QByteArray& haystack, const QByteArray& needle)
{
    AudioHarness::Match best;
    const std::vector<double> h = envelope(haystack);
    const std::vector<double> n = envelope(needle);
    if (n.empty() || h.size() < n.size())
        return best;
    double nMean = 0;
    for (double v : n)
        nMean += v;
    nMean /= double(n.size());
    double nVar = 0;
    for (double v : n)
        nVar += (v - nMean) * (v - nMean);
    size_t bestLag = 0;
    for (size_t lag = 0; lag + n.size() <= h.size(); ++lag) {
        double hMean = 0;
        for (size_t i = 0; i < n.size(); ++i)
            hMean += h[lag + i];
        hMean /= double(n.size());
        double cov = 0, hVar = 0;
        for (size_t i = 0; i < n.size(); ++i) {
            cov += (h[lag + i] - hMean) * (n[i] - nMean);
            hVar += (h[lag + i] - hMean) * (h[lag + i] - hMean);
        }
        const double score = hVar > 0 && nVar > 0 ? cov / std::sqrt(hVar * nVar) : 0;
        if (best.offset < 0 || score > best.score) {
            best.score = score;
            best.offset = qint64(lag) * 48 * 4;
            bestLag = lag;
        }
    }
    const qint64 from = qMax<qint64>(0, qint64(bestLag) * 48 * 4 - 2 * kBytesPerMs);
    const AudioHarness::Match fine = AudioHarness::findSignal(
        haystack.mid(int(from), needle.size() + 4 * kBytesPerMs), needle);
    if (fine.offset >= 0)
        best.offset = from + fine.offset;
    return best;
}

QByteArray readRange(const QString& path, qint64 offset, qint64 bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    offset = qMax<qint64>(0, offset) / 4 * 4;
    if (!file.seek(offset))
        return QByteArray();
    return file.read(qMax<qint64>(0, bytes));
}

// How two growing captures grew: their sizes, sampled every millisecond on a
// thread of its own so that a busy main thread does not blur the times.
class GrowthTracker
{
public:
    struct Sample
    {
        qint64 ns;
        qint64 size;
    };

    explicit GrowthTracker(const QStringList& paths)
        : m_paths(paths), m_samples(size_t(paths.size()))
    {
        m_thread = std::thread([this] { run(); });
    }
    ~GrowthTracker()
    {
        m_stop = true;
        m_thread.join();
    }

    qint64 size(int capture) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto& samples = m_samples[size_t(capture)];
        return samples.empty() ? 0 : samples.back().size;
    }

    // When byte `offset` was written: the capture grows in blocks, and the
    // first byte of a block is taken to be played when the block appeared,
    // the rest at the audio rate after it. -1 if not written yet.
    double msOf(int capture, qint64 offset) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto& samples = m_samples[size_t(capture)];
        const auto it = std::upper_bound(samples.begin(), samples.end(), offset,
            [](qint64 value, const Sample& sample) { return value < sample.size; });
        if (it == samples.end() || it == samples.begin())
            return -1;
        const Sample& before = *(it - 1);
        const double written = double(before.ns + it->ns) / 2e6;
        return written + double(offset - before.size) / kBytesPerMs;
    }

    // Size of the capture at a time in milliseconds (of the monotonic clock).
    qint64 sizeAt(int capture, double ms) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto& samples = m_samples[size_t(capture)];
        const auto it = std::upper_bound(samples.begin(), samples.end(), qint64(ms * 1e6),
            [](qint64 value, const Sample& sample) { return value < sample.ns; });
        return it == samples.begin() ? 0 : (it - 1)->size;
    }

    // The typical block the capture grows by, in milliseconds of audio.
    double blockMs(int capture) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto& samples = m_samples[size_t(capture)];
        std::vector<double> steps;
        for (size_t i = 1; i < samples.size(); ++i)
            steps.push_back(double(samples[i].size - samples[i - 1].size) / kBytesPerMs);
        return percentile(steps, 50);
    }

private:
    void run()
    {
        while (!m_stop) {
            for (int i = 0; i < m_paths.size(); ++i) {
                const qint64 size = QFileInfo(m_paths[i]).size();
                std::lock_guard<std::mutex> lock(m_mutex);
                auto& samples = m_samples[size_t(i)];
                if (samples.empty() || samples.back().size != size)
                    samples.push_back({ nowNs(), size });
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    }

    QStringList m_paths;
    mutable std::mutex m_mutex;
    std::vector<std::vector<Sample>> m_samples;
    std::atomic<bool> m_stop { false };
    std::thread m_thread;
};

// Keeps both cores busy at normal priority while it lives.
class CpuHog
{
public:
    CpuHog()
    {
        for (unsigned i = 0; i < std::max(2u, std::thread::hardware_concurrency()); ++i) {
            m_threads.emplace_back([this] {
                volatile quint64 spin = 0;
                while (!m_stop)
                    spin = spin + 1;
            });
        }
    }
    ~CpuHog()
    {
        m_stop = true;
        for (auto& thread : m_threads)
            thread.join();
    }

private:
    std::atomic<bool> m_stop { false };
    std::vector<std::thread> m_threads;
};

struct Packet
{
    qint64 ns;
    quint32 seq;
    QByteArray opus;
};

// Voice packets the relay saw on their way to B, from its log.
std::vector<Packet> voicePacketsTowardsB(const QString& logPath, qint64 fromNs, qint64 toNs)
{
    std::vector<Packet> packets;
    QFile log(logPath);
    if (!log.open(QIODevice::ReadOnly))
        return packets;
    while (!log.atEnd()) {
        const QList<QByteArray> fields = log.readLine().trimmed().split(' ');
        if (fields.size() != 3 || fields[1] != "down")
            continue;
        const qint64 ns = fields[0].toLongLong();
        const QByteArray datagram = QByteArray::fromHex(fields[2]);
        if (ns < fromNs || ns > toNs
            || datagram.size() <= WireFormat::kTagSize + WireFormat::kVoiceHeaderSize
            || !datagram.startsWith(WireFormat::kVoiceTag.latin1()))
            continue;
        packets.push_back(
            { ns, qFromBigEndian<quint32>(datagram.constData() + WireFormat::kTagSize),
                datagram.mid(WireFormat::kTagSize + WireFormat::kVoiceHeaderSize) });
    }
    std::sort(packets.begin(), packets.end(),
        [](const Packet& a, const Packet& b) { return a.seq < b.seq; });
    return packets;
}

// What B's player reported, counted from its log.
struct PlayerCounts
{
    int late = 0; // the ring ran dry: silence played while a frame was late
    int concealed = 0; // frames missing when a later one arrived, and never played
    int playedLate = 0; // overtaken frames decoded into their slot after all
    int discarded = 0; // frames that came after a later one, or twice
    int deviceUnderruns = 0;
};

PlayerCounts countPlayerEvents(const QByteArray& log)
{
    PlayerCounts counts;
    const QList<QByteArray> lines = log.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray& line = lines[i];
        // The fixed playout queued a silence slot when the ring ran dry; the
        // other one plays silence and says so.
        if (line.contains("produceInitialDelay") || line.contains("ring ran dry")) {
            ++counts.late;
        } else if (line.contains("LATE PACKET PLAYED")) {
            ++counts.playedLate;
            --counts.concealed;
        } else if (line.contains("SEQ SKIP DETECTED") && i + 1 < lines.size()) {
            // The next line: clock, last sequence number, this one, gap, size.
            const QList<QByteArray> fields = lines[i + 1].simplified().split(' ');
            if (fields.size() >= 4)
                counts.concealed += fields[3].toInt();
        } else if (line.contains("SEQ REWIND DETECTED") || line.contains("SEQ REPEAT DETECTED")) {
            ++counts.discarded;
        } else if (line.contains("audioOutputStateChanged") && line.contains("UnderrunError")) {
            ++counts.deviceUnderruns;
        }
    }
    return counts;
}

// Where B's playback queue stood: PulseAudio's view of B's stream.
struct StreamLatency
{
    double bufferMs = 0;
    double sinkMs = 0;
};

bool sampleStreamLatency(const QString& serverDir, StreamLatency& latency)
{
    QProcess pactl;
    pactl.setProcessEnvironment(AudioHarness::environmentFor(serverDir));
    pactl.start(QStringLiteral("pactl"), { QStringLiteral("list"), QStringLiteral("sink-inputs") });
    if (!pactl.waitForFinished(5000))
        return false;
    const QString text = QString::fromUtf8(pactl.readAllStandardOutput());
    // The microphone feed has a stream of its own on the same server.
    for (const QString& block : text.split(QStringLiteral("Sink Input #"))) {
        if (block.contains(QLatin1String("microphone-feed"))
            || !block.contains(QLatin1String("Latency")))
            continue;
        const QRegularExpression buffer(QStringLiteral("Buffer Latency: (\\d+) usec"));
        const QRegularExpression sink(QStringLiteral("Sink Latency: (\\d+) usec"));
        const auto b = buffer.match(block);
        const auto s = sink.match(block);
        if (!b.hasMatch() || !s.hasMatch())
            continue;
        latency.bufferMs = b.captured(1).toDouble() / 1000.0;
        latency.sinkMs = s.captured(1).toDouble() / 1000.0;
        return true;
    }
    return false;
}

struct Point
{
    double speechSec = 0;
    double micToNetwork = 0;
    double networkToSpeaker = 0;
    double mouthToEar = 0;
    qint64 netOffset = 0; // in the decoded packet stream
    qint64 earOffset = 0; // in B's sink capture
};

struct PhaseResult
{
    std::vector<Point> points;
    int stretches = 0;
    PlayerCounts counts;
    std::vector<StreamLatency> latencies;
    double segSnr = 0;
    double speechSeconds = 0;
    // Pauses between voice packets at the tap longer than three frames:
    // the sender was late, whatever the receiver's buffers.
    int networkGaps = 0;
    double longestNetworkGapMs = 0;
};

// Two podiums, the relay between the class and B, and the captures.
class Session
{
public:
    Session(const QString& base, const QString& binDir, bool fixedPlayout)
        : m_binDir(binDir), m_a(QStringLiteral("a"), base), m_b(QStringLiteral("b"), base),
          m_relayLog(base + QStringLiteral("/relay.log"))
    {
        m_a.discardErrorOutput();
        m_b.discardErrorOutput();
        if (fixedPlayout)
            m_environment.insert(QStringLiteral("CLASSROOM_PLAYOUT"), QStringLiteral("fixed"));
    }
    ~Session()
    {
        m_relay.closeWriteChannel();
        if (!m_relay.waitForFinished(5000)) {
            m_relay.kill();
            m_relay.waitForFinished(2000);
        }
    }

    bool start()
    {
        const quint16 port = freePort();
        const QString address = QStringLiteral("127.0.0.1:%1").arg(port);
        const QString podium = m_binDir + QStringLiteral("/podium");
        const QString connected = QStringLiteral("cmd packetReceived CONNECTED");
        if (port == 0
            || !m_a.start(podium,
                { QStringLiteral("-s"), QStringLiteral("-l") + address,
                    QStringLiteral("-e") + address, QStringLiteral("-cPodium A") },
                m_environment)
            || !pumpUntil(
                [&] { return m_a.logContains(QStringLiteral("SPCL:  1")); }, kJoinTimeoutMs))
            return fail("podium A did not start sending");

        m_relay.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_relay.start(m_binDir + QStringLiteral("/impair-relay"),
            { QStringLiteral("--upstream"), address, QStringLiteral("--log"), m_relayLog,
                QStringLiteral("--lifetime"), QStringLiteral("3600"), QStringLiteral("--idle"),
                QStringLiteral("30"), QStringLiteral("--seed"), QStringLiteral("20261207") });
        if (!m_relay.waitForStarted(5000)
            || !pumpUntil([&] { return m_relay.canReadLine(); }, 5000))
            return fail("impair-relay did not start");
        const QString listening = QString::fromUtf8(m_relay.readLine()).trimmed();
        const QString relayAddress = listening.section(QLatin1Char(' '), -1);

        if (!m_b.start(podium,
                { QStringLiteral("-t") + address, QStringLiteral("-u") + relayAddress,
                    QStringLiteral("-cPodium B") },
                m_environment)
            || !pumpUntil(
                [&] { return m_b.logContains(connected) || !m_b.isRunning(); }, kJoinTimeoutMs)
            || !m_b.isRunning()
            || !pumpUntil(
                [&] { return m_b.logContains(QStringLiteral("ActiveState")); }, kJoinTimeoutMs))
            return fail("podium B did not join through the relay");
        m_tracker = std::make_unique<GrowthTracker>(
            QStringList { AudioHarness::microphoneCapturePath(m_a.dir()),
                AudioHarness::sinkCapturePath(m_b.dir()) });
        pump(1000);
        return true;
    }

    // `impair`: the relay's settings from the start of the speech on.
    PhaseResult run(const QByteArray& speechPcm, bool hog, const QString& impair)
    {
        PhaseResult result;
        result.speechSeconds = double(speechPcm.size()) / kBytesPerSecond;
        const qint64 startNs = nowNs();
        const qint64 micStart = m_tracker->size(kMic);
        const qint64 sinkStart = m_tracker->size(kSink);
        const int logStart = m_b.log().size();
        {
            std::unique_ptr<CpuHog> busy(hog ? new CpuHog : nullptr);
            SourceFeeder mouth(AudioHarness::sourceFifoPath(m_a.dir()));
            if (!mouth.start(speechPcm, false))
                return result;
            if (!impair.isEmpty()) {
                m_relay.write(QStringLiteral("set %1\n").arg(impair).toUtf8());
                m_relay.waitForBytesWritten(1000);
            }
            QElapsedTimer latencyClock;
            latencyClock.start();
            pumpUntil(
                [&] {
                    if (latencyClock.elapsed() >= 1000) {
                        latencyClock.restart();
                        StreamLatency latency;
                        if (sampleStreamLatency(m_b.dir(), latency))
                            result.latencies.push_back(latency);
                    }
                    return mouth.finished();
                },
                int(result.speechSeconds * 1000) + 30000);
            pump(kTailMs);
            mouth.stop();
        }
        const qint64 endNs = nowNs();
        result.counts = countPlayerEvents(m_b.log().mid(logStart));
        analyse(speechPcm, startNs, endNs, micStart, sinkStart, result);
        return result;
    }

    double earBlockMs() const { return m_tracker->blockMs(kSink); }

private:
    static constexpr int kMic = 0;
    static constexpr int kSink = 1;

    bool fail(const char* what)
    {
        std::fprintf(stderr, "bench_mouthtoear: %s\n", what);
        return false;
    }

    void analyse(const QByteArray& speechPcm, qint64 startNs, qint64 endNs, qint64 micStart,
        qint64 sinkStart, PhaseResult& result)
    {
        const QString micPath = AudioHarness::microphoneCapturePath(m_a.dir());
        const QString sinkPath = AudioHarness::sinkCapturePath(m_b.dir());
        const std::vector<Packet> packets = voicePacketsTowardsB(m_relayLog, startNs, endNs);

        // The packets B was sent, decoded in order: the playback of a perfect
        // network, and for each 20 ms frame the time its packet passed.
        OpusDecoderWrapper decoder;
        decoder.initializeDecoder(48000, 2);
        QByteArray network;
        std::vector<double> frameMs;
        QByteArray frame(24576, '\0');
        for (const Packet& packet : packets) {
            const int n = decoder.decode(
                reinterpret_cast<const unsigned char*>(packet.opus.constData()), packet.opus.size(),
                reinterpret_cast<unsigned char*>(frame.data()), frame.size());
            if (n != kFrameBytes)
                continue;
            network.append(frame.constData(), n);
            frameMs.push_back(double(packet.ns) / 1e6);
        }
        for (size_t i = 1; i < packets.size(); ++i) {
            const double gap = double(packets[i].ns - packets[i - 1].ns) / 1e6;
            result.longestNetworkGapMs = std::max(result.longestNetworkGapMs, gap);
            result.networkGaps += gap > 60 ? 1 : 0;
        }

        QByteArray reference, played;
        const int needleBytes = kNeedleMs * kBytesPerMs;
        const int stepBytes = kStepMs * kBytesPerMs;
        qint64 mouthGuess = micStart;
        const double silent = std::pow(32768.0 * std::pow(10.0, -40.0 / 20.0), 2);
        for (qint64 at = 0; at + needleBytes <= speechPcm.size(); at += stepBytes) {
            const QByteArray needle = speechPcm.mid(int(at), needleBytes);
            double energy = 0;
            for (int i = 0; i + 1 < needle.size(); i += 4) {
                const double v = qFromLittleEndian<qint16>(needle.constData() + i);
                energy += v * v;
            }
            if (energy / (needle.size() / 4) < silent)
                continue;
            ++result.stretches;

            // Mouth: where the microphone delivered it (it may have stalled).
            const qint64 micFrom = qMax(micStart, mouthGuess - 300 * kBytesPerMs);
            const QByteArray mic = readRange(micPath, micFrom, needleBytes + 2000 * kBytesPerMs);
            const AudioHarness::Match inMic = AudioHarness::findSignal(mic, needle);
            if (inMic.score < 0.9) {
                mouthGuess += stepBytes;
                trace("%.1f s: not in the microphone (%.2f)", at / double(kBytesPerSecond),
                    inMic.score);
                continue;
            }
            const qint64 micOffset = micFrom / 4 * 4 + inMic.offset;
            mouthGuess = micOffset + stepBytes;
            const double mouthMs = m_tracker->msOf(kMic, micOffset);

            // Network: the first frame whose packet passed after the mouth.
            const auto firstAfter = std::lower_bound(frameMs.begin(), frameMs.end(), mouthMs);
            const qint64 netFrom
                = qMax<qint64>(0, (firstAfter - frameMs.begin()) - 5) * kFrameBytes;
            const AudioHarness::Match inNet = findByEnvelope(
                network.mid(int(netFrom), needleBytes + 600 * kBytesPerMs), needle);
            if (inNet.score < kFound) {
                trace(
                    "%.1f s: not in the packets (%.2f)", at / double(kBytesPerSecond), inNet.score);
                continue;
            }
            const qint64 netOffset = netFrom + inNet.offset;
            const double netMs = frameMs[size_t(netOffset / kFrameBytes)];

            // Ear: the decoded packets in B's speaker, from the moment they passed.
            const QByteArray decoded = network.mid(int(netOffset), needleBytes);
            const qint64 earFrom
                = qMax(sinkStart, m_tracker->sizeAt(kSink, netMs) - 50 * kBytesPerMs);
            const QByteArray ear = readRange(sinkPath, earFrom, needleBytes + 1500 * kBytesPerMs);
            const AudioHarness::Match inEar = AudioHarness::findSignal(ear, decoded);
            if (inEar.score < kFound) {
                trace(
                    "%.1f s: not in the speaker (%.2f)", at / double(kBytesPerSecond), inEar.score);
                continue;
            }
            const qint64 earOffset = earFrom / 4 * 4 + inEar.offset;
            const double earMs = m_tracker->msOf(kSink, earOffset);
            if (mouthMs < 0 || earMs < 0)
                continue;

            Point point;
            point.speechSec = double(at) / kBytesPerSecond;
            point.micToNetwork = netMs - mouthMs;
            point.networkToSpeaker = earMs - netMs;
            point.mouthToEar = earMs - mouthMs;
            point.netOffset = netOffset;
            point.earOffset = earOffset;
            result.points.push_back(point);

            // Quality: this step of the clean decode against what B played,
            // aligned on the decode itself.
            const QByteArray clean = network.mid(int(netOffset), stepBytes);
            const QByteArray heard
                = readRange(sinkPath, earOffset - 100 * kBytesPerMs, stepBytes + 200 * kBytesPerMs);
            const AudioHarness::Match aligned = AudioHarness::findSignal(heard, clean);
            if (clean.size() == stepBytes && aligned.offset >= 0
                && heard.size() >= aligned.offset + stepBytes) {
                reference.append(clean);
                played.append(heard.mid(int(aligned.offset), stepBytes));
            } else {
                reference.append(clean);
                played.append(QByteArray(clean.size(), '\0'));
            }
        }
        result.segSnr = segmentalSnr(reference, played);
    }

    QString m_binDir;
    QProcessEnvironment m_environment;
    PodiumProcess m_a;
    PodiumProcess m_b;
    QString m_relayLog;
    QProcess m_relay;
    std::unique_ptr<GrowthTracker> m_tracker;
};

void printDelays(const char* config, const PhaseResult& hog)
{
    std::vector<double> m2e, m2n, n2s;
    for (const Point& p : hog.points) {
        m2e.push_back(p.mouthToEar);
        m2n.push_back(p.micToNetwork);
        n2s.push_back(p.networkToSpeaker);
    }
    std::printf(
        "mouthtoear_%s_stretches_measured: %zu of %d\n", config, hog.points.size(), hog.stretches);
    for (const auto& [name, values] :
        { std::pair<const char*, const std::vector<double>&> { "mouth_to_ear", m2e },
            { "mic_to_network", m2n }, { "network_to_speaker", n2s } }) {
        std::printf("mouthtoear_%s_%s_p50: %.1f ms\n", config, name, percentile(values, 50));
        std::printf("mouthtoear_%s_%s_p95: %.1f ms\n", config, name, percentile(values, 95));
    }
    const double perMinute = 60.0 / hog.speechSeconds;
    std::printf("mouthtoear_%s_hog_underruns: %.1f per minute\n", config,
        (hog.counts.late + hog.counts.deviceUnderruns) * perMinute);
    std::printf(
        "mouthtoear_%s_hog_ring_ran_dry: %.1f per minute\n", config, hog.counts.late * perMinute);
    std::printf("mouthtoear_%s_hog_device_underruns: %.1f per minute\n", config,
        hog.counts.deviceUnderruns * perMinute);
    std::printf("mouthtoear_%s_hog_sender_pauses_over_60ms: %.1f per minute\n", config,
        hog.networkGaps * perMinute);
    std::printf(
        "mouthtoear_%s_hog_longest_sender_pause: %.1f ms\n", config, hog.longestNetworkGapMs);
    std::printf("mouthtoear_%s_hog_segsnr: %.1f dB\n", config, hog.segSnr);

    std::vector<double> buffer, sink;
    for (const StreamLatency& l : hog.latencies) {
        buffer.push_back(l.bufferMs);
        sink.push_back(l.sinkMs);
    }
    const double queue = percentile(buffer, 50);
    const double device = percentile(sink, 50);
    std::printf("mouthtoear_%s_output_queue: %.1f ms\n", config, queue);
    std::printf("mouthtoear_%s_device: %.1f ms\n", config, device);
    std::printf(
        "mouthtoear_%s_ring_and_feeder: %.1f ms\n", config, percentile(n2s, 50) - queue - device);
}

void printJitter(const char* config, int jitter, const PhaseResult& r)
{
    const double perMinute = 60.0 / r.speechSeconds;
    std::printf("mouthtoear_%s_jitter%d_late: %.1f per minute\n", config, jitter,
        r.counts.late * perMinute);
    std::printf("mouthtoear_%s_jitter%d_concealed: %.1f per minute\n", config, jitter,
        r.counts.concealed * perMinute);
    std::printf("mouthtoear_%s_jitter%d_played_in_slot: %.1f per minute\n", config, jitter,
        r.counts.playedLate * perMinute);
    std::printf("mouthtoear_%s_jitter%d_discarded: %.1f per minute\n", config, jitter,
        r.counts.discarded * perMinute);
    std::printf("mouthtoear_%s_jitter%d_segsnr: %.1f dB\n", config, jitter, r.segSnr);
    std::vector<double> m2e;
    for (const Point& p : r.points)
        m2e.push_back(p.mouthToEar);
    std::printf(
        "mouthtoear_%s_jitter%d_mouth_to_ear_p50: %.1f ms\n", config, jitter, percentile(m2e, 50));
}

double median(const std::vector<Point>& points, double fromSec, double toSec)
{
    std::vector<double> values;
    for (const Point& p : points) {
        if (p.speechSec >= fromSec && p.speechSec < toSec)
            values.push_back(p.mouthToEar);
    }
    return percentile(values, 50);
}

// The delay before the first stall against the delay after the last one.
void printDrift(const char* config, const PhaseResult& r, int stallEveryMs)
{
    const double first = stallEveryMs / 1000.0;
    const double seconds = r.speechSeconds;
    const double last = std::floor((seconds - 1) / first) * first;
    const double start = median(r.points, 0, first - 1);
    const double end = median(r.points, last + 3, seconds);
    double highest = 0;
    for (const Point& p : r.points)
        highest = std::max(highest, p.mouthToEar);
    std::printf("mouthtoear_%s_stall_stretches_measured: %zu of %d\n", config, r.points.size(),
        r.stretches);
    std::printf("mouthtoear_%s_stall_delay_at_start: %.1f ms\n", config, start);
    std::printf("mouthtoear_%s_stall_delay_at_end: %.1f ms\n", config, end);
    std::printf("mouthtoear_%s_stall_drift: %.1f ms\n", config, end - start);
    std::printf("mouthtoear_%s_stall_highest: %.1f ms\n", config, highest);
    std::printf("mouthtoear_%s_stall_ring_ran_dry: %.1f per minute\n", config,
        r.counts.late * 60.0 / seconds);
}

void writePlotData(
    const QString& dir, const QString& phase, const char* config, const PhaseResult& hog)
{
    QFile file(dir + QStringLiteral("/mouthtoear_%1_%2.dat").arg(phase, QLatin1String(config)));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    file.write("# speech_s mouth_to_ear_ms mic_to_network_ms network_to_speaker_ms\n");
    for (const Point& p : hog.points) {
        file.write(QStringLiteral("%1 %2 %3 %4\n")
                       .arg(p.speechSec, 0, 'f', 2)
                       .arg(p.mouthToEar, 0, 'f', 1)
                       .arg(p.micToNetwork, 0, 'f', 1)
                       .arg(p.networkToSpeaker, 0, 'f', 1)
                       .toUtf8());
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QCommandLineParser parser;
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
        QStringLiteral("Seconds of speech per measurement (60 for the recorded figures)."),
        QStringLiteral("s"), QStringLiteral("12"));
    const QCommandLineOption dataOption(QStringLiteral("data"),
        QStringLiteral("Folder for the delay-over-time tables of the plot."),
        QStringLiteral("dir"));
    parser.addHelpOption();
    const QCommandLineOption verboseOption(
        QStringLiteral("verbose"), QStringLiteral("Say why a stretch was not measured."));
    const QCommandLineOption hogOnlyOption(
        QStringLiteral("hog-only"), QStringLiteral("Measure only under the CPU hog."));
    const QCommandLineOption stallSecondsOption(QStringLiteral("stall-seconds"),
        QStringLiteral("Seconds of speech with a 300 ms stall every 10 s (0: none)."),
        QStringLiteral("s"), QStringLiteral("60"));
    parser.addOptions(
        { secondsOption, dataOption, verboseOption, hogOnlyOption, stallSecondsOption });
    parser.process(app);
    verbose = parser.isSet(verboseOption);

    const QByteArray source = speech();
    if (source.isEmpty()) {
        std::fprintf(stderr, "bench_mouthtoear: no test speech at %s\n", CLASSROOM_SPEECH_RAW);
        return 1;
    }
    const auto speechOf = [&](int seconds) {
        QByteArray pcm;
        while (pcm.size() < seconds * kBytesPerSecond)
            pcm.append(source);
        pcm.truncate(seconds * kBytesPerSecond);
        return pcm;
    };
    const int seconds = qBound(4, parser.value(secondsOption).toInt(), 600);
    const int stallSeconds = qBound(0, parser.value(stallSecondsOption).toInt(), 600);
    const QByteArray speechPcm = speechOf(seconds);
    const QByteArray stallPcm = speechOf(stallSeconds);
    constexpr int kStallEveryMs = 10000;

    const QString binDir
        = QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/..")).absolutePath();
    std::printf(
        "mouthtoear_speech: %d s per measurement, %d s with stalls\n", seconds, stallSeconds);
    struct Phase
    {
        const char* name;
        bool hog;
        int jitter; // -1: none
        bool stall;
    };
    std::vector<Phase> phases { { "hog", true, -1, false } };
    if (!parser.isSet(hogOnlyOption)) {
        if (stallSeconds > 0)
            phases.push_back({ "stall", false, -1, true });
        phases.push_back({ "jitter20", false, 20, false });
        phases.push_back({ "jitter40", false, 40, false });
    }
    int status = 0;
    // Every measurement on a fresh pair of podiums (the fixed playout never
    // gives back delay it has gained), the two playouts one after the other,
    // so that both see the same machine.
    for (const Phase& phase : phases) {
        for (const bool fixed : { true, false }) {
            const char* config = fixed ? "fixed" : "adaptive";
            QTemporaryDir base;
            Session session(base.path(), binDir, fixed);
            if (!base.isValid() || !session.start()) {
                status = 1;
                continue;
            }
            std::fprintf(stderr, "bench_mouthtoear: %s playout, %s\n", config, phase.name);
            // Jitter wider than the 20 ms spacing, without keeping the order:
            // packets overtake each other.
            const QString impair = phase.stall
                ? QStringLiteral("stall=300 stall-every=%1").arg(kStallEveryMs)
                : phase.jitter >= 0 ? QStringLiteral("jitter=%1 keep-order=0").arg(phase.jitter)
                                    : QString();
            const PhaseResult result
                = session.run(phase.stall ? stallPcm : speechPcm, phase.hog, impair);
            if (phase.hog) {
                printDelays(config, result);
                std::printf("mouthtoear_%s_capture_block: %.1f ms\n", config, session.earBlockMs());
            } else if (phase.stall) {
                printDrift(config, result, kStallEveryMs);
            } else {
                printJitter(config, phase.jitter, result);
            }
            if (parser.isSet(dataOption))
                writePlotData(parser.value(dataOption), QLatin1String(phase.name), config, result);
            std::fflush(stdout);
        }
    }
    return status;
}
