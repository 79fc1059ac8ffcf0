#include "datagramseal.h"

#include "clientsealer.h"

#include <memory>

#include <QtTest>

using SealedDatagram::Direction;
using SealedDatagram::OpenResult;

namespace QTest {
template <> char* toString(const OpenResult& result)
{
    return qstrdup(qPrintable(SealedDatagram::resultText(result)));
}
} // namespace QTest

Q_DECLARE_METATYPE(OpenResult)

namespace {

const QByteArray kKey
    = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
constexpr quint32 kKeyId = 0x01020304;
const QByteArray kPlain = QByteArrayLiteral("COMDIDOCOPY12");

// What a step does to a datagram sealed for the server before it arrives.
enum Change {
    Unchanged,
    FlipCipherBit,
    FlipCounterBit,
    FlipTagBit,
    ServersOwnDirection, // sealed as if the server had sent it
    OtherKeyId,
    OtherKey,
};

struct Step
{
    quint64 counter;
    Change change;
    OpenResult expected;
};

QByteArray sealedStep(const Step& step)
{
    const Direction direction = step.change == ServersOwnDirection ? Direction::ServerToClient
                                                                   : Direction::ClientToServer;
    const quint32 keyId = step.change == OtherKeyId ? kKeyId + 1 : kKeyId;
    QByteArray key = kKey;
    if (step.change == OtherKey)
        key[0] = char(key[0] ^ 0x80);
    QByteArray sealed = SealedDatagram::seal(key, keyId, direction, step.counter, kPlain);
    const int last = sealed.size() - 1;
    switch (step.change) {
    case FlipCipherBit:
        sealed[SealedDatagram::kHeaderSize] = char(sealed[SealedDatagram::kHeaderSize] ^ 0x01);
        break;
    case FlipCounterBit:
        sealed[SealedDatagram::kHeaderSize - 1]
            = char(sealed[SealedDatagram::kHeaderSize - 1] ^ 0x01);
        break;
    case FlipTagBit:
        sealed[last] = char(sealed[last] ^ 0x40);
        break;
    default:
        break;
    }
    return sealed;
}

// A datagram of exactly n heap bytes, with no terminator behind it, so that a read past
// its end is caught by the address sanitizer.
struct ExactBytes
{
    explicit ExactBytes(const QByteArray& content)
        : storage(new char[size_t(qMax(1, content.size()))])
    {
        memcpy(storage.get(), content.constData(), size_t(content.size()));
        view = QByteArray::fromRawData(storage.get(), content.size());
    }
    std::unique_ptr<char[]> storage;
    QByteArray view;
};

} // namespace

Q_DECLARE_METATYPE(QList<Step>)

// The sealing layer against known answers, and a receiver's window against every way a
// datagram can be wrong: changed, replayed, too old, reordered, reflected, short.
class TestDatagramSeal : public QObject
{
    Q_OBJECT

private slots:
    void knownAnswers_data();
    void knownAnswers();
    void receiverSequences_data();
    void receiverSequences();
    void shortOrGarbageDatagrams_data();
    void shortOrGarbageDatagrams();
    void senderCountsWithoutRepeating();
    void keyTableFindsTheClientByKeyId();
    void clientSealerHoldsEverythingUntilItsKey();
    void dropLogWritesAtMostOneLineASecond_data();
    void dropLogWritesAtMostOneLineASecond();
    void udpKeyArgument_data();
    void udpKeyArgument();
};

