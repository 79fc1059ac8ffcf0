#include "impairrelay.h"

#include <ctime>

#include <QNetworkDatagram>
#include <QStringList>
#include <QTimer>
#include <QUdpSocket>

namespace {

// Longer waits than this are no network any test wants to model; the bound
// keeps a typing error from parking datagrams for hours.
constexpr int kMaxDelayMs = 10000;

} // namespace

bool ImpairSettings::parse(const QString& text, ImpairSettings& settings)
{
    ImpairSettings parsed = settings;
    const QStringList items = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString& item : items) {
        const int equals = item.indexOf(QLatin1Char('='));
        if (equals <= 0)
            return false;
        const QString key = item.left(equals);
        bool ok = false;
        const double value = item.mid(equals + 1).toDouble(&ok);
        if (!ok || value < 0)
            return false;
        if (key == QLatin1String("keep-order")) {
            if (value > 1)
                return false;
            parsed.keepOrder = value > 0;
        } else if (key == QLatin1String("loss") || key == QLatin1String("duplicate")
            || key == QLatin1String("reorder")) {
            if (value > 100)
                return false;
            (key == QLatin1String("loss")               ? parsed.lossPercent
                    : key == QLatin1String("duplicate") ? parsed.duplicatePercent
                                                        : parsed.reorderPercent)
                = value;
        } else if (key == QLatin1String("delay") || key == QLatin1String("jitter")
            || key == QLatin1String("reorder-delay") || key == QLatin1String("stall")) {
            if (value > kMaxDelayMs)
                return false;
            (key == QLatin1String("delay")                  ? parsed.delayMs
                    : key == QLatin1String("jitter")        ? parsed.jitterMs
                    : key == QLatin1String("reorder-delay") ? parsed.reorderDelayMs
                                                            : parsed.stallMs)
                = int(value);
        } else if (key == QLatin1String("stall-every")) {
            if (value > 3600 * 1000)
                return false;
            parsed.stallEveryMs = int(value);
        } else {
            return false;
        }
    }
    // A stall as long as its period would hold everything for ever.
    if (parsed.stallMs > 0 && parsed.stallMs >= parsed.stallEveryMs)
        return false;
    settings = parsed;
    return true;
}

QString ImpairSettings::toString() const
{
    return QStringLiteral(
        "loss=%1 duplicate=%2 reorder=%3 reorder-delay=%4 delay=%5 jitter=%6 keep-order=%7 "
        "stall=%8 stall-every=%9")
        .arg(lossPercent)
        .arg(duplicatePercent)
        .arg(reorderPercent)
        .arg(reorderDelayMs)
        .arg(delayMs)
        .arg(jitterMs)
        .arg(keepOrder ? 1 : 0)
        .arg(stallMs)
        .arg(stallEveryMs);
}

ImpairRelay::ImpairRelay(QObject* parent)
    : QObject(parent), m_clientSide(new QUdpSocket(this)), m_upstreamSide(new QUdpSocket(this)),
      m_timer(new QTimer(this)), m_random(1)
{
    m_timer->setSingleShot(true);
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, &ImpairRelay::sendDue);
    connect(m_clientSide, &QUdpSocket::readyRead, this, &ImpairRelay::readClientSide);
    connect(m_upstreamSide, &QUdpSocket::readyRead, this, &ImpairRelay::readUpstreamSide);
}

ImpairRelay::~ImpairRelay() = default;

bool ImpairRelay::start(const QHostAddress& listenAddress, quint16 listenPort,
    const QHostAddress& upstreamAddress, quint16 upstreamPort)
{
    m_upstreamAddress = upstreamAddress;
    m_upstreamPort = upstreamPort;
    return m_clientSide->bind(listenAddress, listenPort)
        && m_upstreamSide->bind(listenAddress.protocol() == QAbstractSocket::IPv6Protocol
                ? QHostAddress(QHostAddress::LocalHostIPv6)
                : QHostAddress(QHostAddress::LocalHost),
            0);
}

quint16 ImpairRelay::listenPort() const
{
    return m_clientSide->localPort();
}

