// The impairment relay over real loopback sockets: a "server" socket sends
// numbered datagrams through the relay to a "client" socket, which has
// announced itself to the relay first. What arrives is compared with what
// each setting promises; seeded patterns must repeat exactly.

#include "impairrelay.h"

#include <QDeadlineTimer>
#include <QNetworkDatagram>
#include <QSet>
#include <QUdpSocket>
#include <QtEndian>
#include <QtTest>

#include <memory>

namespace {

constexpr int kDatagrams = 200;

// Runs the event loop until `done` holds or the time is up.
template <typename Predicate> bool waitUntil(Predicate done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(5);
    }
    return true;
}

struct Arrival
{
    quint32 number;
    qint64 sentNs;
    qint64 receivedNs;
};

// One relay between a client and a server socket on loopback.
class Path
{
public:
    explicit Path(const QString& settings, quint32 seed = 1)
    {
        ImpairSettings parsed;
        ok = ImpairSettings::parse(settings, parsed);
        relay.setSeed(seed);
        relay.setSettings(ImpairRelay::ToClient, parsed);
        ok = ok && server.bind(QHostAddress(QHostAddress::LocalHost), 0)
            && client.bind(QHostAddress(QHostAddress::LocalHost), 0)
            && relay.start(QHostAddress(QHostAddress::LocalHost), 0,
                QHostAddress(QHostAddress::LocalHost), server.localPort());
        QObject::connect(&client, &QUdpSocket::readyRead, [this] {
            while (client.hasPendingDatagrams()) {
                const QByteArray data = client.receiveDatagram().data();
                if (data.size() == 12) {
                    arrivals.append({ qFromBigEndian<quint32>(data.constData()),
                        qFromBigEndian<qint64>(data.constData() + 4), ImpairRelay::monotonicNs() });
                }
            }
        });
    }

    // The client's first datagram tells the relay where the client is; it
    // must reach the server unchanged.
    bool announceClient()
    {
        client.writeDatagram(
            QByteArrayLiteral("hello"), QHostAddress::LocalHost, relay.listenPort());
        if (!waitUntil([this] { return server.hasPendingDatagrams(); }, 5000))
            return false;
        const QNetworkDatagram hello = server.receiveDatagram();
        return hello.data() == "hello" && hello.senderPort() == relay.upstreamSidePort();
    }

    // Numbered datagrams carrying their send time, in small bursts so that
    // no socket buffer overflows while the relay waits for the event loop.
    void sendNumbered(int count)
    {
        for (int i = 0; i < count; ++i) {
            QByteArray data(12, '\0');
            qToBigEndian<quint32>(quint32(i), data.data());
            qToBigEndian<qint64>(ImpairRelay::monotonicNs(), data.data() + 4);
            server.writeDatagram(data, QHostAddress::LocalHost, relay.upstreamSidePort());
            if (i % 10 == 9)
                QTest::qWait(2);
        }
    }

    bool settled(int sent) const
    {
        const ImpairRelay::Counters c = relay.counters(ImpairRelay::ToClient);
        return c.received == sent && relay.queued() == 0 && arrivals.size() == c.forwarded;
    }

    QList<quint32> numbers() const
    {
        QList<quint32> list;
        for (const Arrival& arrival : arrivals)
            list << arrival.number;
        return list;
    }

    bool ok = false;
    ImpairRelay relay;
    QUdpSocket server;
    QUdpSocket client;
    QList<Arrival> arrivals;
};

int inversions(const QList<quint32>& numbers)
{
    int count = 0;
    for (int i = 1; i < numbers.size(); ++i)
        count += numbers[i] < numbers[i - 1] ? 1 : 0;
    return count;
}

} // namespace

class TestImpairRelay : public QObject
{
    Q_OBJECT

private slots:
    void settingsAreParsed_data();
    void settingsAreParsed();
    void datagramsAreImpairedAsSet_data();
    void datagramsAreImpairedAsSet();
    void oneSeedGivesOnePattern();
    void theClientDirectionIsLeftAloneByDefault();
};

void TestImpairRelay::settingsAreParsed_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("canonical");

    const QString clean = ImpairSettings().toString();
    QTest::newRow("nothing leaves the defaults") << QString() << true << clean;
    QTest::newRow("every key at once")
        << "loss=5 duplicate=1.5 reorder=2 reorder-delay=30 delay=10 jitter=40 keep-order=1 "
           "stall=300 stall-every=10000"
        << true
        << "loss=5 duplicate=1.5 reorder=2 reorder-delay=30 delay=10 jitter=40 keep-order=1 "
           "stall=300 stall-every=10000";
    QTest::newRow("a stall as long as its period is refused")
        << "stall=300 stall-every=300" << false << clean;
    QTest::newRow("keeping the order is a switch") << "keep-order=2" << false << clean;
    QTest::newRow("a percentage above 100 is refused") << "loss=101" << false << clean;
    QTest::newRow("a negative delay is refused") << "delay=-1" << false << clean;
    QTest::newRow("a delay beyond ten seconds is refused") << "jitter=10001" << false << clean;
    QTest::newRow("an unknown key is refused") << "latency=5" << false << clean;
    QTest::newRow("a key without a value is refused") << "loss" << false << clean;
    QTest::newRow("a value that is no number is refused") << "loss=some" << false << clean;
}