void TestDatagramSeal::knownAnswers_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<quint32>("keyId");
    QTest::addColumn<quint64>("counter");
    QTest::addColumn<int>("direction");
    QTest::addColumn<QByteArray>("plain");
    QTest::addColumn<QByteArray>("sealed");

    QTest::newRow("client to server, the first UDPRESPONSE")
        << kKey << quint32(0x01020304) << quint64(0) << 0
        << QByteArray::fromHex("434f4d44554450524553504f4e5345313233343536373839")
        << QByteArray::fromHex(
               "0102030400000000000000005bf70f75f8a2f68356320c2ee1100b16ca82c7c0d79a636520690ce4"
               "5368caf720aad72823d4cb16");
    QTest::newRow("server to client, a voice datagram")
        << QByteArray::fromHex("a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5")
        << quint32(0xdeadbeef) << quint64(7) << 1
        << QByteArray::fromHex("564f49430000002a00010203040506070809")
        << QByteArray::fromHex(
               "deadbeef00000000000000079beb293e8273a188485156e6dad6a11bbfeeff94609c1820faa49a6e"
               "674187c5767f");
    QTest::newRow("client to server, counter above 2^32")
        << QByteArray::fromHex("1f1e1d1c1b1a191817161514131211100f0e0d0c0b0a09080706050403020100")
        << quint32(1) << quint64(4294967301ull) << 0
        << QByteArray::fromHex("434f4d4449444f434f50593737")
        << QByteArray::fromHex(
               "000000010000000100000005b3b2c8f136f39a5a0ba38d63767f22543e30d0f2da1fea8a3eb548f4"
               "9a");
}

void TestDatagramSeal::knownAnswers()
{
    QFETCH(QByteArray, key);
    QFETCH(quint32, keyId);
    QFETCH(quint64, counter);
    QFETCH(int, direction);
    QFETCH(QByteArray, plain);
    QFETCH(QByteArray, sealed);

    QCOMPARE(SealedDatagram::seal(key, keyId, Direction(direction), counter, plain).toHex(),
        sealed.toHex());

    // The other end opens it.
    DatagramChannel receiver(
        keyId, key, direction == 0 ? DatagramChannel::ServerSide : DatagramChannel::ClientSide);
    QByteArray opened;
    QCOMPARE(receiver.open(sealed, opened), OpenResult::Opened);
    QCOMPARE(opened, plain);
}

void TestDatagramSeal::receiverSequences_data()
{
    QTest::addColumn<QList<Step>>("steps");
    const auto O = OpenResult::Opened;

    QTest::newRow("a round trip opens each datagram in order")
        << QList<Step> { { 0, Unchanged, O }, { 1, Unchanged, O }, { 2, Unchanged, O } };
    QTest::newRow("a flipped ciphertext bit fails, and does not spend the counter")
        << QList<Step> { { 0, FlipCipherBit, OpenResult::Forged }, { 0, Unchanged, O } };
    QTest::newRow("a flipped counter bit fails")
        << QList<Step> { { 4, FlipCounterBit, OpenResult::Forged }, { 4, Unchanged, O } };
    QTest::newRow("a flipped tag bit fails")
        << QList<Step> { { 0, FlipTagBit, OpenResult::Forged } };
    QTest::newRow("a replayed counter is dropped") << QList<Step> { { 5, Unchanged, O },
        { 5, Unchanged, OpenResult::Replayed }, { 6, Unchanged, O } };
    QTest::newRow("a counter older than the window is dropped, the window's oldest opens")
        << QList<Step> { { 2000, Unchanged, O }, { 2000 - 1024, Unchanged, OpenResult::TooOld },
               { 2000 - 1023, Unchanged, O } };
    QTest::newRow("reordering inside the window opens each datagram once")
        << QList<Step> { { 10, Unchanged, O }, { 8, Unchanged, O }, { 9, Unchanged, O },
               { 7, Unchanged, O }, { 8, Unchanged, OpenResult::Replayed }, { 11, Unchanged, O },
               { 10, Unchanged, OpenResult::Replayed } };
    QTest::newRow("a far jump forgets the old counters") << QList<Step> { { 3, Unchanged, O },
        { 5003, Unchanged, O }, { 3, Unchanged, OpenResult::TooOld }, { 4500, Unchanged, O } };
    QTest::newRow("slots reused after the window slid do not look replayed")
        << QList<Step> { { 2, Unchanged, O }, { 10, Unchanged, O }, { 1030, Unchanged, O },
               { 1026, Unchanged, O }, { 10, Unchanged, OpenResult::Replayed },
               { 2, Unchanged, OpenResult::TooOld } };
    QTest::newRow("a datagram sealed in the wrong direction fails")
        << QList<Step> { { 0, ServersOwnDirection, OpenResult::Forged }, { 0, Unchanged, O } };
    QTest::newRow("another key id is not this channel's")
        << QList<Step> { { 0, OtherKeyId, OpenResult::UnknownKey } };
    QTest::newRow("the right id under another key fails")
        << QList<Step> { { 0, OtherKey, OpenResult::Forged } };
    QTest::newRow("the highest counter there is still opens once")
        << QList<Step> { { ~quint64(0), Unchanged, O },
               { ~quint64(0), Unchanged, OpenResult::Replayed } };
}

