#include "mudpsocket.h"

#include <QtTest>
#include <QUdpSocket>

// MUdpSocket against plain QUdpSocket peers on loopback: one frame per
// datagram, and a peer that follows whoever sent last.
class TestMUdpSocket : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void sendersWriteOneDatagram_data();
    void sendersWriteOneDatagram();
    void receivesFrames_data();
    void receivesFrames();
    void shortDatagramIsDroppedAndNextDelivered();
    void peerFollowsTheLastSender();
    void setPeerHostAndPortKeepsTheBoundState();
    void connectToHostAimsTheSocket();
    void alwaysUsable();

private:
    QByteArray receiveOn(
        QUdpSocket* peer, QHostAddress* from = nullptr, quint16* fromPort = nullptr);

    MUdpSocket* m_socket = nullptr;
    QUdpSocket* m_peerA = nullptr;
    QUdpSocket* m_peerB = nullptr;
};

void TestMUdpSocket::init()
{
    m_socket = new MUdpSocket(this);
    QVERIFY(m_socket->bind(QHostAddress(QHostAddress::LocalHost), 0));
    m_peerA = new QUdpSocket(this);
    QVERIFY(m_peerA->bind(QHostAddress(QHostAddress::LocalHost), 0));
    m_peerB = new QUdpSocket(this);
    QVERIFY(m_peerB->bind(QHostAddress(QHostAddress::LocalHost), 0));
}

void TestMUdpSocket::cleanup()
{
    delete m_socket;
    delete m_peerA;
    delete m_peerB;
}

QByteArray TestMUdpSocket::receiveOn(QUdpSocket* peer, QHostAddress* from, quint16* fromPort)
{
    if (!peer->hasPendingDatagrams() && !peer->waitForReadyRead(5000))
        return QByteArray("<nothing arrived>");
    QByteArray datagram(int(peer->pendingDatagramSize()), '\0');
    peer->readDatagram(datagram.data(), datagram.size(), from, fromPort);
    return datagram;
}

void TestMUdpSocket::sendersWriteOneDatagram_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("command") << 0 << QByteArray("COMDIDOCOPY7");
    QTest::newRow("voice of 5 bytes is 13 bytes on the wire")
        << 1 << QByteArray("VOIC") + QByteArray::fromHex("0000002a") + "12345";
    QTest::newRow("text") << 2 << QByteArray("TEXT") + QByteArray::fromHex("00000001") + "ab";
}

void TestMUdpSocket::sendersWriteOneDatagram()
{
    QFETCH(int, which);
    QFETCH(QByteArray, expected);
    m_socket->setPeerHostAndPort(QHostAddress::LocalHost, m_peerA->localPort());
    qint64 sent = -1;
    switch (which) {
    case 0:
        sent = m_socket->ourProtocolSendCommand(QStringLiteral("IDOCOPY7"));
        break;
    case 1:
        sent = m_socket->ourProtocolSendVoice("12345", 42);
        break;
    case 2:
        sent = m_socket->ourProtocolSendText(QStringLiteral("a"), QStringLiteral("b"));
        break;
    }
    QCOMPARE(sent, qint64(expected.size()));
    QCOMPARE(receiveOn(m_peerA), expected);
}

void TestMUdpSocket::receivesFrames_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("bare command tag is an empty command")
        << QByteArray("COMD") << int(CommandData) << QByteArray();
    QTest::newRow("voice") << QByteArray("VOIC\0\0\0\1xyz", 11) << int(VoiceData)
                           << QByteArray("\0\0\0\1xyz", 7);
    QTest::newRow("unknown tag is still delivered")
        << QByteArray("ABCDefg") << int(UnrecognisedData) << QByteArray("efg");
}

void TestMUdpSocket::receivesFrames()
{
    QFETCH(QByteArray, datagram);
    QFETCH(int, type);
    QFETCH(QByteArray, payload);
    QSignalSpy spy(m_socket, &MUdpSocket::packetReceived);
    m_peerA->writeDatagram(datagram, QHostAddress::LocalHost, m_socket->localPort());
    QVERIFY(spy.wait(5000));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).value<MAbstractSocket*>(), static_cast<MAbstractSocket*>(m_socket));
    QCOMPARE(int(spy.at(0).at(1).value<MDataType>()), type);
    QCOMPARE(spy.at(0).at(2).toByteArray(), payload);
}

