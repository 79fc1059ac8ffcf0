// A file sender (DFileSender) streams a file through a classroom server in
// this process to a scripted member while no voice reaches the sender, so
// its rate climbs to the top of the table. Reported: the cap, the time to
// reach it, the rate measured at the top level, and a plain loopback TCP copy
// of the same file in the same run. A second member sends voice packets at
// 50 per second through the same server; their relay delay is measured with
// no transfer and with the transfer at its top level. Every figure is printed
// as "name: value unit".

#include "classroomclient.h"
#include "dfilesender.h"
#include "dtransferrules.h"
#include "servercli.h"
#include "server.h"
#include "mstudentserver.h"
#include "serversettings.h"
#include "wireformat.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <functional>

namespace {

constexpr int kVoiceIntervalMs = 20;
constexpr int kVoicePayloadBytes = 60;
constexpr int kBaselineMs = 5000;
constexpr int kTopLevelSeconds = 5;

QElapsedTimer clock_;

void printFigure(const char* name, double value, const char* unit)
{
    std::printf("%s: %.3f %s\n", name, value, unit);
    std::fflush(stdout);
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

// Voice from one member to another, stamped with the send time.
class VoiceProbe : public QObject
{
public:
    VoiceProbe(ClassroomClient* from, ClassroomClient* to) : m_from(from)
    {
        connect(&m_timer, &QTimer::timeout, this, [this] { send(); });
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(to, &ClassroomClient::packetArrived, this,
            [this](bool overUdp, MDataType type, const QByteArray& data) {
                if (!overUdp || type != VoiceData
                    || data.size() < WireFormat::kVoiceHeaderSize + int(sizeof(qint64)))
                    return;
                qint64 sent = 0;
                std::memcpy(&sent, data.constData() + WireFormat::kVoiceHeaderSize, sizeof sent);
                if (m_recording)
                    m_delaysMs.push_back(double(clock_.nsecsElapsed() - sent) / 1e6);
            });
    }
    void start() { m_timer.start(kVoiceIntervalMs); }
    void record(bool on)
    {
        m_recording = on;
        if (on)
            m_delaysMs.clear();
    }
    std::vector<double> delays() const { return m_delaysMs; }

private:
    void send()
    {
        QByteArray payload(kVoicePayloadBytes, '\0');
        const qint64 now = clock_.nsecsElapsed();
        std::memcpy(payload.data(), &now, sizeof now);
        m_from->sendVoice(payload, ++m_sequence);
    }

    ClassroomClient* m_from;
    QTimer m_timer;
    int m_sequence = 0;
    bool m_recording = false;
    std::vector<double> m_delaysMs;
};

// Runs the event loop until done or ms have passed. The loop blocks in the
// sockets' poll, so waiting adds no delay to what is measured.
bool waitFor(const std::function<bool()>& done, int ms)
{
    if (done())
        return true;
    QElapsedTimer elapsed;
    elapsed.start();
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (done() || elapsed.elapsed() >= ms)
            loop.quit();
    });
    poll.start(5);
    loop.exec();
    return done();
}

void runFor(int ms)
{
    waitFor([] { return false; }, ms);
}

