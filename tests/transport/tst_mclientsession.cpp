// MClientSession over real loopback sockets: against a scripted server end
// (a plain TCP listener and two UDP sockets, so that every datagram's source
// and target can be checked) and against the real classroom server.

#include "mclientsession.h"
#include "mtcpsocket.h"
#include "mudpsocket.h"
#include "servercli.h"
#include "server.h"
#include "mstudentserver.h"
#include "serversettings.h"
#include "sessioncommands.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <memory>

namespace {

using namespace SessionCommand;

const QHostAddress kLocal(QHostAddress::LocalHost);

// Hands out its connections as packet sockets.
class PacketListener : public QTcpServer
{
public:
    MTcpSocket* nextPacketConnection(int timeoutMs = 5000)
    {
        if (!hasPendingConnections() && !waitForNewConnection(timeoutMs))
            return nullptr;
        return static_cast<MTcpSocket*>(nextPendingConnection());
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = new MTcpSocket(this);
        socket->setSocketDescriptor(descriptor);
        addPendingConnection(socket);
    }
};

// The server's side, scripted: one TCP listener and the UDP socket the
// client is aimed at.
struct ScriptedServer
{
    PacketListener listener;
    MUdpSocket udp;
    QStringList tcpCommands;
    QStringList udpCommands;
    QHostAddress lastUdpSource;
    quint16 lastUdpSourcePort = 0;

    // Accepts the session's TCP connection; its commands go to tcpCommands.
    MTcpSocket* acceptSession(MClientSession& session)
    {
        session.open(kLocal, listener.serverPort(), kLocal, udp.localPort());
        MTcpSocket* end = listener.nextPacketConnection();
        if (!end)
            return nullptr;
        QObject::connect(end, &MTcpSocket::packetReceived,
            [this](MAbstractSocket*, MDataType type, const QByteArray& data) {
                if (type == CommandData)
                    tcpCommands << QString::fromUtf8(data);
            });
        return end;
    }

    bool start()
    {
        if (!listener.listen(kLocal, 0) || !udp.bind(kLocal, 0))
            return false;
        QObject::connect(&udp, &MUdpSocket::packetReceived,
            [this](MAbstractSocket* from, MDataType type, const QByteArray& data) {
                if (type != CommandData)
                    return;
                udpCommands << QString::fromUtf8(data);
                lastUdpSource = from->peerAddress();
                lastUdpSourcePort = from->peerPort();
            });
        return true;
    }
};

} // namespace

class TestMClientSession : public QObject
{
    Q_OBJECT

private slots:
    void handshakeStep_data();
    void handshakeStep();
    void answersEveryStepOfTheServersHandshake();
    void endSaysGoodbyeAndReleasesBothSockets();
    void endingFromItsOwnStateChangeIsSafe();
    void openingAgainEndsTheOldSession();
    void withoutAServerThereIsNoGoodbye();
    void joinsTheClassroomServer();
};

void TestMClientSession::handshakeStep_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("step");
    QTest::addColumn<QString>("argument");

    QTest::newRow("a version answer carries the version")
        << QStringLiteral("PROTOCOLVER1") << int(MClientSession::ProtocolVersion)
        << QStringLiteral("1");
    QTest::newRow("an identification result carries OK or FAIL") << QStringLiteral(
        "IDENTIFY:FAIL") << int(MClientSession::IdentifyResult) << QStringLiteral("FAIL");
    QTest::newRow("a UDP request carries its token")
        << QStringLiteral("UDPREQUEST17") << int(MClientSession::UdpRequest)
        << QStringLiteral("17");
    QTest::newRow("a UDP request without a token is still one")
        << QStringLiteral("UDPREQUEST") << int(MClientSession::UdpRequest) << QString();
    QTest::newRow("the UDP address carries address and port")
        << QStringLiteral("YOURUDPI:P10.0.0.7:5000") << int(MClientSession::UdpAddress)
        << QStringLiteral("10.0.0.7:5000");
    QTest::newRow("a copy probe carries its token")
        << QStringLiteral("DOYOUCOPY?3") << int(MClientSession::CopyProbe) << QStringLiteral("3");
    QTest::newRow("CONNECTED with anything after it still counts") << QStringLiteral(
        "CONNECTED now") << int(MClientSession::Connected) << QStringLiteral(" now");
    QTest::newRow("a client list is not part of the handshake")
        << QStringLiteral("CLLS") << int(MClientSession::NotHandshake) << QString();
    QTest::newRow("keywords are matched case-sensitively")
        << QStringLiteral("udprequest1") << int(MClientSession::NotHandshake) << QString();
    QTest::newRow("IDENTIFY without the colon is what a client sends, not an answer")
        << QStringLiteral("IDENTIFYOK") << int(MClientSession::NotHandshake) << QString();
}