void TestDatagramSeal::receiverSequences()
{
    QFETCH(QList<Step>, steps);
    DatagramChannel server(kKeyId, kKey, DatagramChannel::ServerSide);
    QVERIFY(server.isValid());
    for (int i = 0; i < steps.size(); ++i) {
        QByteArray plain = QByteArrayLiteral("untouched");
        const OpenResult result = server.open(sealedStep(steps.at(i)), plain);
        QVERIFY2(result == steps.at(i).expected,
            qPrintable(QStringLiteral("step %1 (counter %2): %3, expected %4")
                           .arg(i)
                           .arg(steps.at(i).counter)
                           .arg(SealedDatagram::resultText(result),
                               SealedDatagram::resultText(steps.at(i).expected))));
        QCOMPARE(plain, result == OpenResult::Opened ? kPlain : QByteArrayLiteral("untouched"));
    }
}

void TestDatagramSeal::shortOrGarbageDatagrams_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<OpenResult>("expected");

    const QByteArray valid
        = SealedDatagram::seal(kKey, kKeyId, Direction::ClientToServer, 0, QByteArray());
    for (int size : { 0, 1, 3, 4, 11, 12, 13, 27 }) {
        QTest::addRow("%d bytes of a sealed datagram are too short", size)
            << valid.left(size) << OpenResult::TooShort;
    }
    QTest::newRow("28 bytes seal an empty datagram") << valid << OpenResult::Opened;
    QByteArray garbage(64, '\x5a');
    garbage.replace(0, 4, QByteArray::fromHex("01020304"));
    QTest::newRow("64 bytes of garbage under a known id fail") << garbage << OpenResult::Forged;
    QTest::newRow("a plain datagram is not a sealed one")
        << QByteArray("COMDUDPRESPONSE1234567890123456") << OpenResult::UnknownKey;
}

void TestDatagramSeal::shortOrGarbageDatagrams()
{
    QFETCH(QByteArray, datagram);
    QFETCH(OpenResult, expected);
    const ExactBytes exact(datagram);

    DatagramChannel server(kKeyId, kKey, DatagramChannel::ServerSide);
    QByteArray plain = QByteArrayLiteral("untouched");
    QCOMPARE(server.open(exact.view, plain), expected);
    QCOMPARE(plain, expected == OpenResult::Opened ? QByteArray() : QByteArrayLiteral("untouched"));

    DatagramKeyTable table;
    QVERIFY(table.add(kKeyId, kKey));
    quint32 keyId = 0;
    if (expected != OpenResult::Opened)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Dropped 1 sealed")));
    const OpenResult fromTable = table.open(exact.view, plain, keyId, QStringLiteral("peer"));
    QCOMPARE(fromTable, expected);
    QCOMPARE(table.drops().dropped(), quint64(expected == OpenResult::Opened ? 0 : 1));
}

