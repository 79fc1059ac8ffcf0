// Runs podium as a headless classroom server in a child process, admits N
// loopback clients at once, lets two of them speak at 50 packets per second
// with 60-byte payloads, and measures the share delivered, the relay latency
// and the server's CPU per relayed datagram. The same datagrams then go
// through two plain UDP fan-out loops without Qt, one sendto per recipient
// and one sendmmsg per datagram, as references. With two or more cores the
// server (and the reference loops) run on the first, the clients on the
// second. Every figure is printed as "name: value unit".
// The secure runs put the same class through a server of this program's own
// (--serve), once plain and once secure (TLS, class codes, sealed datagrams),
// side by side: the CPU per relayed copy, the time until every client is
// ready and the voice's trip through the server, secure against plain.

#include "datagramseal.h"
#include "mclientsession.h"
#include "mstudentserver.h"
#include "mtcpsocket.h"
#include "secureclass.h"
#include "server.h"
#include "servercli.h"
#include "servertrust.h"
#include "sessioncommands.h"
#include "wireformat.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cmath>
#include <functional>
#include <chrono>
#include <memory>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSpeakers = 2;
constexpr int kPacketsPerSecond = 50;
constexpr int kPayloadBytes = 60;
constexpr int kTagBytes = WireFormat::kTagSize;
constexpr int kSeqBytes = WireFormat::kVoiceHeaderSize;

// The secure runs' codes: the speakers join as staff (a student's voice is
// dropped), everybody else as a student.
const QString kStaffCode = QStringLiteral("bench-staff");
const QString kStudentCode = QStringLiteral("bench-student");

// Which server a run measures: podium itself, or this program's own server
// (--serve), plain or secure.
enum class Mode { Podium, Plain, Secure };

// The server and the reference loops run on the first core, the clients on
// the second, so that neither measures the other's work.
constexpr int kServerCore = 0;
constexpr int kClientCore = 1;

// On a machine that others load a pinned side gets only its share of one
// core: pinning is used only when the machine is otherwise idle (or asked for
// with --pin; --no-pin never pins).
bool g_pin = true;

bool machineIdle()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const double load = file.readAll().split(' ').value(0).toDouble();
    return load < double(sysconf(_SC_NPROCESSORS_ONLN));
}

bool twoCores()
{
    return g_pin && sysconf(_SC_NPROCESSORS_ONLN) >= 2;
}

void pinThread(pid_t tid, int core)
{
    if (!twoCores())
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    sched_setaffinity(tid, sizeof set, &set);
}

// Every thread of a process.
void pinProcess(qint64 pid, int core)
{
    const QStringList ids = QDir(QStringLiteral("/proc/%1/task").arg(pid))
                                .entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& id : ids)
        pinThread(pid_t(id.toInt()), core);
}

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

void printFigure(const QString& name, double value, const char* unit)
{
    std::printf("%s: %.3f %s\n", qPrintable(name), value, unit);
    std::fflush(stdout);
}

// CPU time of every thread of a process, in ns (schedstat is ns-exact where
// /proc/PID/stat counts 10 ms ticks).
qint64 processCpuNs(qint64 pid)
{
    qint64 total = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    const QStringList ids = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& id : ids) {
        QFile file(tasks.filePath(id + QStringLiteral("/schedstat")));
        if (file.open(QIODevice::ReadOnly))
            total += file.readAll().split(' ').value(0).toLongLong();
    }
    return total;
}

struct PhaseStats
{
    std::mutex lock;
    qint64 received = 0;
    std::vector<qint64> latenciesNs;
    void reset()
    {
        std::lock_guard<std::mutex> guard(lock);
        received = 0;
        latenciesNs.clear();
    }
};

double percentileUs(std::vector<qint64> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(fraction * double(values.size())));
    return double(values[index]) / 1000.0;
}