quint16 ImpairRelay::upstreamSidePort() const
{
    return m_upstreamSide->localPort();
}

void ImpairRelay::setSettings(Direction direction, const ImpairSettings& settings)
{
    m_settings[direction] = settings;
    m_settingsSetNs[direction] = monotonicNs();
}

qint64 ImpairRelay::monotonicNs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void ImpairRelay::readClientSide()
{
    while (m_clientSide->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_clientSide->receiveDatagram();
        if (!datagram.isValid())
            continue;
        // The client may rebind: answers go to wherever it last sent from.
        m_clientAddress = datagram.senderAddress();
        m_clientPort = quint16(datagram.senderPort());
        impair(ToUpstream, datagram.data());
    }
}

void ImpairRelay::readUpstreamSide()
{
    while (m_upstreamSide->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_upstreamSide->receiveDatagram();
        if (!datagram.isValid())
            continue;
        impair(ToClient, datagram.data());
    }
}

bool ImpairRelay::chance(double percent)
{
    return m_random.generateDouble() * 100.0 < percent;
}

void ImpairRelay::impair(Direction direction, const QByteArray& datagram)
{
    const qint64 now = monotonicNs();
    Counters& counters = m_counters[direction];
    ++counters.received;
    emit arrived(direction, now, datagram);

    // Four draws per datagram whatever the settings, so that one seed gives
    // the same loss pattern with any delay or duplication.
    const ImpairSettings& s = m_settings[direction];
    const bool lost = chance(s.lossPercent);
    const bool duplicated = chance(s.duplicatePercent);
    const bool reordered = chance(s.reorderPercent);
    const double jitter = m_random.generateDouble() * s.jitterMs;
    if (lost) {
        ++counters.lost;
        return;
    }
    qint64 delayNs = qint64((s.delayMs + jitter) * 1e6);
    if (s.stallMs > 0) {
        const qint64 every = qint64(s.stallEveryMs) * 1000000;
        const qint64 since = now - m_settingsSetNs[direction];
        const qint64 phase = since % every;
        if (since >= every && phase < qint64(s.stallMs) * 1000000)
            delayNs = qMax(delayNs, qint64(s.stallMs) * 1000000 - phase);
    }
    if (s.keepOrder)
        delayNs = qMax(delayNs, m_lastDueNs[direction] - now);
    m_lastDueNs[direction] = now + delayNs;
    if (reordered) {
        ++counters.reordered;
        delayNs += qint64(s.reorderDelayMs) * 1000000;
    }
    enqueue(now + delayNs, direction, datagram);
    if (duplicated) {
        ++counters.duplicated;
        enqueue(now + delayNs, direction, datagram);
    }
    sendDue();
}

void ImpairRelay::enqueue(qint64 dueNs, Direction direction, const QByteArray& datagram)
{
    if (m_queue.size() >= size_t(kMaxQueued)) {
        ++m_counters[direction].overflow;
        return;
    }
    m_queue.emplace(std::make_pair(dueNs, m_enqueued++), Pending { direction, datagram });
}

void ImpairRelay::sendDue()
{
    const qint64 now = monotonicNs();
    while (!m_queue.empty() && m_queue.begin()->first.first <= now) {
        const Pending pending = m_queue.begin()->second;
        m_queue.erase(m_queue.begin());
        qint64 written = -1;
        if (pending.direction == ToUpstream) {
            written = m_upstreamSide->writeDatagram(
                pending.datagram, m_upstreamAddress, m_upstreamPort);
        } else if (m_clientPort != 0) {
            written = m_clientSide->writeDatagram(pending.datagram, m_clientAddress, m_clientPort);
        }
        if (written == pending.datagram.size())
            ++m_counters[pending.direction].forwarded;
    }
    scheduleNext();
}

void ImpairRelay::scheduleNext()
{
    if (m_queue.empty()) {
        m_timer->stop();
        return;
    }
    const qint64 waitNs = m_queue.begin()->first.first - monotonicNs();
    // Rounded up: a timer that fires early would only find nothing due.
    m_timer->start(int(qBound<qint64>(0, (waitNs + 999999) / 1000000, kMaxDelayMs * 2)));
}
