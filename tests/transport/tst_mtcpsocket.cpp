#include "mtcpsocket.h"
#include "wireformat.h"

#include <QtTest>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

QByteArray frame(const QByteArray& tag, const QByteArray& payload)
{
    return MAbstractSocket::intToByteArray(quint32(8 + payload.size())) + tag + payload;
}

struct Packet
{
    int type;
    QByteArray data;
};

} // namespace

// MTcpSocket against a plain QTcpSocket peer on loopback: the peer writes
// exact bytes in any split, the packet socket must deliver whole frames.
class TestMTcpSocket : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void sendersWriteExactFrames_data();
    void sendersWriteExactFrames();
    void deliversFramesHoweverSplit_data();
    void deliversFramesHoweverSplit();
    void waitsForTheRestOfAFrame();
    void receiverMayCloseInsideTheSignal();
    void deliversFramesAtTheLengthLimits_data();
    void deliversFramesAtTheLengthLimits();
    void abortsOnImpossibleLength_data();
    void abortsOnImpossibleLength();
    void usableFollowsTheConnection();
    void castsToTheInterface();

private:
    QList<Packet> received() const;
    void writeInPieces(const QByteArray& bytes, int pieceSize);
    bool waitForPackets(int count, int timeoutMs);

    QTcpServer* m_server = nullptr;
    MTcpSocket* m_socket = nullptr;
    QTcpSocket* m_peer = nullptr;
    QSignalSpy* m_spy = nullptr;
};

void TestMTcpSocket::init()
{
    m_server = new QTcpServer(this);
    QVERIFY(m_server->listen(QHostAddress::LocalHost, 0));
    m_socket = new MTcpSocket(this);
    m_spy = new QSignalSpy(m_socket, &MTcpSocket::packetReceived);
    m_socket->connectToHost(QHostAddress::LocalHost, m_server->serverPort());
    QVERIFY(m_server->waitForNewConnection(5000));
    m_peer = m_server->nextPendingConnection();
    QTRY_COMPARE(m_socket->state(), QAbstractSocket::ConnectedState);
}

void TestMTcpSocket::cleanup()
{
    delete m_spy;
    delete m_socket;
    delete m_server;
    m_spy = nullptr;
    m_socket = nullptr;
    m_server = nullptr;
    m_peer = nullptr;
}

QList<Packet> TestMTcpSocket::received() const
{
    QList<Packet> packets;
    for (const QList<QVariant>& arguments : *m_spy) {
        // A packet from any other connection would be a foreign object here.
        const bool fromThisSocket
            = arguments.at(0).value<MAbstractSocket*>() == static_cast<MAbstractSocket*>(m_socket);
        packets.append({ fromThisSocket ? int(arguments.at(1).value<MDataType>()) : -1,
            arguments.at(2).toByteArray() });
    }
    return packets;
}

void TestMTcpSocket::writeInPieces(const QByteArray& bytes, int pieceSize)
{
    for (int offset = 0; offset < bytes.size(); offset += pieceSize) {
        m_peer->write(bytes.mid(offset, pieceSize));
        m_peer->flush();
        // Let each piece arrive on its own so the receiver sees real splits.
        if (pieceSize < bytes.size())
            QTest::qWait(1);
    }
}