sockaddr_in loopbackAddress(quint16 port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Every client's UDP end is a plain socket served by one receiving thread: it
// answers DOYOUCOPY? and timestamps voice, so the measuring side stays cheap.
class UdpSide
{
public:
    // kernelStamps: a voice datagram's arrival is the time the kernel received
    // it, not the time this thread got to it (which opening sealed datagrams
    // would otherwise delay).
    UdpSide(int count, bool secure, bool kernelStamps)
        : m_secure(secure), m_kernelStamps(kernelStamps)
    {
        timespec real {};
        clock_gettime(CLOCK_REALTIME, &real);
        m_realMinusSteadyNs = qint64(real.tv_sec) * 1000000000 + real.tv_nsec - nowNs();
        if (secure) {
            for (int i = 0; i < count; ++i)
                m_keys.push_back(std::make_unique<ClientKeys>());
        }
        m_epoll = epoll_create1(EPOLL_CLOEXEC);
        for (int i = 0; i < count; ++i) {
            const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in local = loopbackAddress(0);
            ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
            socklen_t length = sizeof local;
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
            if (kernelStamps) {
                const int on = 1;
                ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
            }
            m_fds.push_back(fd);
            m_locals.push_back(local);
            epoll_event event {};
            event.events = EPOLLIN;
            event.data.u32 = quint32(i);
            epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
        }
        m_thread = std::thread([this] { run(); });
    }
    ~UdpSide()
    {
        m_stop = true;
        m_thread.join();
        for (int fd : m_fds)
            ::close(fd);
        ::close(m_epoll);
    }

    int fd(int i) const { return m_fds[size_t(i)]; }
    bool secure() const { return m_secure; }
    // Client i's key from "UDPKEY": its datagrams are sealed from now on.
    void setKey(int i, quint32 keyId, const QByteArray& key)
    {
        ClientKeys& keys = *m_keys[size_t(i)];
        std::lock_guard<std::mutex> guard(keys.lock);
        keys.seal = std::make_unique<DatagramChannel>(keyId, key, DatagramChannel::ClientSide);
        keys.open = std::make_unique<DatagramChannel>(keyId, key, DatagramChannel::ClientSide);
    }
    // A datagram as client i sends it: sealed in a secure run (empty before its key).
    QByteArray outgoing(int i, const QByteArray& plain)
    {
        if (!m_secure)
            return plain;
        ClientKeys& keys = *m_keys[size_t(i)];
        std::lock_guard<std::mutex> guard(keys.lock);
        return keys.seal ? keys.seal->seal(plain) : QByteArray();
    }
    // DOYOUCOPY? datagrams answered so far.
    int copyProbes() const { return m_copyProbes; }
    const std::vector<sockaddr_in>& locals() const { return m_locals; }
    PhaseStats& stats() { return m_stats; }

private:
    void run()
    {
        constexpr int kBatch = 32;
        std::vector<epoll_event> events(64);
        mmsghdr messages[kBatch];
        iovec vectors[kBatch];
        char buffers[kBatch][512];
        sockaddr_in sources[kBatch];
        // Room for one SCM_TIMESTAMPNS message each.
        alignas(cmsghdr) char controls[kBatch][CMSG_SPACE(sizeof(timespec))];
        std::vector<qint64> latencies;
        while (!m_stop) {
            const int ready = epoll_wait(m_epoll, events.data(), int(events.size()), 100);
            for (int e = 0; e < ready; ++e) {
                const int client = int(events[size_t(e)].data.u32);
                const int fd = m_fds[size_t(client)];
                for (;;) {
                    for (int i = 0; i < kBatch; ++i) {
                        vectors[i] = { buffers[i], sizeof buffers[i] };
                        messages[i].msg_hdr = {};
                        messages[i].msg_hdr.msg_iov = &vectors[i];
                        messages[i].msg_hdr.msg_iovlen = 1;
                        messages[i].msg_hdr.msg_name = &sources[i];
                        messages[i].msg_hdr.msg_namelen = sizeof sources[i];
                        if (m_kernelStamps) {
                            messages[i].msg_hdr.msg_control = controls[i];
                            messages[i].msg_hdr.msg_controllen = sizeof controls[i];
                        }
                    }
                    const int got = recvmmsg(fd, messages, kBatch, MSG_DONTWAIT, nullptr);
                    if (got <= 0)
                        break;
                    const qint64 received = nowNs();
                    for (int i = 0; i < got; ++i) {
                        const qint64 now = m_kernelStamps
                            ? kernelStamp(messages[i].msg_hdr, received)
                            : received;
                        if (!m_secure) {
                            handle(client, buffers[i], int(messages[i].msg_len), sources[i], now,
                                latencies);
                            continue;
                        }
                        const QByteArray plain = open(client, buffers[i], int(messages[i].msg_len));
                        if (!plain.isEmpty())
                            handle(client, plain.constData(), plain.size(), sources[i], now,
                                latencies);
                    }
                }
            }
            if (!latencies.empty()) {
                std::lock_guard<std::mutex> guard(m_stats.lock);
                m_stats.received += qint64(latencies.size());
                m_stats.latenciesNs.insert(
                    m_stats.latenciesNs.end(), latencies.begin(), latencies.end());
                latencies.clear();
            }
        }
    }

    // When the kernel received the datagram, on the steady clock of the stamps.
    qint64 kernelStamp(msghdr& header, qint64 fallback) const
    {
        for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec stamp {};
                std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                return qint64(stamp.tv_sec) * 1000000000 + stamp.tv_nsec - m_realMinusSteadyNs;
            }
        }
        return fallback;
    }

    QByteArray open(int client, const char* data, int size)
    {
        ClientKeys& keys = *m_keys[size_t(client)];
        QByteArray plain;
        std::lock_guard<std::mutex> guard(keys.lock);
        if (!keys.open
            || keys.open->open(QByteArray::fromRawData(data, size), plain)
                != SealedDatagram::OpenResult::Opened)
            return QByteArray();
        return plain;
    }

    void handle(int client, const char* data, int size, const sockaddr_in& source, qint64 now,
        std::vector<qint64>& latencies)
    {
        const int fd = m_fds[size_t(client)];
        if (size >= kTagBytes + kSeqBytes + int(sizeof(qint64))
            && std::memcmp(data, WireFormat::kVoiceTag.data(), WireFormat::kTagSize) == 0) {
            qint64 sent = 0;
            std::memcpy(&sent, data + kTagBytes + kSeqBytes, sizeof sent);
            latencies.push_back(now - sent);
            return;
        }
        const QByteArray bytes(data, size);
        QString token;
        if (bytes.startsWith(WireFormat::kCommandTag.latin1())
            && MClientSession::handshakeStep(QString::fromUtf8(bytes.mid(kTagBytes)), &token)
                == MClientSession::CopyProbe) {
            ++m_copyProbes;
            const QByteArray answer = outgoing(client,
                QByteArray(WireFormat::kCommandTag.latin1())
                    + QString(SessionCommand::kIDoCopy + token).toUtf8());
            ::sendto(fd, answer.constData(), size_t(answer.size()), 0,
                reinterpret_cast<const sockaddr*>(&source), sizeof source);
        }
    }

    // A client's sealed path in a secure run: both threads seal (the main thread
    // its answers and voice, this one its copy answers), this one opens.
    struct ClientKeys
    {
        std::mutex lock;
        std::unique_ptr<DatagramChannel> seal;
        std::unique_ptr<DatagramChannel> open;
    };

    bool m_secure = false;
    bool m_kernelStamps = false;
    qint64 m_realMinusSteadyNs = 0;
    std::vector<std::unique_ptr<ClientKeys>> m_keys;
    int m_epoll = -1;
    std::vector<int> m_fds;
    std::vector<sockaddr_in> m_locals;
    std::atomic<bool> m_stop { false };
    std::atomic<int> m_copyProbes { 0 };
    PhaseStats m_stats;
    std::thread m_thread;
};