void TestDatagramSeal::senderCountsWithoutRepeating()
{
    DatagramChannel client(kKeyId, kKey, DatagramChannel::ClientSide);
    DatagramChannel server(kKeyId, kKey, DatagramChannel::ServerSide);
    for (quint64 expected = 0; expected < 3; ++expected) {
        QCOMPARE(client.nextCounter(), expected);
        const QByteArray sealed = client.seal(kPlain);
        QCOMPARE(sealed.size(), kPlain.size() + SealedDatagram::kOverhead);
        QCOMPARE(
            sealed.mid(4, 8).toHex(), QByteArray::number(expected, 16).rightJustified(16, '0'));
        QByteArray plain;
        QCOMPARE(server.open(sealed, plain), OpenResult::Opened);
        QCOMPARE(plain, kPlain);
        // And the answer in the other direction opens at the client.
        QCOMPARE(client.open(server.seal(plain), plain), OpenResult::Opened);
    }
    // A channel that cannot work seals nothing rather than something weak.
    DatagramChannel broken(kKeyId, QByteArray(16, 'k'), DatagramChannel::ClientSide);
    QVERIFY(!broken.isValid());
    QVERIFY(broken.seal(kPlain).isEmpty());
}

void TestDatagramSeal::keyTableFindsTheClientByKeyId()
{
    DatagramKeyTable table;
    QByteArray keyA;
    QByteArray keyB;
    quint32 idA = 0;
    quint32 idB = 0;
    QVERIFY(table.addClient(idA, keyA));
    QVERIFY(table.addClient(idB, keyB));
    QCOMPARE(table.size(), 2);
    QVERIFY(idA != idB);
    QCOMPARE(keyA.size(), SealedDatagram::kKeySize);
    QVERIFY(keyA != keyB);
    QVERIFY(!table.add(idA, keyB)); // ids stay unique

    DatagramChannel clientA(idA, keyA, DatagramChannel::ClientSide);
    DatagramChannel clientB(idB, keyB, DatagramChannel::ClientSide);
    QByteArray plain;
    quint32 from = 0;
    QCOMPARE(table.open(clientB.seal("VOICb"), plain, from, QString()), OpenResult::Opened);
    QCOMPARE(from, idB);
    QCOMPARE(table.open(clientA.seal("VOICa"), plain, from, QString()), OpenResult::Opened);
    QCOMPARE(from, idA);
    QCOMPARE(plain, QByteArray("VOICa"));

    // Each copy is sealed under its recipient's key and opens only there.
    const QByteArray copyForB = table.seal(idB, plain);
    QCOMPARE(clientA.open(copyForB, plain), OpenResult::UnknownKey);
    QCOMPARE(clientB.open(copyForB, plain), OpenResult::Opened);

    // A gone client's datagrams and any unknown id cost a look-up and are counted.
    table.remove(idA);
    QVERIFY(table.seal(idA, plain).isEmpty());
    QTest::ignoreMessage(QtWarningMsg,
        QRegularExpression(QStringLiteral("Dropped 1 .* from 192.0.2.1:5: unknown key id")));
    QCOMPARE(table.open(clientA.seal("VOICa"), plain, from, QStringLiteral("192.0.2.1:5")),
        OpenResult::UnknownKey);
    QCOMPARE(table.drops().dropped(OpenResult::UnknownKey), quint64(1));
}