void TestMClientSession::handshakeStep()
{
    QFETCH(QString, command);
    QFETCH(int, step);
    QFETCH(QString, argument);

    QString found;
    QCOMPARE(int(MClientSession::handshakeStep(command, &found)), step);
    QCOMPARE(found, argument);
}

void TestMClientSession::answersEveryStepOfTheServersHandshake()
{
    ScriptedServer server;
    QVERIFY(server.start());
    MClientSession session;
    QObject::connect(&session, &MClientSession::packetReceived,
        [&session](MAbstractSocket* connection, MDataType type, const QByteArray& data) {
            if (type == CommandData)
                session.answerHandshake(connection, QString::fromUtf8(data));
        });
    MTcpSocket* serverEndSocket = server.acceptSession(session);
    QVERIFY(serverEndSocket);
    MTcpSocket& serverEnd = *serverEndSocket;
    const QStringList& received = server.tcpCommands;
    QTRY_VERIFY(session.tcpUsable());

    // Step 1 and 2: the request over TCP is answered over UDP, to the
    // server's UDP end, with the same token.
    serverEnd.ourProtocolSendCommand(kUdpRequest + QStringLiteral("41"));
    QTRY_COMPARE(server.udpCommands, QStringList { QStringLiteral("UDPRESPONSE41") });
    QCOMPARE(server.lastUdpSourcePort, session.udpSocket()->localPort());

    // Step 3 and 4: the address the server saw is acknowledged over TCP.
    serverEnd.ourProtocolSendCommand(
        kYourUdpIpPort + MAbstractSocket::addressText(kLocal, server.lastUdpSourcePort));
    QTRY_COMPARE(received, QStringList { QStringLiteral("UDPI:PBOUND") });

    // Step 5 and 6: the probe is answered with its token to where it came
    // from. (The UDP socket is connected to the server's UDP end, so the
    // system drops datagrams from any other end before they get here.)
    server.udp.setPeerHostAndPort(kLocal, session.udpSocket()->localPort());
    server.udp.ourProtocolSendCommand(kDoYouCopy + QStringLiteral("42"));
    QTRY_COMPARE(server.udpCommands,
        (QStringList { QStringLiteral("UDPRESPONSE41"), QStringLiteral("IDOCOPY42") }));
    QCOMPARE(server.lastUdpSourcePort, session.udpSocket()->localPort());
    QCOMPARE(session.udpSocket()->peerPort(), server.udp.localPort());

    // Over TCP the probe re-aims UDP at the server's TCP end, as the sender
    // of that probe.
    serverEnd.ourProtocolSendCommand(kDoYouCopy + QStringLiteral("43"));
    QTRY_COMPARE(session.udpSocket()->peerPort(), server.listener.serverPort());
}

void TestMClientSession::endSaysGoodbyeAndReleasesBothSockets()
{
    ScriptedServer server;
    QVERIFY(server.start());
    MClientSession session;
    MTcpSocket* serverEndSocket = server.acceptSession(session);
    QVERIFY(serverEndSocket);
    MTcpSocket& serverEnd = *serverEndSocket;
    const QStringList& received = server.tcpCommands;
    QTRY_VERIFY(session.tcpUsable());

    const QPointer<MTcpSocket> tcp = session.tcpSocket();
    const QPointer<MUdpSocket> udp = session.udpSocket();
    QSignalSpy states(&session, &MClientSession::tcpStateChanged);
    QVERIFY(session.end());
    QVERIFY(!session.isOpen());
    QVERIFY(!session.tcpSocket());
    QVERIFY(!session.udpSocket());
    // The owner still hears the socket close.
    QVERIFY(!states.isEmpty());
    QCOMPARE(states.last().first().value<QAbstractSocket::SocketState>(),
        QAbstractSocket::UnconnectedState);

    QTRY_COMPARE(received, QStringList { QStringLiteral("CLIENTEXIT") });
    QTRY_VERIFY(serverEnd.state() == QAbstractSocket::UnconnectedState);
    QTRY_VERIFY(tcp.isNull() && udp.isNull());
    QVERIFY(!session.end());
}