// The speakers: clients 0 and 1 each send one voice datagram every 20 ms.
qint64 speak(UdpSide& udp, const sockaddr_in& target, double seconds)
{
    const int ticks = int(seconds * kPacketsPerSecond);
    const auto period = std::chrono::microseconds(1000000 / kPacketsPerSecond);
    auto next = Clock::now();
    qint64 sent = 0;
    char datagram[kTagBytes + kSeqBytes + kPayloadBytes] = {};
    std::memcpy(datagram, WireFormat::kVoiceTag.data(), WireFormat::kTagSize);
    for (int tick = 0; tick < ticks; ++tick) {
        for (int s = 0; s < kSpeakers; ++s) {
            const quint32 seq = htonl(quint32(tick + 1));
            std::memcpy(datagram + kTagBytes, &seq, kSeqBytes);
            const qint64 stamp = nowNs();
            std::memcpy(datagram + kTagBytes + kSeqBytes, &stamp, sizeof stamp);
            if (udp.secure()) {
                const QByteArray sealed = udp.outgoing(s, QByteArray(datagram, sizeof datagram));
                if (::sendto(udp.fd(s), sealed.constData(), size_t(sealed.size()), 0,
                        reinterpret_cast<const sockaddr*>(&target), sizeof target)
                    == sealed.size())
                    ++sent;
            } else if (::sendto(udp.fd(s), datagram, sizeof datagram, 0,
                           reinterpret_cast<const sockaddr*>(&target), sizeof target)
                == qint64(sizeof datagram)) {
                ++sent;
            }
        }
        next += period;
        // A live sender that was held up does not send the missed packets
        // in a burst: its capture keeps only the newest audio.
        if (Clock::now() > next + period)
            next = Clock::now();
        std::this_thread::sleep_until(next);
    }
    return sent;
}