void TestMUdpSocket::shortDatagramIsDroppedAndNextDelivered()
{
    QSignalSpy spy(m_socket, &MUdpSocket::packetReceived);
    m_peerA->writeDatagram("COM", QHostAddress::LocalHost, m_socket->localPort());
    m_peerA->writeDatagram("", 0, QHostAddress::LocalHost, m_socket->localPort());
    m_peerA->writeDatagram("COMDNEXT", QHostAddress::LocalHost, m_socket->localPort());
    // Loopback keeps one socket's datagrams in order: once the last one is
    // in, anything the short ones could have turned into is in too.
    m_peerA->writeDatagram("COMDLAST", QHostAddress::LocalHost, m_socket->localPort());
    QTRY_VERIFY(!spy.isEmpty() && spy.last().at(2).toByteArray() == "LAST");
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(0).at(2).toByteArray(), QByteArray("NEXT"));
}

void TestMUdpSocket::peerFollowsTheLastSender()
{
    QSignalSpy spy(m_socket, &MUdpSocket::packetReceived);
    m_peerA->writeDatagram("COMDfrom A", QHostAddress::LocalHost, m_socket->localPort());
    QTRY_COMPARE(spy.count(), 1);
    QCOMPARE(m_socket->peerPort(), m_peerA->localPort());
    QCOMPARE(m_socket->PeerIpAndPort(), QStringLiteral("127.0.0.1:%1").arg(m_peerA->localPort()));
    m_socket->ourProtocolSendCommand(QStringLiteral("answer A"));
    QCOMPARE(receiveOn(m_peerA), QByteArray("COMDanswer A"));

    m_peerB->writeDatagram("COMDfrom B", QHostAddress::LocalHost, m_socket->localPort());
    QTRY_COMPARE(spy.count(), 2);
    QCOMPARE(m_socket->peerPort(), m_peerB->localPort());
    m_socket->ourProtocolSendCommand(QStringLiteral("answer B"));
    QCOMPARE(receiveOn(m_peerB), QByteArray("COMDanswer B"));
    // Nothing more for A: a datagram sent to A from the same socket comes first.
    m_socket->writeDatagram(QByteArray("SENTINEL"), QHostAddress::LocalHost, m_peerA->localPort());
    QCOMPARE(receiveOn(m_peerA), QByteArray("SENTINEL"));
}

void TestMUdpSocket::setPeerHostAndPortKeepsTheBoundState()
{
    QCOMPARE(m_socket->state(), QAbstractSocket::BoundState);
    m_socket->setPeerHostAndPort(QHostAddress::LocalHost, m_peerB->localPort());
    QCOMPARE(m_socket->state(), QAbstractSocket::BoundState);
    QCOMPARE(m_socket->ourProtocolSendCommand(QStringLiteral("DOYOUCOPY?3")), qint64(15));
    QHostAddress from;
    quint16 fromPort = 0;
    QCOMPARE(receiveOn(m_peerB, &from, &fromPort), QByteArray("COMDDOYOUCOPY?3"));
    QCOMPARE(fromPort, m_socket->localPort());
    QCOMPARE(m_socket->state(), QAbstractSocket::BoundState);
}

void TestMUdpSocket::connectToHostAimsTheSocket()
{
    MUdpSocket client;
    client.connectToHost(QHostAddress::LocalHost, m_peerA->localPort());
    QTRY_COMPARE(client.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(client.peerPort(), m_peerA->localPort());
    QCOMPARE(client.ourProtocolSendCommand(QStringLiteral("UDPRESPONSE1")), qint64(16));
    QHostAddress from;
    quint16 fromPort = 0;
    QCOMPARE(receiveOn(m_peerA, &from, &fromPort), QByteArray("COMDUDPRESPONSE1"));

    QSignalSpy spy(&client, &MUdpSocket::packetReceived);
    m_peerA->writeDatagram("COMDYOUCOPY", from, fromPort);
    QVERIFY(spy.wait(5000));
    QCOMPARE(spy.at(0).at(2).toByteArray(), QByteArray("YOUCOPY"));
}

void TestMUdpSocket::alwaysUsable()
{
    MUdpSocket fresh;
    QVERIFY(fresh.usable());
    QCOMPARE(fresh.socketType(), 2);
    QCOMPARE(fresh.state(), QAbstractSocket::UnconnectedState);
    QVERIFY(qobject_cast<MAbstractSocket*>(static_cast<QObject*>(&fresh)));
}

QTEST_GUILESS_MAIN(TestMUdpSocket)
#include "tst_mudpsocket.moc"