// Runs an event loop until `count` packets have arrived. Unlike QTRY_*, which
// sleeps between rounds of events, it moves megabytes through loopback at once.
bool TestMTcpSocket::waitForPackets(int count, int timeoutMs)
{
    QEventLoop loop;
    connect(m_socket, &MTcpSocket::packetReceived, &loop, [&] {
        if (m_spy->count() >= count)
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (m_spy->count() < count)
        loop.exec();
    return m_spy->count() >= count;
}

void TestMTcpSocket::sendersWriteExactFrames_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<qint64>("result");
    QTest::newRow("GETNCLIENTS is a 19-byte frame")
        << 0 << QByteArray::fromHex("00000013") + "COMDGETNCLIENTS" << qint64(19);
    QTest::newRow("text with an empty name")
        << 1 << QByteArray::fromHex("0000000e") + "TEXT" + QByteArray::fromHex("00000000") + "hi"
        << qint64(14);
    QTest::newRow("voice carries its sequence number first")
        << 2 << QByteArray::fromHex("0000000f") + "VOIC" + QByteArray::fromHex("00000007") + "abc"
        << qint64(15);
    QTest::newRow("extra data carries two numbers")
        << 3
        << QByteArray::fromHex("00000012") + "XDTA" + QByteArray::fromHex("0000000500000002") + "zz"
        << qint64(18);
    QTest::newRow("pass-through data has its own tag")
        << 4 << QByteArray::fromHex("0000000b") + "PDTA" + "raw" << qint64(11);
}

void TestMTcpSocket::sendersWriteExactFrames()
{
    QFETCH(int, which);
    QFETCH(QByteArray, expected);
    QFETCH(qint64, result);
    qint64 sent = -1;
    switch (which) {
    case 0:
        sent = m_socket->ourProtocolSendCommand(QStringLiteral("GETNCLIENTS"));
        break;
    case 1:
        sent = m_socket->ourProtocolSendText(QString(), QStringLiteral("hi"));
        break;
    case 2:
        sent = m_socket->ourProtocolSendVoice("abc", 7);
        break;
    case 3:
        sent = m_socket->ourProtocolSendXData("zz", 5, 2);
        break;
    case 4:
        sent = m_socket->ourProtocolSendPData("raw");
        break;
    }
    QCOMPARE(sent, result);
    QByteArray arrived;
    QTRY_VERIFY((arrived += m_peer->readAll()).size() >= expected.size());
    QCOMPARE(arrived, expected);
}

void TestMTcpSocket::deliversFramesHoweverSplit_data()
{
    QTest::addColumn<int>("pieceSize");
    QTest::newRow("byte by byte") << 1;
    QTest::newRow("in threes, splitting length fields") << 3;
    QTest::newRow("all frames in one segment") << 0;
}

void TestMTcpSocket::deliversFramesHoweverSplit()
{
    QFETCH(int, pieceSize);
    const QByteArray stream = frame("COMD", "GETNCLIENTS")
        + frame("TEXT",
            MAbstractSocket::encodeTextPacket(QStringLiteral("Zoë"), QStringLiteral("hello")))
        + frame("ABCD", "kept") + frame("VOIC", QByteArray(300, 'v')) + frame("XDTA", QByteArray());
    writeInPieces(stream, pieceSize > 0 ? pieceSize : stream.size());

    QTRY_COMPARE(m_spy->count(), 5);
    const QList<Packet> packets = received();
    QCOMPARE(packets.at(0).type, int(CommandData));
    QCOMPARE(packets.at(0).data, QByteArray("GETNCLIENTS"));
    QCOMPARE(packets.at(1).type, int(TextData));
    QString name;
    QString message;
    MAbstractSocket::decodeTextPacket(packets.at(1).data, name, message);
    QCOMPARE(name, QStringLiteral("Zoë"));
    QCOMPARE(message, QStringLiteral("hello"));
    QCOMPARE(packets.at(2).type, int(UnrecognisedData));
    QCOMPARE(packets.at(2).data, QByteArray("kept"));
    QCOMPARE(packets.at(3).type, int(VoiceData));
    QCOMPARE(packets.at(3).data, QByteArray(300, 'v'));
    QCOMPARE(packets.at(4).type, int(ExtraData));
    QVERIFY(packets.at(4).data.isEmpty());
}

void TestMTcpSocket::waitsForTheRestOfAFrame()
{
    const QByteArray whole = frame("COMD", "CONNECTED");
    m_peer->write(whole.left(3));
    m_peer->flush();
    QTRY_COMPARE(m_socket->bytesAvailable(), qint64(3));
    QCOMPARE(m_spy->count(), 0);
    m_peer->write(whole.mid(3, 8));
    m_peer->flush();
    QTRY_COMPARE(m_socket->bytesAvailable(), qint64(11));
    QCOMPARE(m_spy->count(), 0);
    m_peer->write(whole.mid(11));
    m_peer->flush();
    QTRY_COMPARE(m_spy->count(), 1);
    QCOMPARE(received().at(0).data, QByteArray("CONNECTED"));
    QCOMPARE(m_socket->bytesAvailable(), qint64(0));
}

void TestMTcpSocket::receiverMayCloseInsideTheSignal()
{
    connect(m_socket, &MTcpSocket::packetReceived, m_socket, [this] { m_socket->close(); });
    // One write, so that both frames come in one read. The peer can see the
    // close only after the socket has returned from that read.
    m_peer->write(frame("COMD", "CLIENTEXIT") + frame("COMD", "NEVER"));
    m_peer->flush();
    QTRY_COMPARE(m_peer->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(m_spy->count(), 1);
    QCOMPARE(received().at(0).data, QByteArray("CLIENTEXIT"));
    QCOMPARE(m_socket->state(), QAbstractSocket::UnconnectedState);
}

void TestMTcpSocket::deliversFramesAtTheLengthLimits_data()
{
    QTest::addColumn<quint32>("length");
    QTest::newRow("the shortest frame, a tag without payload")
        << quint32(WireFormat::kMinTcpFrameLength);
    QTest::newRow("a frame of exactly the largest allowed length")
        << quint32(WireFormat::kMaxTcpFrameLength);
}

void TestMTcpSocket::deliversFramesAtTheLengthLimits()
{
    QFETCH(quint32, length);
    QByteArray payload(int(length) - WireFormat::kTcpHeaderSize, Qt::Uninitialized);
    // A byte pattern that does not repeat every power of two.
    char* bytes = payload.data();
    for (int i = 0; i < payload.size(); ++i)
        bytes[i] = char(i % 251);
    const QByteArray large = frame("PDTA", payload);
    QCOMPARE(quint32(large.size()), length);
    m_peer->write(large + frame("COMD", "AFTER"));
    m_peer->flush();
    QVERIFY(waitForPackets(2, 30000));
    QCOMPARE(m_spy->count(), 2);
    QVERIFY(received().at(0).data == payload);
    QCOMPARE(received().at(1).data, QByteArray("AFTER"));
    QVERIFY(m_socket->usable());
}

void TestMTcpSocket::abortsOnImpossibleLength_data()
{
    QTest::addColumn<QByteArray>("lengthField");
    QTest::newRow("zero") << QByteArray::fromHex("00000000");
    QTest::newRow("seven cannot cover length and tag")
        << MAbstractSocket::intToByteArray(quint32(WireFormat::kMinTcpFrameLength - 1));
    QTest::newRow("one byte past the largest allowed length")
        << MAbstractSocket::intToByteArray(WireFormat::kMaxTcpFrameLength + 1);
    QTest::newRow("four gigabytes") << QByteArray::fromHex("ffffffff");
}

void TestMTcpSocket::abortsOnImpossibleLength()
{
    QFETCH(QByteArray, lengthField);
    QSignalSpy disconnected(m_socket, &QTcpSocket::disconnected);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Bad frame length")));
    m_peer->write(frame("COMD", "FIRST") + lengthField + "COMDxxxxxxxxxxxxxxxxxxxx");
    m_peer->flush();
    QTRY_COMPARE(disconnected.count(), 1);
    QCOMPARE(m_spy->count(), 1);
    QCOMPARE(received().at(0).data, QByteArray("FIRST"));
    QVERIFY(!m_socket->usable());
    // The peer sees the connection go away too.
    QTRY_COMPARE(m_peer->state(), QAbstractSocket::UnconnectedState);
}

void TestMTcpSocket::usableFollowsTheConnection()
{
    QVERIFY(m_socket->usable());
    QCOMPARE(m_socket->socketType(), 1);
    QCOMPARE(m_socket->PeerIpAndPort(), QStringLiteral("127.0.0.1:%1").arg(m_server->serverPort()));
    QCOMPARE(m_socket->LocalIpAndPort(), QStringLiteral("127.0.0.1:%1").arg(m_peer->peerPort()));
    m_peer->close();
    QTRY_VERIFY(!m_socket->usable());

    MTcpSocket connecting;
    QVERIFY(!connecting.usable());
    connecting.connectToHost(QHostAddress::LocalHost, m_server->serverPort());
    QVERIFY(!connecting.usable());
    QCOMPARE(MAbstractSocket::getStateString(connecting.state()), QStringLiteral("Connecting..."));
    QTRY_VERIFY(connecting.usable());
}

void TestMTcpSocket::castsToTheInterface()
{
    QObject* object = m_socket;
    MAbstractSocket* packetSocket = qobject_cast<MAbstractSocket*>(object);
    QVERIFY(packetSocket);
    QCOMPARE(dynamic_cast<MTcpSocket*>(packetSocket), m_socket);
    QVERIFY(object->inherits("MTcpSocket"));
    QCOMPARE(object->qt_metacast("MAbstractSocket"), static_cast<void*>(packetSocket));
}

QTEST_GUILESS_MAIN(TestMTcpSocket)
#include "tst_mtcpsocket.moc"