void TestImpairRelay::settingsAreParsed()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QString, canonical);
    ImpairSettings settings;
    QCOMPARE(ImpairSettings::parse(text, settings), valid);
    QCOMPARE(settings.toString(), canonical);
}

void TestImpairRelay::datagramsAreImpairedAsSet_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("minDelivered");
    QTest::addColumn<int>("maxDelivered");
    QTest::addColumn<int>("copies"); // of each number that arrives
    QTest::addColumn<bool>("inOrder"); // true: must; false: must not
    QTest::addColumn<int>("minDelayMs");

    QTest::newRow("a clean path delivers everything once and in order")
        << QString() << kDatagrams << kDatagrams << 1 << true << 0;
    QTest::newRow("full loss delivers nothing") << "loss=100" << 0 << 0 << 1 << true << 0;
    QTest::newRow("a quarter lost leaves about three quarters")
        << "loss=25" << 120 << 180 << 1 << true << 0;
    QTest::newRow("full duplication delivers everything twice")
        << "duplicate=100" << 2 * kDatagrams << 2 * kDatagrams << 2 << true << 0;
    QTest::newRow("a fixed delay holds every datagram back and keeps the order")
        << "delay=60" << kDatagrams << kDatagrams << 1 << true << 60;
    QTest::newRow("jitter wider than the spacing reorders and loses nothing")
        << "jitter=40" << kDatagrams << kDatagrams << 1 << false << 0;
    QTest::newRow("jitter in a queue delays without reordering")
        << "jitter=40 keep-order=1" << kDatagrams << kDatagrams << 1 << true << 0;
    QTest::newRow("stalls hold datagrams back and release them in order")
        << "stall=40 stall-every=50" << kDatagrams << kDatagrams << 1 << true << 0;
    QTest::newRow("reordering holds some back behind later ones")
        << "reorder=20 reorder-delay=30" << kDatagrams << kDatagrams << 1 << false << 0;
}

void TestImpairRelay::datagramsAreImpairedAsSet()
{
    QFETCH(QString, settings);
    QFETCH(int, minDelivered);
    QFETCH(int, maxDelivered);
    QFETCH(int, copies);
    QFETCH(bool, inOrder);
    QFETCH(int, minDelayMs);

    Path path(settings, 20261207);
    QVERIFY(path.ok);
    QVERIFY(path.announceClient());
    path.sendNumbered(kDatagrams);
    QTRY_VERIFY_WITH_TIMEOUT(path.settled(kDatagrams), 20000);

    const ImpairRelay::Counters c = path.relay.counters(ImpairRelay::ToClient);
    QVERIFY2(path.arrivals.size() >= minDelivered && path.arrivals.size() <= maxDelivered,
        qPrintable(QString::number(path.arrivals.size())));
    QCOMPARE(c.received - c.lost + c.duplicated, qint64(path.arrivals.size()));
    QCOMPARE(c.overflow, qint64(0));

    const QList<quint32> numbers = path.numbers();
    QHash<quint32, int> seen;
    for (quint32 number : numbers) {
        QVERIFY(number < quint32(kDatagrams));
        ++seen[number];
    }
    for (int n : qAsConst(seen))
        QCOMPARE(n, copies);
    QCOMPARE(inversions(numbers) == 0, inOrder);
    for (const Arrival& arrival : qAsConst(path.arrivals))
        QVERIFY(arrival.receivedNs - arrival.sentNs >= qint64(minDelayMs) * 1000000);
}

void TestImpairRelay::oneSeedGivesOnePattern()
{
    const auto run = [](quint32 seed) {
        Path path(QStringLiteral("loss=30 duplicate=10"), seed);
        if (!path.ok || !path.announceClient())
            return QList<quint32>();
        path.sendNumbered(kDatagrams);
        if (!waitUntil([&path] { return path.settled(kDatagrams); }, 20000))
            return QList<quint32>();
        QList<quint32> numbers = path.numbers();
        std::sort(numbers.begin(), numbers.end());
        return numbers;
    };
    const QList<quint32> first = run(42);
    QVERIFY(!first.isEmpty());
    QCOMPARE(run(42), first);
    QVERIFY(run(43) != first);
}

void TestImpairRelay::theClientDirectionIsLeftAloneByDefault()
{
    // Impairing the way down must not touch the way up: the handshake of a
    // client behind the relay depends on it.
    Path path(QStringLiteral("loss=100"));
    QVERIFY(path.ok);
    for (int i = 0; i < 20; ++i)
        QVERIFY(path.announceClient());
    QCOMPARE(path.relay.counters(ImpairRelay::ToUpstream).lost, qint64(0));
    QCOMPARE(path.relay.counters(ImpairRelay::ToUpstream).forwarded, qint64(20));
}

QTEST_GUILESS_MAIN(TestImpairRelay)
#include "tst_impairrelay.moc"