void TestMClientSession::endingFromItsOwnStateChangeIsSafe()
{
    // The student window ends its connection when TCP drops, and at once
    // opens a new one: both from inside the state change that end() causes.
    ScriptedServer server;
    QVERIFY(server.start());
    MClientSession session;
    int reopened = 0;
    QObject::connect(
        &session, &MClientSession::tcpStateChanged, [&](QAbstractSocket::SocketState state) {
            if (state != QAbstractSocket::UnconnectedState || reopened > 0)
                return;
            session.end();
            ++reopened;
            session.open(kLocal, server.listener.serverPort(), kLocal, server.udp.localPort());
        });
    session.open(kLocal, server.listener.serverPort(), kLocal, server.udp.localPort());
    QTRY_VERIFY(session.tcpUsable());
    const QPointer<MTcpSocket> first = session.tcpSocket();

    session.end();
    QCOMPARE(reopened, 1);
    QVERIFY(session.isOpen());
    QVERIFY(session.tcpSocket() != first);
    QTRY_VERIFY(session.tcpUsable());
    QTRY_VERIFY(first.isNull());
}

void TestMClientSession::openingAgainEndsTheOldSession()
{
    ScriptedServer server;
    QVERIFY(server.start());
    MClientSession session;
    QVERIFY(server.acceptSession(session));
    const QStringList& received = server.tcpCommands;
    QTRY_VERIFY(session.tcpUsable());

    session.open(kLocal, server.listener.serverPort(), kLocal, server.udp.localPort());
    QTRY_COMPARE(received, QStringList { QStringLiteral("CLIENTEXIT") });
    QVERIFY(server.listener.nextPacketConnection());
    QTRY_VERIFY(session.tcpUsable());
}

void TestMClientSession::withoutAServerThereIsNoGoodbye()
{
    // A port nobody listens on: taken from a listener that is closed again.
    quint16 deadPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(kLocal, 0));
        deadPort = probe.serverPort();
    }
    MClientSession session;
    QSignalSpy errors(&session, &MClientSession::tcpError);
    session.open(kLocal, deadPort, kLocal, deadPort);
    QTRY_VERIFY(!errors.isEmpty());
    QVERIFY(!session.tcpUsable());
    QCOMPARE(session.queryServerProtocol(), qint64(-1));
    QVERIFY(!session.end());
    QCOMPARE(session.identifySelf(QStringLiteral("x")), qint64(-1));
}

void TestMClientSession::joinsTheClassroomServer()
{
    ServerSettings settings;
    settings.listenAddress = kLocal;
    settings.listenPort = 0;
    settings.udpAddress = kLocal;
    settings.udpPort = 0;
    ServerCLI cli(settings, nullptr);
    QVERIFY(cli.isListening());
    MStudentServer* server = cli.server()->currentStudentServer();

    MClientSession session;
    bool connected = false;
    QObject::connect(
        &session, &MClientSession::tcpStateChanged, [&session](QAbstractSocket::SocketState state) {
            if (state != QAbstractSocket::ConnectedState)
                return;
            session.queryServerProtocol();
            session.identifySelf(session.identityOrLocalEnd(QString()));
        });
    QObject::connect(&session, &MClientSession::packetReceived,
        [&](MAbstractSocket* connection, MDataType type, const QByteArray& data) {
            if (type != CommandData)
                return;
            if (session.answerHandshake(connection, QString::fromUtf8(data))
                == MClientSession::Connected)
                connected = true;
        });
    session.open(kLocal, server->serverPort(), kLocal, server->boundUdpPort());
    QTRY_VERIFY_WITH_TIMEOUT(connected, 15000);
    QTRY_COMPARE(cli.server()->studentClientsInfo().size(), 1);
    // Named after its own TCP end, as an empty identity asks.
    QVERIFY(cli.server()->studentClientsInfo().contains(session.tcpSocket()->LocalIpAndPort()));

    session.end();
    QTRY_COMPARE(cli.server()->studentClientsInfo().size(), 0);
}

QTEST_GUILESS_MAIN(TestMClientSession)
#include "tst_mclientsession.moc"