// The references: receive a datagram, send it to every other client, with
// one sendto each or with sendmmsg in batches.
class PlainFanOut
{
public:
    PlainFanOut(const std::vector<sockaddr_in>& recipients, bool batched)
        : m_recipients(recipients), m_batched(batched)
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local = loopbackAddress(0);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
        socklen_t length = sizeof local;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length);
        m_address = local;
        timeval timeout { 0, 100000 };
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        m_thread = std::thread([this] { run(); });
    }
    ~PlainFanOut()
    {
        stop();
        ::close(m_fd);
    }
    void stop()
    {
        if (m_thread.joinable()) {
            m_stop = true;
            m_thread.join();
        }
    }
    const sockaddr_in& address() const { return m_address; }
    qint64 cpuNs() const { return m_cpuNs; }

private:
    void run()
    {
        pinThread(0, kServerCore);
        char buffer[2048];
        iovec vector { buffer, 0 };
        std::vector<mmsghdr> messages(m_recipients.size());
        for (size_t i = 0; i < m_recipients.size(); ++i) {
            messages[i].msg_hdr = {};
            messages[i].msg_hdr.msg_name = &m_recipients[i];
            messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
            messages[i].msg_hdr.msg_iov = &vector;
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        auto sendRun = [&](size_t begin, size_t end) {
            while (begin < end) {
                const int sent = ::sendmmsg(
                    m_fd, &messages[begin], unsigned(std::min<size_t>(end - begin, UIO_MAXIOV)), 0);
                begin += sent > 0 ? size_t(sent) : 1;
            }
        };
        while (!m_stop) {
            sockaddr_in source {};
            socklen_t length = sizeof source;
            const ssize_t size = ::recvfrom(
                m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&source), &length);
            if (size <= 0)
                continue;
            vector.iov_len = size_t(size);
            size_t runStart = 0;
            for (size_t i = 0; i < m_recipients.size(); ++i) {
                const sockaddr_in& to = m_recipients[i];
                if (to.sin_port == source.sin_port
                    && to.sin_addr.s_addr == source.sin_addr.s_addr) {
                    if (m_batched) {
                        sendRun(runStart, i);
                        runStart = i + 1;
                    }
                    continue;
                }
                if (!m_batched)
                    ::sendto(m_fd, buffer, size_t(size), 0, reinterpret_cast<const sockaddr*>(&to),
                        sizeof to);
            }
            if (m_batched)
                sendRun(runStart, m_recipients.size());
        }
        timespec cpu {};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
        m_cpuNs = qint64(cpu.tv_sec) * 1000000000 + cpu.tv_nsec;
    }

    std::vector<sockaddr_in> m_recipients;
    bool m_batched = false;
    int m_fd = -1;
    sockaddr_in m_address {};
    std::atomic<bool> m_stop { false };
    std::thread m_thread;
    qint64 m_cpuNs = 0;
};

struct RunResult
{
    bool ok = false;
    double serverCpuPerCopyNs = 0;
    double delivered = 0;
    // Share of one core the server used while the class spoke.
    double serverCoreShare = 0;
    double latencyP50Us = 0;
    double latencyP99Us = 0;
    double handshakeMs = 0;
};

bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

// The figures of one relay run.
struct Relay
{
    double share = 0;
    double p50Us = 0;
    double p99Us = 0;
    double cpuPerCopyNs = 0;
};