double plainTcpCopySeconds(const QByteArray& data)
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    waitFor([&] { return server.hasPendingConnections(); }, 5000);
    QTcpSocket* peer = server.nextPendingConnection();
    if (!peer)
        return -1;
    qint64 got = 0;
    QObject::connect(peer, &QTcpSocket::readyRead, [&] { got += peer->readAll().size(); });
    QElapsedTimer timer;
    timer.start();
    client.write(data);
    waitFor([&] { return got >= data.size(); }, 60000);
    return timer.nsecsElapsed() / 1e9;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    clock_.start();
    // Diagnostics of the server and the sender stay out of the figures.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    ServerSettings settings;
    settings.listenAddress = QHostAddress(QHostAddress::LocalHost);
    settings.listenPort = 0;
    settings.udpAddress = QHostAddress(QHostAddress::LocalHost);
    settings.udpPort = 0;
    ServerCLI cli(settings, nullptr);
    const quint16 tcpPort = cli.server()->currentStudentServer()->serverPort();
    const quint16 udpPort = cli.server()->currentStudentServer()->boundUdpPort();

    QObject members;
    const QHostAddress local(QHostAddress::LocalHost);
    const auto join = [&](const char* name) {
        auto* client = new ClassroomClient(QString::fromLatin1(name), &members);
        client->connectToServer(local, tcpPort, local, udpPort);
        return client;
    };
    ClassroomClient* sending = join("Sender");
    ClassroomClient* receiving = join("Receiver");
    ClassroomClient* speaker = join("Speaker");
    ClassroomClient* listener = join("Listener");
    if (!waitFor(
            [&] {
                return sending->isReady() && receiving->isReady() && speaker->isReady()
                    && listener->isReady();
            },
            20000)) {
        std::fprintf(stderr, "bench_filetransfer: the members did not join\n");
        return 1;
    }

    qint64 bytesReceived = 0;
    QObject::connect(receiving, &ClassroomClient::packetArrived,
        [&](bool overUdp, MDataType type, const QByteArray& data) {
            if (!overUdp && type == ExtraData)
                bytesReceived += data.size() - WireFormat::kExtraDataHeaderSize;
        });

    VoiceProbe voice(speaker, listener);
    voice.start();
    runFor(500);
    voice.record(true);
    runFor(kBaselineMs);
    voice.record(false);
    const std::vector<double> quiet = voice.delays();

    // Climbing takes three seconds; the file lasts kTopLevelSeconds more.
    qint64 climb = 0;
    for (int level = DTransferRules::kStartLevel; level < DTransferRules::kTopLevel; level += 2)
        climb += DTransferRules::bytesPerSecond(level);
    const qint64 fileSize = climb
        + qint64(kTopLevelSeconds) * DTransferRules::bytesPerSecond(DTransferRules::kTopLevel);
    QByteArray data(int(fileSize), Qt::Uninitialized);
    QRandomGenerator generator(42);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char(generator.generate() & 0xFF);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bench.bin"));
    {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(data);
    }

    QWidget owner;
    auto* sendButton = new QPushButton(&owner);
    auto* progress = new QProgressBar(&owner);
    auto* cancel = new QPushButton(&owner);
    DFileSender sender(
        sendButton, progress, cancel, sending->tcpSocket(), QStringLiteral("Sender"), &owner);
    qint64 topAtNs = -1;
    qint64 topAtBytes = 0;
    QObject::connect(&sender, &DFileSender::rateLevelChanged, [&](int level) {
        if (level == DTransferRules::kTopLevel && topAtNs < 0) {
            topAtNs = clock_.nsecsElapsed();
            topAtBytes = bytesReceived;
            voice.record(true);
        }
    });
    const qint64 startNs = clock_.nsecsElapsed();
    sender.startTransfer(1, path);
    waitFor([&] { return !sender.isSending() && bytesReceived >= fileSize; }, 60000);
    const qint64 endNs = clock_.nsecsElapsed();
    voice.record(false);
    const std::vector<double> busy = voice.delays();

    const double tcpSeconds = plainTcpCopySeconds(data);
    const double topSeconds = topAtNs > 0 ? (endNs - topAtNs) / 1e9 : 0;
    const double topRate = topSeconds > 0 ? (bytesReceived - topAtBytes) / topSeconds : 0;
    const double tcpRate = double(fileSize) / tcpSeconds;

    printFigure("filetransfer_file_size", double(fileSize), "bytes");
    printFigure("filetransfer_rate_cap", DTransferRules::bytesPerSecond(DTransferRules::kTopLevel),
        "bytes/s");
    printFigure("filetransfer_time_to_cap", topAtNs > 0 ? (topAtNs - startNs) / 1e9 : -1, "s");
    printFigure("filetransfer_rate_at_cap", topRate, "bytes/s");
    printFigure("filetransfer_whole_file_time", (endNs - startNs) / 1e9, "s");
    printFigure("filetransfer_all_bytes_received", bytesReceived == fileSize ? 1 : 0, "bool");
    printFigure("plain_tcp_copy_rate", tcpRate, "bytes/s");
    printFigure("filetransfer_share_of_plain_tcp", 100.0 * topRate / tcpRate, "%");
    printFigure("voice_delay_p50_no_transfer", percentile(quiet, 0.50), "ms");
    printFigure("voice_delay_p99_no_transfer", percentile(quiet, 0.99), "ms");
    printFigure("voice_delay_p50_transfer_top_level", percentile(busy, 0.50), "ms");
    printFigure("voice_delay_p99_transfer_top_level", percentile(busy, 0.99), "ms");
    printFigure("voice_packets_no_transfer", double(quiet.size()), "packets");
    printFigure("voice_packets_transfer_top_level", double(busy.size()), "packets");
    return 0;
}