void TestDatagramSeal::clientSealerHoldsEverythingUntilItsKey()
{
    const QHostAddress server(QStringLiteral("192.0.2.1"));
    DatagramChannel serverSide(kKeyId, kKey, DatagramChannel::ServerSide);
    ClientSealer sealer;
    QByteArray plain;
    // Before "UDPKEY": nothing goes out, nothing comes in.
    QVERIFY(sealer.seal(kPlain, server, 4060).isEmpty());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("unknown key id")));
    QVERIFY(!sealer.open(serverSide.seal(kPlain), server, 4060, plain));
    QVERIFY(!sealer.setKey(QStringLiteral("0102030g") + QString::fromLatin1(kKey.toHex())));
    QVERIFY(!sealer.hasKey());

    QVERIFY(sealer.setKey(SealedDatagram::udpKeyArgument(kKeyId, kKey)));
    // Out: sealed towards the server under counters 0, 1, ...
    const QByteArray first = sealer.seal(kPlain, server, 4060);
    QCOMPARE(first, SealedDatagram::seal(kKey, kKeyId, Direction::ClientToServer, 0, kPlain));
    QCOMPARE(serverSide.open(sealer.seal("VOICx", server, 4060), plain), OpenResult::Opened);
    QCOMPARE(plain, QByteArray("VOICx"));
    // In: the server's direction only, each counter once.
    const QByteArray fromServer = serverSide.seal("VOICy");
    QVERIFY(sealer.open(fromServer, server, 4060, plain));
    QCOMPARE(plain, QByteArray("VOICy"));
    QVERIFY(!sealer.open(fromServer, server, 4060, plain));
    QVERIFY(!sealer.open(first, server, 4060, plain));
    QCOMPARE(sealer.drops().dropped(OpenResult::Replayed), quint64(1));
    QCOMPARE(sealer.drops().dropped(OpenResult::Forged), quint64(1));
}

void TestDatagramSeal::dropLogWritesAtMostOneLineASecond_data()
{
    QTest::addColumn<QList<qint64>>("times");
    QTest::addColumn<QList<bool>>("lines");
    QTest::newRow("the first drop is logged at once")
        << QList<qint64> { 5000 } << QList<bool> { true };
    QTest::newRow("a burst gives one line")
        << QList<qint64> { 0, 1, 2, 999 } << QList<bool> { true, false, false, false };
    QTest::newRow("a steady flood gives one line a second") << QList<qint64> { 0, 500, 1000, 1500,
        1999, 2000, 3500 } << QList<bool> { true, false, true, false, false, true, true };
}

void TestDatagramSeal::dropLogWritesAtMostOneLineASecond()
{
    QFETCH(QList<qint64>, times);
    QFETCH(QList<bool>, lines);
    DatagramDropLog log;
    for (int i = 0; i < times.size(); ++i) {
        if (lines.at(i))
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Dropped ")));
        QCOMPARE(
            log.record(OpenResult::Replayed, QStringLiteral("peer"), times.at(i)), lines.at(i));
    }
    QCOMPARE(log.dropped(), quint64(times.size()));
    QCOMPARE(log.dropped(OpenResult::Replayed), quint64(times.size()));
    QCOMPARE(log.dropped(OpenResult::Forged), quint64(0));
}

void TestDatagramSeal::udpKeyArgument_data()
{
    QTest::addColumn<QString>("argument");
    QTest::addColumn<bool>("valid");
    const QString good = QStringLiteral("deadbeef") + QString::fromLatin1(kKey.toHex());
    QTest::newRow("8 and 64 hex digits") << good << true;
    QTest::newRow("capitals are hex digits too") << good.toUpper() << true;
    QTest::newRow("one digit short") << good.left(71) << false;
    QTest::newRow("one digit too many") << good + QLatin1Char('0') << false;
    QTest::newRow("a letter that is no hex digit")
        << QString(good).replace(9, 1, QLatin1Char('g')) << false;
    QTest::newRow("a blank inside") << QString(good).replace(8, 1, QLatin1Char(' ')) << false;
    QTest::newRow("empty") << QString() << false;
}

void TestDatagramSeal::udpKeyArgument()
{
    QFETCH(QString, argument);
    QFETCH(bool, valid);
    quint32 keyId = 7;
    QByteArray key = "unchanged";
    QCOMPARE(SealedDatagram::parseUdpKeyArgument(argument, keyId, key), valid);
    if (valid) {
        QCOMPARE(keyId, quint32(0xdeadbeef));
        QCOMPARE(key, kKey);
        QCOMPARE(SealedDatagram::udpKeyArgument(keyId, key), argument.toLower());
    } else {
        QCOMPARE(keyId, quint32(7));
        QCOMPARE(key, QByteArray("unchanged"));
    }
}

QTEST_GUILESS_MAIN(TestDatagramSeal)
#include "tst_datagramseal.moc"