RunResult runClass(
    const QString& podium, int clients, double seconds, bool references, Mode mode = Mode::Podium)
{
    RunResult result;
    const bool secure = mode == Mode::Secure;
    const QString prefix = mode == Mode::Podium
        ? QStringLiteral("server_%1clients_").arg(clients)
        : QStringLiteral("relay_%1_%2clients_").arg(secure ? "secure" : "plain").arg(clients);
    QTemporaryDir dir;
    QProcess server;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), dir.path());
    env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    server.setProcessEnvironment(env);
    server.setStandardOutputFile(QProcess::nullDevice());
    server.setStandardErrorFile(dir.filePath(QStringLiteral("stderr.txt")));
    if (mode == Mode::Podium)
        server.start(podium,
            { QStringLiteral("-s"), QStringLiteral("-n"), QStringLiteral("-l127.0.0.1:0") });
    else if (secure)
        server.start(QCoreApplication::applicationFilePath(),
            { QStringLiteral("--serve"), QStringLiteral("--secure"),
                dir.filePath(QStringLiteral("state")) });
    else
        server.start(QCoreApplication::applicationFilePath(), { QStringLiteral("--serve") });
    if (!server.waitForStarted()) {
        std::fprintf(stderr, "bench: cannot start %s\n", qPrintable(podium));
        return result;
    }

    const QRegularExpression where(
        QStringLiteral("clients connect to TCP [0-9.]+:(\\d+) and UDP [0-9.]+:(\\d+)"));
    const QRegularExpression certificate(QStringLiteral("fingerprint ([0-9a-f]{64})"));
    quint16 tcpPort = 0;
    quint16 udpPort = 0;
    QString fingerprint;
    waitUntil(
        [&] {
            QFile file(dir.filePath(QStringLiteral("stderr.txt")));
            file.open(QIODevice::ReadOnly);
            const QString text = QString::fromLocal8Bit(file.readAll());
            const auto match = where.match(text);
            if (match.hasMatch()) {
                tcpPort = quint16(match.captured(1).toUInt());
                udpPort = quint16(match.captured(2).toUInt());
            }
            fingerprint = certificate.match(text).captured(1);
            return (match.hasMatch() && (!secure || !fingerprint.isEmpty()))
                || server.state() == QProcess::NotRunning;
        },
        30000);
    if (!tcpPort) {
        std::fprintf(stderr, "bench: the server did not start listening\n");
        return result;
    }
    pinProcess(server.processId(), kServerCore);
    const sockaddr_in serverUdp = loopbackAddress(udpPort);

    UdpSide udp(clients, secure, mode != Mode::Podium);
    const ServerTrust trust(dir.filePath(QStringLiteral("known-servers")), fingerprint);
    std::vector<MTcpSocket*> sockets;
    int ready = 0;
    // Clients whose last client list holds the whole class.
    int settled = 0;
    qint64 listBytes = 0;
    int requests = 0;
    using namespace SessionCommand;
    QElapsedTimer handshake;
    handshake.start();
    const qint64 handshakeCpuBefore = processCpuNs(server.processId());
    for (int i = 0; i < clients; ++i) {
        auto* socket = new MTcpSocket(&server);
        sockets.push_back(socket);
        const int fd = udp.fd(i);
        if (secure)
            socket->setClientTls(trust);
        QObject::connect(socket, &QAbstractSocket::connected, socket, [socket, i, secure] {
            socket->ourProtocolSendCommand(kGetProtocol);
            if (secure)
                socket->ourProtocolSendCommand(
                    kClassCode + (i < kSpeakers ? kStaffCode : kStudentCode));
            socket->ourProtocolSendCommand(kIdentify + QStringLiteral("bench%1").arg(i));
        });
        QObject::connect(socket, &MTcpSocket::packetReceived, socket,
            [socket, i, fd, serverUdp, clients, &udp, &ready, &settled, &listBytes, &requests](
                MAbstractSocket*, MDataType type, const QByteArray& data) {
                if (type != CommandData)
                    return;
                const QString text = QString::fromUtf8(data);
                if (text.startsWith(kUdpKey)) {
                    quint32 keyId = 0;
                    QByteArray key;
                    if (SealedDatagram::parseUdpKeyArgument(text.mid(kUdpKey.size()), keyId, key))
                        udp.setKey(i, keyId, key);
                    return;
                }
                // The steps are told apart as every client does; the answers
                // leave through this benchmark's own raw UDP sockets.
                QString token;
                const auto step = MClientSession::handshakeStep(text, &token);
                if (step == MClientSession::UdpRequest) {
                    ++requests;
                    const QByteArray answer = udp.outgoing(i,
                        QByteArray(WireFormat::kCommandTag.latin1())
                            + QString(kUdpResponse + token).toUtf8());
                    ::sendto(fd, answer.constData(), size_t(answer.size()), 0,
                        reinterpret_cast<const sockaddr*>(&serverUdp), sizeof serverUdp);
                } else if (step == MClientSession::UdpAddress) {
                    socket->ourProtocolSendCommand(kUdpIpPortBound);
                } else if (step == MClientSession::Connected) {
                    ++ready;
                } else if (text.startsWith(kClientList)) {
                    listBytes += data.size();
                    if (text.count(kListSeparator) + 1 == clients)
                        ++settled;
                }
            });
        socket->connectToHost(QHostAddress(QHostAddress::LocalHost), tcpPort);
    }
    const bool allReady = waitUntil([&] { return ready == clients; }, 120000);
    printFigure(prefix + QStringLiteral("handshake_all"), double(handshake.elapsed()), "ms");
    result.handshakeMs = double(handshake.elapsed());
    if (!allReady) {
        std::fprintf(stderr, "bench: only %d of %d clients became ready\n", ready, clients);
        return result;
    }
    // Every admission sends the whole list to every client: let that traffic
    // drain, or it would be counted as relay work.
    const bool allSettled = waitUntil([&] { return settled == clients; }, 600000);
    printFigure(
        prefix + QStringLiteral("handshake_lists_settled"), double(handshake.elapsed()), "ms");
    if (!allSettled) {
        std::fprintf(stderr, "bench: only %d of %d clients got the full list\n", settled, clients);
        return result;
    }
    printFigure(prefix + QStringLiteral("handshake_client_list_bytes"),
        double(listBytes) / (1024.0 * 1024.0), "MiB");
    // Repeats mean a lost step that waited for the 5 s retry.
    printFigure(prefix + QStringLiteral("handshake_repeated_requests"), requests - clients, "");
    printFigure(
        prefix + QStringLiteral("handshake_repeated_copy_probes"), udp.copyProbes() - clients, "");
    printFigure(prefix + QStringLiteral("handshake_server_cpu"),
        double(processCpuNs(server.processId()) - handshakeCpuBefore) / 1e6, "ms");

    const qint64 expectedCopies = clients - 1;
    auto report = [&](const QString& name, qint64 sent, double cpuNs) {
        udp.stats().lock.lock();
        const qint64 received = udp.stats().received;
        std::vector<qint64> latencies = udp.stats().latenciesNs;
        udp.stats().lock.unlock();
        const double share = 100.0 * double(received) / double(sent * expectedCopies);
        printFigure(name + QStringLiteral("delivered"), share, "%");
        printFigure(name + QStringLiteral("latency_p50"), percentileUs(latencies, 0.50), "us");
        printFigure(name + QStringLiteral("latency_p99"), percentileUs(latencies, 0.99), "us");
        printFigure(
            name + QStringLiteral("cpu_per_datagram_in"), cpuNs / double(sent) / 1000.0, "us");
        printFigure(name + QStringLiteral("cpu_per_datagram_out"),
            cpuNs / double(sent * expectedCopies) / 1000.0, "us");
        return Relay { share, percentileUs(latencies, 0.50), percentileUs(latencies, 0.99),
            cpuNs / double(sent * expectedCopies) };
    };

    // Relay through the server; its CPU is read before and after.
    udp.stats().reset();
    const qint64 cpuBefore = processCpuNs(server.processId());
    // Nothing arrives over TCP while the class speaks, so the speakers can
    // run on this thread.
    const qint64 sent = speak(udp, serverUdp, seconds);
    QElapsedTimer drain;
    drain.start();
    waitUntil([&] { return drain.elapsed() > 300; }, 1000);
    const double serverCpu = double(processCpuNs(server.processId()) - cpuBefore);
    const Relay relay = report(prefix, sent, serverCpu);
    result.delivered = relay.share;
    result.serverCpuPerCopyNs = relay.cpuPerCopyNs;
    result.serverCoreShare = serverCpu / (seconds * 1e9);
    result.latencyP50Us = relay.p50Us;
    result.latencyP99Us = relay.p99Us;
    printFigure(prefix + QStringLiteral("server_core_share"), 100.0 * result.serverCoreShare, "%");

    server.terminate();
    server.waitForFinished(30000);
    for (MTcpSocket* socket : sockets)
        socket->abort();

    // The same datagrams through the two plain loops.
    if (references) {
        for (const bool batched : { false, true }) {
            const QString plain = QStringLiteral("%1_%2clients_")
                                      .arg(batched ? QStringLiteral("sendmmsg_loop")
                                                   : QStringLiteral("sendto_loop"))
                                      .arg(clients);
            udp.stats().reset();
            PlainFanOut fanOut(udp.locals(), batched);
            const qint64 plainSent = speak(udp, fanOut.address(), seconds);
            QElapsedTimer plainDrain;
            plainDrain.start();
            waitUntil([&] { return plainDrain.elapsed() > 300; }, 1000);
            fanOut.stop();
            const Relay reference = report(plain, plainSent, double(fanOut.cpuNs()));
            const QString versus
                = batched ? QStringLiteral("sendmmsg_loop") : QStringLiteral("sendto_loop");
            printFigure(prefix + QStringLiteral("cpu_ratio_to_") + versus,
                relay.cpuPerCopyNs / reference.cpuPerCopyNs, "x");
            printFigure(prefix + QStringLiteral("latency_p99_ratio_to_") + versus,
                reference.p99Us > 0 ? relay.p99Us / reference.p99Us : 0, "x");
        }
    }
    result.ok = true;
    return result;
}

