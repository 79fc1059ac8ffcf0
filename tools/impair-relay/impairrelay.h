#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QRandomGenerator>

#include <map>

class QTimer;
class QUdpSocket;

// How one direction of the relay mistreats datagrams. Percentages are
// 0..100; delays are milliseconds. Each datagram waits delayMs plus a
// uniform draw from [0, jitterMs], so a jitter above the sending interval
// also reorders, as on a path with several routes; with keepOrder no
// datagram leaves before the one that arrived before it, as in a queue.
// reorderPercent of them wait reorderDelayMs more on top. With stallMs and
// stallEveryMs, the path stalls for stallMs every stallEveryMs (from the
// moment the settings were set): what arrives meanwhile is held back and
// leaves at once when the stall ends, as over a Wi-Fi hiccup.
struct ImpairSettings
{
    double lossPercent = 0;
    double duplicatePercent = 0;
    double reorderPercent = 0;
    int reorderDelayMs = 50;
    int delayMs = 0;
    int jitterMs = 0;
    bool keepOrder = false;
    int stallMs = 0;
    int stallEveryMs = 0;

    // "loss=5 jitter=20 ...": keys as the program's options; false on an
    // unknown key or a value out of range, leaving `settings` untouched.
    static bool parse(const QString& text, ImpairSettings& settings);
    QString toString() const;
};

// A UDP relay on loopback for testing voice over a bad network without
// kernel support: the client sends to listenPort(), the relay forwards from a
// socket of its own to the upstream address and returns the answers to the
// client's last source address. Seeded loss, duplication, fixed delay, jitter
// and reordering per direction; at most kMaxQueued datagrams wait, the rest
// are dropped and counted. Every arrival is reported (arrived) with the
// monotonic clock, so the relay doubles as a network tap. Main thread.
class ImpairRelay : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ImpairRelay)

public:
    enum Direction { ToUpstream = 0, ToClient = 1 };
    static constexpr int kMaxQueued = 4096;

    struct Counters
    {
        qint64 received = 0;
        qint64 forwarded = 0;
        qint64 lost = 0;
        qint64 duplicated = 0;
        qint64 reordered = 0;
        qint64 overflow = 0;
    };

    explicit ImpairRelay(QObject* parent = nullptr);
    ~ImpairRelay() override;

    // Binds the client-facing and the upstream socket; port 0 lets the system choose.
    bool start(const QHostAddress& listenAddress, quint16 listenPort,
        const QHostAddress& upstreamAddress, quint16 upstreamPort);
    quint16 listenPort() const;
    quint16 upstreamSidePort() const;

    void setSeed(quint32 seed) { m_random.seed(seed); }
    void setSettings(Direction direction, const ImpairSettings& settings);
    ImpairSettings settings(Direction direction) const { return m_settings[direction]; }
    Counters counters(Direction direction) const { return m_counters[direction]; }
    int queued() const { return int(m_queue.size()); }

    // CLOCK_MONOTONIC in nanoseconds: the time base of arrived().
    static qint64 monotonicNs();

signals:
    void arrived(ImpairRelay::Direction direction, qint64 monotonicNs, const QByteArray& datagram);

private:
    struct Pending
    {
        Direction direction;
        QByteArray datagram;
    };

    void readClientSide();
    void readUpstreamSide();
    void impair(Direction direction, const QByteArray& datagram);
    void enqueue(qint64 dueNs, Direction direction, const QByteArray& datagram);
    void sendDue();
    void scheduleNext();
    bool chance(double percent);

    QUdpSocket* m_clientSide;
    QUdpSocket* m_upstreamSide;
    QTimer* m_timer;
    QHostAddress m_upstreamAddress;
    quint16 m_upstreamPort = 0;
    QHostAddress m_clientAddress;
    quint16 m_clientPort = 0;
    QRandomGenerator m_random;
    ImpairSettings m_settings[2];
    Counters m_counters[2];
    // Keyed by due time, then by arrival order, so equal due times keep order.
    std::map<std::pair<qint64, quint64>, Pending> m_queue;
    quint64 m_enqueued = 0;
    qint64 m_lastDueNs[2] = { 0, 0 };
    qint64 m_settingsSetNs[2] = { 0, 0 };
};