// The server of the side-by-side runs (--serve [--secure state-folder]): the
// classroom server podium -s -n runs, at podium's normal log level, with codes
// when secure. It says where it listens as podium does, and its fingerprint.
int serve(const QStringList& arguments)
{
    QLoggingCategory::setFilterRules(
        QStringLiteral("server.frames.debug=false\ntransport.frames.debug=false"));
    ServerSettings settings;
    settings.listenAddress = QHostAddress(QHostAddress::LocalHost);
    settings.listenPort = 0;
    settings.udpAddress = QHostAddress(QHostAddress::LocalHost);
    settings.udpPort = 0;
    const int secure = arguments.indexOf(QStringLiteral("--secure"));
    if (secure >= 0) {
        settings.staffCode = kStaffCode;
        settings.studentCode = kStudentCode;
        settings.stateFolder = arguments.value(secure + 1);
    }
    ServerCLI cli(settings, nullptr);
    const MStudentServer* students = cli.server()->currentStudentServer();
    if (!cli.isListening() || !students)
        return 1;
    std::fprintf(stderr, "bench: clients connect to TCP %s and UDP %s\n",
        qPrintable(MAbstractSocket::addressText(students->serverAddress(), students->serverPort())),
        qPrintable(
            MAbstractSocket::addressText(students->serverAddress(), students->boundUdpPort())));
    if (secure >= 0)
        std::fprintf(
            stderr, "bench: fingerprint %s\n", qPrintable(students->certificateFingerprint()));
    std::fflush(stderr);
    return QCoreApplication::exec();
}

// What sealing one relayed copy costs the server by itself, in this process:
// the look-up of the recipient's key and the sealing, as the fan-out does it
// for each copy of a 60-byte voice datagram.
double sealNsPerCopy(int recipients)
{
    ServerSealer sealer;
    std::vector<ServerSealer::End> ends;
    for (int i = 0; i < recipients; ++i) {
        quint32 keyId = 0;
        QByteArray key;
        if (!sealer.addClient(keyId, key))
            return 0;
        // A first datagram from each end binds it to its key.
        DatagramChannel client(keyId, key, DatagramChannel::ClientSide);
        const ServerSealer::End end(QHostAddress(QHostAddress::LocalHost), quint16(20000 + i));
        QByteArray plain;
        sealer.open(client.seal(QByteArray("COMDUDPRESPONSE1")), end.first, end.second, plain);
        ends.push_back(end);
    }
    const QByteArray voice(kTagBytes + kSeqBytes + kPayloadBytes, 'v');
    constexpr int kRounds = 200;
    qint64 bytes = 0;
    const qint64 start = nowNs();
    for (int round = 0; round < kRounds; ++round) {
        for (const ServerSealer::End& end : ends)
            bytes += sealer.seal(voice, end.first, end.second).size();
    }
    const double perCopy = double(nowNs() - start) / double(kRounds * recipients);
    return bytes > 0 ? perCopy : 0;
}

// The same class through this program's server plain and secure, one after the
// other, and the secure figures against the plain ones.
bool compareSecure(const QString& podium, const QList<int>& sizes, double seconds)
{
    if (!sizes.isEmpty())
        printFigure(
            QStringLiteral("relay_secure_seal_per_copy_1000clients"), sealNsPerCopy(1000), "ns");
    for (const int size : sizes) {
        const RunResult plain = runClass(podium, size, seconds, false, Mode::Plain);
        const RunResult secure = runClass(podium, size, seconds, false, Mode::Secure);
        if (!plain.ok || !secure.ok)
            return false;
        const QString prefix = QStringLiteral("relay_secure_to_plain_%1clients_").arg(size);
        printFigure(prefix + QStringLiteral("cpu_per_copy_ratio"),
            secure.serverCpuPerCopyNs / plain.serverCpuPerCopyNs, "x");
        printFigure(prefix + QStringLiteral("handshake_all_ratio"),
            plain.handshakeMs > 0 ? secure.handshakeMs / plain.handshakeMs : 0, "x");
        // What sealing (both clients' and the server's) adds to the trip.
        printFigure(prefix + QStringLiteral("latency_p50_added"),
            secure.latencyP50Us - plain.latencyP50Us, "us");
        printFigure(prefix + QStringLiteral("latency_p99_added"),
            secure.latencyP99Us - plain.latencyP99Us, "us");
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (QCoreApplication::arguments().contains(QStringLiteral("--serve")))
        return serve(QCoreApplication::arguments());
    std::signal(SIGPIPE, SIG_IGN);
    // 1000 clients take two descriptors each here and one each in the server.
    rlimit files {};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    const QStringList given = QCoreApplication::arguments();
    g_pin = given.contains(QStringLiteral("--pin"))
        || (!given.contains(QStringLiteral("--no-pin")) && machineIdle());
    // Threads created from here on inherit the clients' core.
    pinThread(0, kClientCore);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    double seconds = 10;
    QList<int> sizes { 10, 100, 500, 1000 };
    // Larger classes tried after the sizes, shorter, until one loses voice or
    // its server needs more than the core.
    QList<int> probes { 1500, 2000 };
    double probeSeconds = 5;
    // Plain against secure through this program's own server; 500 is the class
    // that arrives at once.
    QList<int> secureSizes { 100, 500, 1000 };
    bool secureOnly = false;
    QString podium = QCoreApplication::applicationDirPath() + QStringLiteral("/../podium");
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        const QString value = arguments.value(i + 1);
        if (argument == QStringLiteral("--duration")) {
            seconds = value.toDouble();
            ++i;
        } else if (argument == QStringLiteral("--clients")) {
            sizes.clear();
            for (const QString& size : value.split(QLatin1Char(',')))
                sizes.append(size.toInt());
            ++i;
        } else if (argument == QStringLiteral("--probe")) {
            probes.clear();
            for (const QString& size : value.split(QLatin1Char(','), Qt::SkipEmptyParts))
                probes.append(size.toInt());
            ++i;
        } else if (argument == QStringLiteral("--secure-clients")) {
            secureSizes.clear();
            for (const QString& size : value.split(QLatin1Char(','), Qt::SkipEmptyParts))
                secureSizes.append(size.toInt());
            ++i;
        } else if (argument == QStringLiteral("--secure-only")) {
            secureOnly = true;
        } else if (argument == QStringLiteral("--no-pin") || argument == QStringLiteral("--pin")) {
        } else if (argument == QStringLiteral("--podium")) {
            podium = value;
            ++i;
        } else {
            std::fprintf(stderr,
                "usage: bench_classroomserver [--duration seconds(10)] "
                "[--clients 10,100,500,1000] [--probe 1500,2000 (empty: none)] "
                "[--secure-clients 100,500,1000 (empty: none)] [--secure-only] "
                "[--pin|--no-pin] [--podium path]\n");
            return 2;
        }
    }

    printFigure(QStringLiteral("server_speak_duration"), seconds, "s");
    printFigure(QStringLiteral("server_pinned_to_own_core"), twoCores() ? 1 : 0, "");
    if (secureOnly)
        return compareSecure(podium, secureSizes, seconds) ? 0 : 1;
    int largestWhole = 0;
    RunResult largest;
    int largestSize = 0;
    for (int size : qAsConst(sizes)) {
        const RunResult result = runClass(podium, size, seconds, true);
        if (!result.ok)
            return 1;
        if (result.delivered >= 100.0 && result.serverCoreShare < 1.0)
            largestWhole = std::max(largestWhole, size);
        if (size > largestSize) {
            largest = result;
            largestSize = size;
        }
    }
    // Measured: a class counts when every copy arrived and the server needed
    // less than its core.
    for (int size : qAsConst(probes)) {
        const RunResult result = runClass(podium, size, probeSeconds, false);
        if (!result.ok || result.delivered < 100.0 || result.serverCoreShare >= 1.0)
            break;
        largestWhole = std::max(largestWhole, size);
        largest = result;
        largestSize = size;
    }
    printFigure(QStringLiteral("server_largest_class_no_loss_measured"), largestWhole, "clients");
    // Two speakers at 50 packets per second: one core relays 1 s of CPU per
    // second, each incoming datagram costs (clients - 1) copies.
    if (largest.serverCpuPerCopyNs > 0) {
        const double copiesPerSecond = 1e9 / largest.serverCpuPerCopyNs;
        printFigure(QStringLiteral("server_largest_class_one_core_estimate"),
            std::floor(copiesPerSecond / (kSpeakers * kPacketsPerSecond)) + 1, "clients");
    }
    return compareSecure(podium, secureSizes, seconds) ? 0 : 1;
}
