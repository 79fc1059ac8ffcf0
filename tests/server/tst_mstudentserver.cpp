#include "classroomclient.h"
#include "clientlimits.h"
#include "clientlist.h"
#include "logcapture.h"
#include "mstudentserver.h"
#include "mtcpsocket.h"
#include "mudpsocket.h"
#include "server.h"
#include "servercli.h"
#include "sessioncommands.h"

#include <memory>

#include <QElapsedTimer>
#include <QPointer>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QtTest>

using namespace SessionCommand;

namespace {

QString cmd(QLatin1String keyword, const QString& argument = QString())
{
    return keyword + argument;
}

QByteArray tcpFrame(quint32 length, const QByteArray& tagAndPayload)
{
    return MAbstractSocket::intToByteArray(length) + tagAndPayload;
}

QByteArray voicePayload(int sequenceNumber, const QByteArray& voice)
{
    return MAbstractSocket::intToByteArray(quint32(sequenceNumber)) + voice;
}

// The number of the client's last UDPREQUEST; empty before the first.
QString requestNumber(const ClassroomClient* client)
{
    return client->lastArgument(kUdpRequest);
}

// The number of the last DOYOUCOPY? the client got over UDP; empty before the first.
QString copyNumber(const ClassroomClient* client)
{
    const QStringList asked = client->commands(true).filter(
        QRegularExpression(QStringLiteral("^") + QRegularExpression::escape(kDoYouCopy)));
    return asked.isEmpty() ? QString() : asked.last().mid(kDoYouCopy.size());
}

} // namespace

char* toString(UdpState state)
{
    return qstrdup(QByteArray::number(int(state)));
}

// The classroom server in this process, its clients real loopback sockets.
class TstMStudentServer : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void handshakeInEitherOrder_data();
    void handshakeInEitherOrder();
    void handshakeNumbersCannotBeGuessed();
    void repeatedOrEmptyUdpResponseIsIgnored();
    void unknownCommandsAreOnlyLogged_data();
    void unknownCommandsAreOnlyLogged();
    void identification_data();
    void identification();
    void firstClientGetsCountAndList();
    void clientListJoinsEntries();
    void sameNamesGiveOneInfoEntry();
    void commandsGoToTheOthers();
    void textGoesToAllUnderTheRecordedName();
    void waitingClientsTextIsNotRelayed();
    void voiceGoesToTheOthersOnly();
    void udpTextProbeMarksEveryCopy();
    void extraDataGoesToTheOthersUnchanged();
    void getNClientsAnswersTheAsker();
    void forSpyStartVoiceTwiceCountsOnce();
    void closeAllClients_data();
    void closeAllClients();
    void uniqueXDataIdsFromTwoClients();
    void unansweredRequestsRemoveTheClient();
    void unansweredCopiesRemoveTheClient();
    void restartDropsClientsAndKeepsIds();
    void endClassClosesAndQuits();

    // Faults the relay mends.
    void departingSpeakerLeavesTheCount_data();
    void departingSpeakerLeavesTheCount();
    void voiceFromStrangersIsDropped();
    void clientNotReadyInTimeIsRemoved();
    void udpBoundOutsideTheCopyStepIsIgnored();
    void copyAnswerCountsOnlyFromTheRecordedEnd();
    void shortPayloadsAreDropped();
    void badFrameCostsOnlyThatClient_data();
    void badFrameCostsOnlyThatClient();

    // What one client can cost the others.
    void forgedNamesListAsOneEntry_data();
    void forgedNamesListAsOneEntry();
    void floodIsBoundedAndOthersStillTalk_data();
    void floodIsBoundedAndOthersStillTalk();
    void clientThatNeverReadsIsDropped();

private:
    void startServer(const ServerSettings& settings = ServerSettings());
    ServerSettings loopbackSettings() const;
    ClassroomClient* connectClient(const QString& name, bool autoHandshake = true);
    // Connects a client and waits until the server made it ready.
    ClassroomClient* joinClient(const QString& name);
    MStudentServer* students() const { return m_server->currentStudentServer(); }
    quint16 tcpPort() const { return students()->serverPort(); }
    quint16 udpPort() const { return students()->boundUdpPort(); }
    QString udpEndText(const ClassroomClient* client) const;
    // The server's records of a client, found by the client's TCP port.
    ReadyClient readyRecordOf(const ClassroomClient* client) const;
    NonReadyClient nonReadyRecordOf(const ClassroomClient* client) const;

    std::unique_ptr<Server> m_server;
    QList<ClassroomClient*> m_clients;
};

void TstMStudentServer::cleanup()
{
    qDeleteAll(m_clients);
    m_clients.clear();
    m_server.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

ServerSettings TstMStudentServer::loopbackSettings() const
{
    ServerSettings settings;
    settings.listenAddress = QHostAddress(QHostAddress::LocalHost);
    settings.listenPort = 0;
    settings.udpAddress = QHostAddress(QHostAddress::LocalHost);
    settings.udpPort = 0;
    return settings;
}

void TstMStudentServer::startServer(const ServerSettings& settings)
{
    m_server = std::make_unique<Server>(settings, nullptr);
    m_server->start();
    QVERIFY(m_server->isListening());
    QVERIFY(udpPort() != 0);
}

ClassroomClient* TstMStudentServer::connectClient(const QString& name, bool autoHandshake)
{
    auto* client = new ClassroomClient(name);
    client->setAutoHandshake(autoHandshake);
    m_clients.append(client);
    const QHostAddress local(QHostAddress::LocalHost);
    client->connectToServer(local, tcpPort(), local, udpPort());
    return client;
}

ClassroomClient* TstMStudentServer::joinClient(const QString& name)
{
    ClassroomClient* client = connectClient(name);
    if (!QTest::qWaitFor([&] { return client->isReady(); }))
        return nullptr;
    // Wait until every ready client has seen the new count and the list that
    // follows it, so that later checks see no stale broadcasts of this admission.
    const int readyCount = students()->readyClientList().size();
    const QString count = QString::number(readyCount);
    const bool seen = QTest::qWaitFor([&] {
        for (const ClassroomClient* other : qAsConst(m_clients)) {
            if (!other->isReady() || !other->isTcpConnected())
                continue;
            const QString list = other->lastArgument(kClientList);
            if (other->lastArgument(kNClients) != count || list.isEmpty()
                || list.split(kListSeparator).size() != readyCount)
                return false;
        }
        return true;
    });
    return seen ? client : nullptr;
}

QString TstMStudentServer::udpEndText(const ClassroomClient* client) const
{
    return QStringLiteral("127.0.0.1:") + QString::number(client->udpSocket()->localPort());
}

ReadyClient TstMStudentServer::readyRecordOf(const ClassroomClient* client) const
{
    for (const ReadyClient& record : students()->readyClientList()) {
        if (record.conn->peerPort() == client->tcpSocket()->localPort())
            return record;
    }
    return ReadyClient();
}

NonReadyClient TstMStudentServer::nonReadyRecordOf(const ClassroomClient* client) const
{
    for (const NonReadyClient& record : students()->nonReadyClientList()) {
        if (static_cast<MTcpSocket*>(record.client)->peerPort() == client->tcpSocket()->localPort())
            return record;
    }
    return NonReadyClient();
}

void TstMStudentServer::handshakeInEitherOrder_data()
{
    QTest::addColumn<bool>("identifyFirst");
    QTest::newRow("identification before the UDP check") << true;
    QTest::newRow("UDP check before the identification") << false;
}

void TstMStudentServer::handshakeInEitherOrder()
{
    QFETCH(bool, identifyFirst);
    startServer(loopbackSettings());
    ClassroomClient* client = connectClient(QStringLiteral("ann"), false);
    QTRY_VERIFY(!requestNumber(client).isEmpty());
    const QString request = requestNumber(client);

    auto identify = [client] {
        client->sendCommand(kGetProtocol);
        client->sendCommand(cmd(kIdentify, QStringLiteral("ann")));
        QTRY_VERIFY(client->commands().contains(cmd(kIdentifyReply, kIdentifyOk)));
        QVERIFY(client->commands().contains(cmd(kProtocolVer, kProtocolVersion)));
    };
    if (identifyFirst)
        identify();

    client->sendUdpCommand(cmd(kUdpResponse, request));
    QTRY_COMPARE(client->lastArgument(kYourUdpIpPort), udpEndText(client));
    client->sendCommand(kUdpIpPortBound);
    QTRY_COMPARE(client->commands(true).size(), 1);
    // The copy step draws a number of its own.
    QVERIFY(copyNumber(client) != request);
    client->sendUdpCommand(cmd(kIDoCopy, copyNumber(client)));

    if (!identifyFirst) {
        QTRY_COMPARE(nonReadyRecordOf(client).udpState, UdpState::Confirmed);
        QVERIFY(!client->commands().contains(kConnected));
        identify();
    }
    QTRY_VERIFY(client->isReady());
    QTRY_COMPARE(students()->readyClientList().size(), 1);
    const ReadyClient ready = readyRecordOf(client);
    QCOMPARE(ready.clientIdName, QStringLiteral("ann"));
    QCOMPARE(MAbstractSocket::addressText(ready.udpAddress, ready.udpPort), udpEndText(client));
    QVERIFY(students()->nonReadyClientList().isEmpty());
}

void TstMStudentServer::handshakeNumbersCannotBeGuessed()
{
    startServer(loopbackSettings());
    QList<ClassroomClient*> waiting;
    for (int i = 0; i < 8; ++i)
        waiting.append(connectClient(QStringLiteral("w%1").arg(i), false));
    QSet<QString> numbers;
    for (ClassroomClient* client : qAsConst(waiting)) {
        QTRY_VERIFY(!requestNumber(client).isEmpty());
        const QString number = requestNumber(client);
        bool decimal = false;
        QVERIFY(number.toInt(&decimal) > 0);
        QVERIFY(decimal);
        numbers.insert(number);
    }
    QCOMPARE(numbers.size(), waiting.size());

    // A stranger answers with the numbers a counter would have handed out;
    // none takes over a waiting client's UDP end.
    ClassroomClient* target = waiting.first();
    MUdpSocket stranger;
    QVERIFY(stranger.bind(QHostAddress(QHostAddress::LocalHost), 0));
    stranger.setPeerHostAndPort(QHostAddress(QHostAddress::LocalHost), udpPort());
    for (int guess = 0; guess <= 64; ++guess)
        stranger.ourProtocolSendCommand(cmd(kUdpResponse, QString::number(guess)));
    // The target's own answer comes after every guess on the same path.
    target->sendUdpCommand(cmd(kUdpResponse, requestNumber(target)));
    QTRY_COMPARE(target->lastArgument(kYourUdpIpPort), udpEndText(target));
    QCOMPARE(target->commands().filter(kYourUdpIpPort).size(), 1);
    for (ClassroomClient* client : qAsConst(waiting)) {
        if (client != target)
            QCOMPARE(nonReadyRecordOf(client).udpState, UdpState::AwaitingResponse);
    }
}

void TstMStudentServer::repeatedOrEmptyUdpResponseIsIgnored()
{
    startServer(loopbackSettings());
    ClassroomClient* client = connectClient(QStringLiteral("a"), false);
    QTRY_VERIFY(!requestNumber(client).isEmpty());
    client->sendUdpCommand(kUdpResponse);
    client->sendUdpCommand(cmd(kUdpResponse, requestNumber(client)));
    client->sendUdpCommand(cmd(kUdpResponse, requestNumber(client)));
    QTRY_VERIFY(!client->lastArgument(kYourUdpIpPort).isEmpty());
    // A TCP round trip after the datagrams: every answer has been handled.
    client->sendCommand(kGetProtocol);
    QTRY_VERIFY(client->commands().contains(cmd(kProtocolVer, kProtocolVersion)));
    int told = 0;
    for (const QString& command : client->commands())
        told += command.startsWith(kYourUdpIpPort) ? 1 : 0;
    QCOMPARE(told, 1);
    QCOMPARE(nonReadyRecordOf(client).udpState, UdpState::AwaitingCopy);
}

void TstMStudentServer::unknownCommandsAreOnlyLogged_data()
{
    QTest::addColumn<bool>("overUdp");
    QTest::addColumn<QString>("command");
    QTest::newRow("GETPROTOCOL followed by a blank from a waiting client")
        << false << cmd(kGetProtocol, QStringLiteral(" "));
    QTest::newRow("a datagram that is neither handshake answer")
        << true << QString(kUdpIpPortBound);
}

void TstMStudentServer::unknownCommandsAreOnlyLogged()
{
    QFETCH(bool, overUdp);
    QFETCH(QString, command);
    LogCapture log;
    startServer(loopbackSettings());
    ClassroomClient* client = connectClient(QStringLiteral("a"), false);
    QTRY_VERIFY(!requestNumber(client).isEmpty());
    if (overUdp)
        client->sendUdpCommand(command);
    else
        client->sendCommand(command);
    // The keyword item is plain text, the command a quoted string.
    const QString unknown = QStringLiteral("SERVER:  Unknown Command:  \"%1\"").arg(command);
    QTRY_VERIFY(log.lines().contains(unknown));

    client->sendCommand(kGetProtocol);
    QTRY_VERIFY(client->commands().contains(cmd(kProtocolVer, kProtocolVersion)));
    QCOMPARE(client->commands(),
        (QStringList {
            cmd(kUdpRequest, requestNumber(client)), cmd(kProtocolVer, kProtocolVersion) }));
    QVERIFY(client->commands(true).isEmpty());
    QCOMPARE(nonReadyRecordOf(client).udpState, UdpState::AwaitingResponse);
}

void TstMStudentServer::identification_data()
{
    QTest::addColumn<bool>("restrict");
    QTest::addColumn<QString>("firstName");
    QTest::addColumn<bool>("firstReady");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("an empty name is accepted") << false << QString() << false << QString() << true;
    QTest::newRow("a duplicate name is accepted without restriction")
        << false << QStringLiteral("ann") << true << QStringLiteral("ann") << true;
    QTest::newRow("an allowed name is accepted")
        << true << QString() << false << QStringLiteral("Ann") << true;
    QTest::newRow("a name in other letter case is refused")
        << true << QString() << false << QStringLiteral("ann") << false;
    QTest::newRow("a name in use by a ready client is refused")
        << true << QStringLiteral("Ann") << true << QStringLiteral("Ann") << false;
    QTest::newRow("a name of a client not yet ready is accepted")
        << true << QStringLiteral("Ann") << false << QStringLiteral("Ann") << true;
}

void TstMStudentServer::identification()
{
    QFETCH(bool, restrict);
    QFETCH(QString, firstName);
    QFETCH(bool, firstReady);
    QFETCH(QString, name);
    QFETCH(bool, accepted);

    ServerSettings settings = loopbackSettings();
    settings.restrictNames = restrict;
    settings.allowedNames = QStringList { QStringLiteral("Ann"), QStringLiteral("Bo") };
    startServer(settings);

    if (firstReady) {
        QVERIFY(joinClient(firstName));
    } else if (!firstName.isEmpty()) {
        ClassroomClient* first = connectClient(firstName, false);
        QTRY_VERIFY(first->isTcpConnected());
        first->sendCommand(cmd(kIdentify, firstName));
        QTRY_VERIFY(first->commands().contains(cmd(kIdentifyReply, kIdentifyOk)));
    }

    ClassroomClient* client = connectClient(name);
    const QString expected = cmd(kIdentifyReply, accepted ? kIdentifyOk : kIdentifyFail);
    QTRY_VERIFY(client->commands().contains(expected));
    if (accepted) {
        QTRY_VERIFY(client->isReady());
        QCOMPARE(readyRecordOf(client).clientIdName, name);
    } else {
        // Refused, yet still connected and free to identify again.
        QTRY_COMPARE(nonReadyRecordOf(client).udpState, UdpState::Confirmed);
        QVERIFY(client->isTcpConnected());
        QVERIFY(!client->isReady());
        client->sendCommand(cmd(kIdentify, QStringLiteral("Bo")));
        QTRY_VERIFY(client->isReady());
    }
}

void TstMStudentServer::firstClientGetsCountAndList()
{
    startServer(loopbackSettings());
    ClassroomClient* client = joinClient(QStringLiteral("ann"));
    QVERIFY(client);
    const QString entry = client->tcpSocket()->LocalIpAndPort() + QLatin1Char('\\')
        + udpEndText(client) + QStringLiteral("\\ann");
    QTRY_COMPARE(client->commands().mid(client->commands().indexOf(kConnected) + 1),
        (QStringList { cmd(kNClients, QStringLiteral("1")), cmd(kClientList, entry) }));
}

void TstMStudentServer::clientListJoinsEntries()
{
    startServer(loopbackSettings());
    ClassroomClient* ann = joinClient(QStringLiteral("ann"));
    ClassroomClient* nameless = joinClient(QString());
    QVERIFY(ann && nameless);
    const QString annEntry = ann->tcpSocket()->LocalIpAndPort() + QLatin1Char('\\')
        + udpEndText(ann) + QStringLiteral("\\ann");
    const QString namelessEntry = nameless->tcpSocket()->LocalIpAndPort() + QLatin1Char('\\')
        + udpEndText(nameless) + QLatin1Char('\\');
    const QStringList allowed { cmd(kClientList, annEntry + QLatin1Char('|') + namelessEntry),
        cmd(kClientList, namelessEntry + QLatin1Char('|') + annEntry) };
    QTRY_VERIFY(allowed.contains(ann->lastArgument(kClientList).prepend(kClientList)));
    QTRY_COMPARE(ann->lastArgument(kNClients), QStringLiteral("2"));

    // When everybody has gone the list is the bare keyword.
    nameless->exitClass();
    ann->exitClass();
    QTRY_VERIFY(students()->readyClientList().isEmpty());
}

void TstMStudentServer::sameNamesGiveOneInfoEntry()
{
    LogCapture log;
    ServerCLI cli(loopbackSettings(), nullptr);
    QVERIFY(cli.isListening());
    MStudentServer* server = cli.server()->currentStudentServer();
    const QHostAddress local(QHostAddress::LocalHost);
    for (int i = 0; i < 2; ++i) {
        auto* client = new ClassroomClient(QStringLiteral("twin"));
        m_clients.append(client);
        client->connectToServer(local, server->serverPort(), local, server->boundUdpPort());
        QTRY_VERIFY(client->isReady());
    }
    QTRY_COMPARE(server->readyClientList().size(), 2);
    QCOMPARE(cli.server()->studentClientsInfo().size(), 1);

    // The change is logged with the gathered client list, after both joined.
    int header = -1;
    QTRY_VERIFY([&] {
        const QStringList lines = log.lines();
        header = -1;
        for (int i = 0; i < lines.size(); ++i) {
            if (lines.at(i).contains(QStringLiteral("Students Changed: =====")))
                header = i;
        }
        return header >= 0 && lines.size() > header + 2
            && lines.at(header + 2).endsWith(QStringLiteral("====="));
    }());
    const QStringList lines = log.lines();
    QVERIFY(lines.value(header + 1).contains(QStringLiteral("twin (127.0.0.1:")));
    QVERIFY(lines.value(header + 2).endsWith(QStringLiteral("=====")));
    QCOMPARE(log.count(QStringLiteral("Servers Listening...")), 1);
}

void TstMStudentServer::commandsGoToTheOthers()
{
    startServer(loopbackSettings());
    ClassroomClient* a = joinClient(QStringLiteral("a"));
    ClassroomClient* b = joinClient(QStringLiteral("b"));
    ClassroomClient* c = joinClient(QStringLiteral("c"));
    QVERIFY(a && b && c);
    a->sendCommand(kStartVoice);
    QTRY_VERIFY(b->commands().contains(kStartVoice));
    QTRY_VERIFY(c->commands().contains(kStartVoice));
    b->sendCommand(kStopVoice);
    QTRY_VERIFY(a->commands().contains(kStopVoice));
    QVERIFY(!a->commands().contains(kStartVoice));
    QVERIFY(!b->commands().contains(kStopVoice));
}

void TstMStudentServer::textGoesToAllUnderTheRecordedName()
{
    startServer(loopbackSettings());
    ClassroomClient* a = joinClient(QStringLiteral("ann"));
    ClassroomClient* b = joinClient(QStringLiteral("bo"));
    QVERIFY(a && b);
    a->sendText(QStringLiteral("Mallory"), QStringLiteral("héllo"));
    const QByteArray expected
        = MAbstractSocket::encodeTextPacket(QStringLiteral("ann"), QStringLiteral("héllo"));
    QTRY_COMPARE(a->payloads(TextData, false), QList<QByteArray> { expected });
    QTRY_COMPARE(b->payloads(TextData, false), QList<QByteArray> { expected });
}

void TstMStudentServer::waitingClientsTextIsNotRelayed()
{
    startServer(loopbackSettings());
    ClassroomClient* member = joinClient(QStringLiteral("ann"));
    QVERIFY(member);
    // Identified, yet not ready: it has no say yet.
    ClassroomClient* waiting = connectClient(QStringLiteral("eve"), false);
    QTRY_VERIFY(!waiting->commands().isEmpty());
    waiting->sendCommand(cmd(kIdentify, QStringLiteral("eve")));
    waiting->sendText(QStringLiteral("ann"), QStringLiteral("forged"));
    // A round trip after the text: the server has handled it.
    waiting->sendCommand(kGetProtocol);
    QTRY_VERIFY(waiting->commands().contains(cmd(kProtocolVer, kProtocolVersion)));
    QVERIFY(waiting->commands().contains(cmd(kIdentifyReply, kIdentifyOk)));

    // A text from the member afterwards arrives alone, on both sides.
    member->sendText(QString(), QStringLiteral("real"));
    const QByteArray real
        = MAbstractSocket::encodeTextPacket(QStringLiteral("ann"), QStringLiteral("real"));
    QTRY_COMPARE(member->payloads(TextData, false), QList<QByteArray> { real });
    QVERIFY(waiting->payloads(TextData, false).isEmpty());
}

void TstMStudentServer::voiceGoesToTheOthersOnly()
{
    startServer(loopbackSettings());
    ClassroomClient* a = joinClient(QStringLiteral("a"));
    ClassroomClient* b = joinClient(QStringLiteral("b"));
    ClassroomClient* c = joinClient(QStringLiteral("c"));
    QVERIFY(a && b && c);
    const QByteArray voice("opus-bytes-\x01\x02", 13);
    a->sendVoice(voice, 77);
    QTRY_COMPARE(b->payloads(VoiceData, true), QList<QByteArray> { voicePayload(77, voice) });
    QTRY_COMPARE(c->payloads(VoiceData, true), QList<QByteArray> { voicePayload(77, voice) });
    // b's answer reaches a on the same path after anything a might have got.
    b->sendVoice("x", 1);
    QTRY_COMPARE(a->payloads(VoiceData, true), QList<QByteArray> { voicePayload(1, "x") });
}

void TstMStudentServer::udpTextProbeMarksEveryCopy()
{
    ServerSettings settings = loopbackSettings();
    settings.udpTextProbe = true;
    startServer(settings);
    ClassroomClient* a = joinClient(QStringLiteral("ann"));
    ClassroomClient* b = joinClient(QStringLiteral("bo"));
    QVERIFY(a && b);
    auto text = [](const QString& name, const char* message) {
        return MAbstractSocket::encodeTextPacket(name, QString::fromUtf8(message));
    };

    // Over TCP: the message and its "[ST-UDP] " copy, each also sent over UDP.
    a->sendText(QStringLiteral("x"), QStringLiteral("hi"));
    QTRY_COMPARE(b->payloads(TextData, false),
        (QList<QByteArray> {
            text(QStringLiteral("ann"), "hi"), text(QStringLiteral("ann"), "[ST-UDP] hi") }));
    QTRY_COMPARE(b->payloads(TextData, true),
        (QList<QByteArray> { text(QStringLiteral("ann"), "[SC-UDP] hi"),
            text(QStringLiteral("ann"), "[SC-UDP] [ST-UDP] hi") }));

    // Over UDP: confirmed by the server, keeping the name the sender gave.
    b->clearReceived();
    b->udpSocket()->setPeerHostAndPort(QHostAddress(QHostAddress::LocalHost), udpPort());
    b->udpSocket()->ourProtocolSendText(QStringLiteral("udp"), QStringLiteral("ping"));
    QTRY_VERIFY(b->payloads(TextData, false)
                    .contains(text(QStringLiteral("udp"), "[Server Confirms Udp] ping")));
}

void TstMStudentServer::extraDataGoesToTheOthersUnchanged()
{
    startServer(loopbackSettings());
    ClassroomClient* a = joinClient(QStringLiteral("a"));
    ClassroomClient* b = joinClient(QStringLiteral("b"));
    QVERIFY(a && b);
    const QByteArray chunk(70000, 'z');
    a->sendXData(chunk, 5, 9);
    const QByteArray expected
        = MAbstractSocket::intToByteArray(5) + MAbstractSocket::intToByteArray(9) + chunk;
    QTRY_COMPARE(b->payloads(ExtraData, false).size(), 1);
    QVERIFY(b->payloads(ExtraData, false).first() == expected);
    b->sendXData("back", 1, 1);
    QTRY_COMPARE(a->payloads(ExtraData, false).size(), 1);
    QVERIFY(b->payloads(ExtraData, false).size() == 1);
}

void TstMStudentServer::getNClientsAnswersTheAsker()
{
    startServer(loopbackSettings());
    ClassroomClient* a = joinClient(QStringLiteral("a"));
    ClassroomClient* b = joinClient(QStringLiteral("b"));
    QVERIFY(a && b);
    b->sendCommand(cmd(kForSpyStartVoice, QStringLiteral("b")));
    // The count goes to both; wait for both copies before clearing.
    QTRY_COMPARE(a->lastArgument(kNSpeakingClients), QStringLiteral("1"));
    QTRY_COMPARE(b->lastArgument(kNSpeakingClients), QStringLiteral("1"));
    a->clearReceived();
    b->clearReceived();
    a->sendCommand(kGetNClients);
    QTRY_COMPARE(a->commands(),
        (QStringList {
            cmd(kNClients, QStringLiteral("2")), cmd(kNSpeakingClients, QStringLiteral("1")) }));
    b->sendCommand(kGetNClients);
    QTRY_COMPARE(b->commands().size(), 2);
    QCOMPARE(a->commands().size(), 2);
}

void TstMStudentServer::forSpyStartVoiceTwiceCountsOnce()
{
    startServer(loopbackSettings());
    ClassroomClient* a = joinClient(QStringLiteral("a"));
    ClassroomClient* b = joinClient(QStringLiteral("b"));
    QVERIFY(a && b);
    a->clearReceived();
    b->sendCommand(cmd(kForSpyStartVoice, QStringLiteral("b")));
    b->sendCommand(cmd(kForSpyStartVoice, QStringLiteral("b")));
    const QString one = cmd(kNSpeakingClients, QStringLiteral("1"));
    QTRY_COMPARE(a->commands(), (QStringList { one, one }));
    QCOMPARE(m_server->speakerCount(), 1);
    b->sendCommand(cmd(kForSpyStopVoice, QStringLiteral("b")));
    QTRY_COMPARE(a->lastArgument(kNSpeakingClients), QStringLiteral("0"));
}

void TstMStudentServer::closeAllClients_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QStringList>("remaining");

    // The sender is always the first client.
    QTest::newRow("named clients go, the sender stays although named") << QStringList {
        QStringLiteral("x"), QStringLiteral("x"), QStringLiteral("y"), QStringLiteral("w")
    } << QStringLiteral("x|y") << QStringList { QStringLiteral("x"), QStringLiteral("w") };
    QTest::newRow("nothing after the keyword removes the nameless")
        << QStringList { QStringLiteral("t"), QString(), QStringLiteral("w") } << QString()
        << QStringList { QStringLiteral("t"), QStringLiteral("w") };
    QTest::newRow("names match exactly")
        << QStringList { QStringLiteral("t"), QStringLiteral("X") } << QStringLiteral("x")
        << QStringList { QStringLiteral("t"), QStringLiteral("X") };
}

void TstMStudentServer::closeAllClients()
{
    QFETCH(QStringList, names);
    QFETCH(QString, argument);
    QFETCH(QStringList, remaining);
    LogCapture log;
    startServer(loopbackSettings());
    QList<ClassroomClient*> clients;
    for (const QString& name : qAsConst(names)) {
        clients.append(joinClient(name));
        QVERIFY(clients.last());
    }
    clients.first()->sendCommand(cmd(kCloseAllClients, argument));
    // The command is logged, then what follows its keyword; the removals
    // follow in the same call.
    const QString received
        = QStringLiteral("SERVER recieve:  \"%1\"").arg(cmd(kCloseAllClients, argument));
    QTRY_VERIFY(log.lines().contains(received));
    const QStringList lines = log.lines();
    QCOMPARE(lines.value(lines.indexOf(received) + 1), QStringLiteral("\"%1\"").arg(argument));

    QTRY_COMPARE(clients.first()->lastArgument(kNClients), QString::number(remaining.size()));
    QStringList left;
    for (const ReadyClient& client : students()->readyClientList())
        left.append(client.clientIdName);
    left.sort();
    remaining.sort();
    QCOMPARE(left, remaining);
    for (ClassroomClient* client : qAsConst(clients)) {
        if (!readyRecordOf(client).conn)
            QTRY_VERIFY(!client->isTcpConnected());
    }
    QVERIFY(clients.first()->isTcpConnected());
}

void TstMStudentServer::uniqueXDataIdsFromTwoClients()
{
    startServer(loopbackSettings());
    ClassroomClient* a = joinClient(QStringLiteral("a"));
    ClassroomClient* b = joinClient(QStringLiteral("b"));
    QVERIFY(a && b);
    a->sendCommand(kGetUniqueXDataId);
    QTRY_COMPARE(a->lastArgument(kXDataId), QStringLiteral("1"));
    b->sendCommand(kGetUniqueXDataId);
    QTRY_COMPARE(b->lastArgument(kXDataId), QStringLiteral("2"));
    QVERIFY(a->lastArgument(kXDataId) == QStringLiteral("1"));
}

void TstMStudentServer::unansweredRequestsRemoveTheClient()
{
    ServerSettings settings = loopbackSettings();
    settings.handshakeIntervalMs = 10;
    settings.admissionDeadlineMs = 60000;
    startServer(settings);
    ClassroomClient* client = connectClient(QStringLiteral("mute"), false);
    QSignalSpy gone(client, &ClassroomClient::tcpDisconnected);
    QTRY_VERIFY(nonReadyRecordOf(client).client);
    QPointer<QObject> conn = nonReadyRecordOf(client).client;
    QList<QPointer<QTimer>> timers;
    for (QTimer* timer : conn->findChildren<QTimer*>())
        timers << timer;
    QVERIFY(timers.size() >= 2);
    QTRY_COMPARE_WITH_TIMEOUT(gone.count(), 1, 10000);
    // Every request of the step repeats the same number.
    QCOMPARE(client->commands().count(cmd(kUdpRequest, requestNumber(client))),
        MStudentServer::kMaxHandshakeMessages);
    QVERIFY(students()->nonReadyClientList().isEmpty());
    // Its step and deadline timers went with its socket.
    QTRY_VERIFY(!conn);
    for (const QPointer<QTimer>& timer : qAsConst(timers))
        QVERIFY(!timer);
}

void TstMStudentServer::unansweredCopiesRemoveTheClient()
{
    ServerSettings settings = loopbackSettings();
    settings.handshakeIntervalMs = 10;
    settings.admissionDeadlineMs = 60000;
    startServer(settings);
    ClassroomClient* client = connectClient(QStringLiteral("deaf"), false);
    QSignalSpy gone(client, &ClassroomClient::tcpDisconnected);
    QTRY_VERIFY(!requestNumber(client).isEmpty());
    client->sendUdpCommand(cmd(kUdpResponse, requestNumber(client)));
    QTRY_VERIFY(!client->lastArgument(kYourUdpIpPort).isEmpty());
    client->sendCommand(kUdpIpPortBound);
    QTRY_COMPARE_WITH_TIMEOUT(gone.count(), 1, 10000);
    QTRY_COMPARE(client->commands(true).count(cmd(kDoYouCopy, copyNumber(client))),
        MStudentServer::kMaxHandshakeMessages);
}

void TstMStudentServer::restartDropsClientsAndKeepsIds()
{
    startServer(loopbackSettings());
    QStringList events;
    QObject scope; // ends the recording connections with this function
    connect(m_server.get(), &Server::serversClosed, &scope,
        [&events] { events.append(QStringLiteral("closed")); });
    connect(m_server.get(), &Server::serversConnected, &scope,
        [&events] { events.append(QStringLiteral("connected")); });
    ClassroomClient* a = joinClient(QStringLiteral("a"));
    QVERIFY(a);
    ClassroomClient* waiting = connectClient(QStringLiteral("w"), false);
    QTRY_VERIFY(!waiting->commands().isEmpty());
    a->sendCommand(kGetUniqueXDataId);
    QTRY_COMPARE(a->lastArgument(kXDataId), QStringLiteral("1"));

    m_server->start();
    QCOMPARE(events, (QStringList { QStringLiteral("closed"), QStringLiteral("connected") }));
    QTRY_VERIFY(!a->isTcpConnected());
    QTRY_VERIFY(!waiting->isTcpConnected());

    ClassroomClient* b = joinClient(QStringLiteral("b"));
    QVERIFY(b);
    b->sendCommand(kGetUniqueXDataId);
    QTRY_COMPARE(b->lastArgument(kXDataId), QStringLiteral("2"));
}

void TstMStudentServer::endClassClosesAndQuits()
{
    startServer(loopbackSettings());
    ClassroomClient* a = joinClient(QStringLiteral("a"));
    QVERIFY(a);
    QStringList events;
    QObject scope; // ends the recording connections with this function
    connect(m_server.get(), &Server::serversClosed, &scope,
        [&events] { events.append(QStringLiteral("closed")); });
    connect(m_server.get(), &Server::quitServer, &scope,
        [&events] { events.append(QStringLiteral("quit")); });
    m_server->endClass();
    QCOMPARE(events, (QStringList { QStringLiteral("closed"), QStringLiteral("quit") }));
    QVERIFY(!m_server->isListening());
    QTRY_VERIFY(!a->isTcpConnected());
}

void TstMStudentServer::departingSpeakerLeavesTheCount_data()
{
    QTest::addColumn<int>("how");
    QTest::newRow("a speaker whose connection drops") << 0;
    QTest::newRow("a speaker that sends CLIENTEXIT") << 1;
    QTest::newRow("a speaker closed by CLOSEALLCLIENTS") << 2;
}

void TstMStudentServer::departingSpeakerLeavesTheCount()
{
    QFETCH(int, how);
    startServer(loopbackSettings());
    ClassroomClient* speaker = joinClient(QStringLiteral("speaker"));
    ClassroomClient* listener = joinClient(QStringLiteral("listener"));
    QVERIFY(speaker && listener);
    speaker->sendCommand(cmd(kForSpyStartVoice, QStringLiteral("speaker")));
    QTRY_COMPARE(listener->lastArgument(kNSpeakingClients), QStringLiteral("1"));

    switch (how) {
    case 0:
        speaker->tcpSocket()->abort();
        break;
    case 1:
        speaker->exitClass();
        break;
    default:
        listener->sendCommand(cmd(kCloseAllClients, QStringLiteral("speaker")));
        break;
    }
    QTRY_COMPARE(listener->lastArgument(kNSpeakingClients), QStringLiteral("0"));
    QCOMPARE(m_server->speakerCount(), 0);
    listener->clearReceived();
    listener->sendCommand(kGetNClients);
    QTRY_COMPARE(listener->commands(),
        (QStringList {
            cmd(kNClients, QStringLiteral("1")), cmd(kNSpeakingClients, QStringLiteral("0")) }));
}

void TstMStudentServer::voiceFromStrangersIsDropped()
{
    startServer(loopbackSettings());
    ClassroomClient* a = joinClient(QStringLiteral("a"));
    ClassroomClient* b = joinClient(QStringLiteral("b"));
    QVERIFY(a && b);

    MUdpSocket stranger;
    QVERIFY(stranger.bind(QHostAddress(QHostAddress::LocalHost), 0));
    stranger.setPeerHostAndPort(QHostAddress(QHostAddress::LocalHost), udpPort());
    stranger.ourProtocolSendVoice("intruder", 1);
    stranger.ourProtocolSendVoice("intruder", 2);

    // A client half-way through the handshake has a known UDP end, but is not ready.
    ClassroomClient* pending = connectClient(QStringLiteral("p"), false);
    QTRY_VERIFY(!pending->lastArgument(kUdpRequest).isEmpty());
    pending->sendUdpCommand(cmd(kUdpResponse, pending->lastArgument(kUdpRequest)));
    QTRY_VERIFY(!pending->lastArgument(kYourUdpIpPort).isEmpty());
    pending->sendVoice("early", 1);

    a->sendVoice("member", 5);
    QTRY_COMPARE(b->payloads(VoiceData, true), QList<QByteArray> { voicePayload(5, "member") });
    b->sendVoice("reply", 6);
    QTRY_COMPARE(a->payloads(VoiceData, true), QList<QByteArray> { voicePayload(6, "reply") });
    QVERIFY(pending->payloads(VoiceData, true).isEmpty());
}

void TstMStudentServer::clientNotReadyInTimeIsRemoved()
{
    ServerSettings settings = loopbackSettings();
    // The admission deadline (20 intervals, 3 s) runs from the connection on
    // and must outlast the steps below: about 0.1 s, up to 1 s on a starved
    // machine. With 20 ms intervals (0.4 s) a busy machine removed the client
    // before the copy step and the test failed.
    settings.handshakeIntervalMs = 150;
    startServer(settings);
    ClassroomClient* client = connectClient(QStringLiteral("shy"), false);
    QSignalSpy gone(client, &ClassroomClient::tcpDisconnected);
    QTRY_VERIFY(!requestNumber(client).isEmpty());
    client->sendUdpCommand(cmd(kUdpResponse, requestNumber(client)));
    QTRY_VERIFY(!client->lastArgument(kYourUdpIpPort).isEmpty());
    client->sendCommand(kUdpIpPortBound);
    QTRY_VERIFY(!client->commands(true).isEmpty());
    client->sendUdpCommand(client->commands(true).first().replace(kDoYouCopy, kIDoCopy));
    QTRY_COMPARE(nonReadyRecordOf(client).udpState, UdpState::Confirmed);
    // UDP confirmed, never identified: no step timer runs any more, yet the
    // admission ends.
    QTRY_COMPARE_WITH_TIMEOUT(gone.count(), 1, 10000);
    QVERIFY(students()->nonReadyClientList().isEmpty());
    QVERIFY(!client->isReady());
}

void TstMStudentServer::udpBoundOutsideTheCopyStepIsIgnored()
{
    startServer(loopbackSettings());
    ClassroomClient* client = connectClient(QStringLiteral("eager"), false);
    QTRY_VERIFY(!requestNumber(client).isEmpty());
    client->sendCommand(kUdpIpPortBound);
    client->sendCommand(kGetProtocol);
    QTRY_VERIFY(client->commands().contains(cmd(kProtocolVer, kProtocolVersion)));

    client->sendUdpCommand(cmd(kUdpResponse, requestNumber(client)));
    QTRY_VERIFY(!client->lastArgument(kYourUdpIpPort).isEmpty());
    client->sendCommand(kUdpIpPortBound);
    // The premature UDPI:PBOUND did not probe: one DOYOUCOPY? only.
    QTRY_COMPARE(client->commands(true).size(), 1);
    client->sendUdpCommand(cmd(kIDoCopy, copyNumber(client)));
    QTRY_COMPARE(nonReadyRecordOf(client).udpState, UdpState::Confirmed);

    client->sendCommand(kUdpIpPortBound);
    client->clearReceived();
    client->sendCommand(kGetProtocol);
    QTRY_VERIFY(client->commands().contains(cmd(kProtocolVer, kProtocolVersion)));
    const NonReadyClient record = nonReadyRecordOf(client);
    QCOMPARE(record.udpState, UdpState::Confirmed);
    // No step runs: the stray UDPI:PBOUND started none.
    QCOMPARE(record.retryCount, 0);
    client->sendCommand(cmd(kIdentify, QStringLiteral("eager")));
    QTRY_VERIFY(client->isReady());
    QVERIFY(client->commands(true).isEmpty());
}

void TstMStudentServer::copyAnswerCountsOnlyFromTheRecordedEnd()
{
    LogCapture log;
    startServer(loopbackSettings());
    ClassroomClient* client = connectClient(QStringLiteral("ann"), false);
    QTRY_VERIFY(!requestNumber(client).isEmpty());
    client->sendCommand(cmd(kIdentify, QStringLiteral("ann")));
    client->sendUdpCommand(cmd(kUdpResponse, requestNumber(client)));
    QTRY_VERIFY(!client->lastArgument(kYourUdpIpPort).isEmpty());
    client->sendCommand(kUdpIpPortBound);
    QTRY_COMPARE(client->commands(true).size(), 1);
    const QString number = copyNumber(client);

    // Another end of the same host learnt the number and answers first.
    MUdpSocket stranger;
    QVERIFY(stranger.bind(QHostAddress(QHostAddress::LocalHost), 0));
    stranger.setPeerHostAndPort(QHostAddress(QHostAddress::LocalHost), udpPort());
    stranger.ourProtocolSendCommand(cmd(kIDoCopy, number));
    const QString ignored
        = QStringLiteral("SERVER:  Copy answer ignored, it came from \"127.0.0.1:%1\" and not from "
                         "\"%2\"")
              .arg(stranger.localPort())
              .arg(udpEndText(client));
    QTRY_VERIFY(log.lines().contains(ignored));
    QCOMPARE(nonReadyRecordOf(client).udpState, UdpState::AwaitingCopy);
    QVERIFY(!client->commands().contains(kConnected));

    // The client's own answer still counts: the foreign one used up nothing.
    client->sendUdpCommand(cmd(kIDoCopy, number));
    QTRY_VERIFY(client->isReady());
    QCOMPARE(MAbstractSocket::addressText(
                 readyRecordOf(client).udpAddress, readyRecordOf(client).udpPort),
        udpEndText(client));
}

void TstMStudentServer::shortPayloadsAreDropped()
{
    startServer(loopbackSettings());
    ClassroomClient* a = joinClient(QStringLiteral("a"));
    ClassroomClient* b = joinClient(QStringLiteral("b"));
    QVERIFY(a && b);

    a->sendRawTcp(tcpFrame(12, QByteArray("XDTA\0\0\0\1", 8)));
    a->sendXData("whole", 1, 2);
    QTRY_COMPARE(b->payloads(ExtraData, false).size(), 1);
    QCOMPARE(b->payloads(ExtraData, false).first().mid(8), QByteArray("whole"));

    a->sendRawUdp(QByteArray("VOIC\0\1", 6));
    a->sendVoice("voice", 3);
    QTRY_COMPARE(b->payloads(VoiceData, true), QList<QByteArray> { voicePayload(3, "voice") });
    QVERIFY(a->isTcpConnected());
}

void TstMStudentServer::badFrameCostsOnlyThatClient_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<bool>("fromReadyClient");
    QTest::newRow("a ready client's frame shorter than its header") << tcpFrame(4, "COMD") << true;
    QTest::newRow("a ready client's frame longer than 16 MiB")
        << tcpFrame(16u * 1024u * 1024u + 1u, "COMD") << true;
    QTest::newRow("a waiting client's frame of length zero") << tcpFrame(0, "COMD") << false;
    QTest::newRow("a waiting client's frame of length 0xFFFFFFFF")
        << tcpFrame(0xFFFFFFFFu, "TEXT") << false;
}

void TstMStudentServer::badFrameCostsOnlyThatClient()
{
    QFETCH(QByteArray, frame);
    QFETCH(bool, fromReadyClient);
    startServer(loopbackSettings());
    ClassroomClient* a = joinClient(QStringLiteral("a"));
    ClassroomClient* b = joinClient(QStringLiteral("b"));
    QVERIFY(a && b);
    ClassroomClient* culprit = fromReadyClient ? joinClient(QStringLiteral("c"))
                                               : connectClient(QStringLiteral("c"), false);
    QVERIFY(culprit);
    QTRY_VERIFY(culprit->isTcpConnected());
    QTRY_VERIFY(!culprit->commands().isEmpty());

    culprit->sendRawTcp(frame);
    QTRY_VERIFY(!culprit->isTcpConnected());
    QTRY_COMPARE(students()->readyClientList().size(), 2);
    QTRY_VERIFY(students()->nonReadyClientList().isEmpty());

    a->sendText(QString(), QStringLiteral("still here"));
    QTRY_COMPARE(b->payloads(TextData, false).size(), 1);
    b->sendVoice("v", 1);
    QTRY_COMPARE(a->payloads(VoiceData, true).size(), 1);
}

void TstMStudentServer::forgedNamesListAsOneEntry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("stored");
    QTest::newRow("a name with the list separator")
        << QStringLiteral("ann|bo") << QStringLiteral("ann_bo");
    QTest::newRow("a name with the field separator")
        << QStringLiteral("ann\\bo") << QStringLiteral("ann_bo");
    QTest::newRow("a name that spells two more entries") << QStringLiteral(
        "x|1.2.3.4:5\\6.7.8.9:10\\mallory|y") << QStringLiteral("x_1.2.3.4:5_6.7.8.9:10_mallory_y");
}

void TstMStudentServer::forgedNamesListAsOneEntry()
{
    QFETCH(QString, name);
    QFETCH(QString, stored);
    LogCapture log;
    startServer(loopbackSettings());
    ClassroomClient* honest = joinClient(QStringLiteral("honest"));
    QVERIFY(honest);
    // joinClient waits until every list holds as many entries as clients.
    ClassroomClient* forger = joinClient(name);
    QVERIFY(forger);
    QCOMPARE(readyRecordOf(forger).clientIdName, name);
    QCOMPARE(ClientList::listedName(name), stored);

    const QStringList entries = honest->lastArgument(kClientList).split(kListSeparator);
    QCOMPARE(entries.size(), 2);
    int forged = 0;
    for (const QString& entry : entries) {
        QCOMPARE(entry.split(kFieldSeparator).size(), 3);
        forged += entry.endsWith(kFieldSeparator + stored) ? 1 : 0;
    }
    QCOMPARE(forged, 1);
    QCOMPARE(log.count(QStringLiteral("Name with list separators listed as")), 1);

    // Chat carries names length-prefixed: the name goes as given.
    forger->sendText(QString(), QStringLiteral("hi"));
    QTRY_COMPARE(honest->payloads(TextData, false),
        QList<QByteArray> { MAbstractSocket::encodeTextPacket(name, QStringLiteral("hi")) });

    // The name as listed closes the client.
    honest->sendCommand(cmd(kCloseAllClients, stored));
    QTRY_VERIFY(!forger->isTcpConnected());
}

void TstMStudentServer::floodIsBoundedAndOthersStillTalk_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("closed");
    QTest::newRow("chat text as fast as the socket takes it") << int(TextData) << true;
    QTest::newRow("a relayed command as fast as the socket takes it") << int(CommandData) << true;
    QTest::newRow("voice at a hundred times a speaker's rate") << int(VoiceData) << false;
}

void TstMStudentServer::floodIsBoundedAndOthersStillTalk()
{
    QFETCH(int, kind);
    QFETCH(bool, closed);
    startServer(loopbackSettings());
    ClassroomClient* flooder = joinClient(QStringLiteral("flooder"));
    ClassroomClient* listener = joinClient(QStringLiteral("listener"));
    ClassroomClient* speaker = joinClient(QStringLiteral("speaker"));
    QVERIFY(flooder && listener && speaker);
    listener->clearReceived();

    const QByteArray mark("flood");
    QElapsedTimer elapsed;
    elapsed.start();
    if (kind == VoiceData) {
        // 5000 datagrams, 100 s of a speaker, sent at once.
        for (int i = 1; i <= 5000; ++i)
            flooder->sendVoice(mark, i);
    } else {
        const QByteArray tag = kind == TextData ? QByteArray("TEXT") : QByteArray("COMD");
        const QByteArray payload = kind == TextData
            ? MAbstractSocket::encodeTextPacket(QString(), QString::fromLatin1(mark))
            : QByteArray(kCallTeacher.data()) + mark;
        const QByteArray frame = tcpFrame(quint32(8 + payload.size()), tag + payload);
        flooder->sendRawTcp(frame.repeated(20000));
    }

    if (closed) {
        QTRY_VERIFY_WITH_TIMEOUT(!flooder->isTcpConnected(), 30000);
        QTRY_COMPARE(students()->readyClientList().size(), 2);
    } else {
        QTRY_VERIFY(students()->droppedVoiceDatagrams() > 0);
        QVERIFY(flooder->isTcpConnected());
    }

    // The others still talk: the speaker's voice and text reach the listener.
    auto heard = [listener] {
        for (const QByteArray& voice : listener->payloads(VoiceData, true)) {
            if (voice.endsWith("still here"))
                return true;
        }
        return false;
    };
    int sequence = 1;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            speaker->sendVoice("still here", sequence++);
            return heard();
        }(),
        30000);
    speaker->sendText(QString(), QStringLiteral("after"));
    const QByteArray after
        = MAbstractSocket::encodeTextPacket(QStringLiteral("speaker"), QStringLiteral("after"));
    // Relayed over the same connection after everything of the flood.
    QTRY_VERIFY(listener->payloads(TextData, false).contains(after));

    int relayed = 0;
    double rate = ClientLimits::kFramesPerSecond;
    double burst = ClientLimits::kFrameBurst;
    if (kind == VoiceData) {
        rate = ClientLimits::kVoicePerSecond;
        burst = ClientLimits::kVoiceBurst;
        for (const QByteArray& voice : listener->payloads(VoiceData, true))
            relayed += voice.endsWith(mark) ? 1 : 0;
    } else if (kind == TextData) {
        relayed = listener->payloads(TextData, false).size() - 1;
    } else {
        relayed = listener->commands().filter(kCallTeacher).size();
    }
    const double bound = burst + rate * (double(elapsed.elapsed()) / 1000.0 + 1.0);
    QVERIFY2(relayed > 0 && relayed <= bound,
        qPrintable(QStringLiteral("%1 of the flood relayed, bound %2").arg(relayed).arg(bound)));
}

void TstMStudentServer::clientThatNeverReadsIsDropped()
{
    LogCapture log;
    startServer(loopbackSettings());
    ClassroomClient* sender = joinClient(QStringLiteral("sender"));
    ClassroomClient* reader = joinClient(QStringLiteral("reader"));
    ClassroomClient* sloth = joinClient(QStringLiteral("sloth"));
    QVERIFY(sender && reader && sloth);
    MTcpSocket* slothOnServer = readyRecordOf(sloth).conn;
    QVERIFY(slothOnServer);
    // The sloth stops reading; small kernel buffers on its path leave the
    // backlog to the server's own memory, where the bound applies.
    sloth->tcpSocket()->setReadBufferSize(1);
    sloth->tcpSocket()->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
    slothOnServer->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 4096);

    // 7 MiB of file chunks: more than the bound, within the sender's budget.
    const QByteArray chunk(128 * 1024, 'c');
    const int chunks = 56;
    for (int i = 0; i < chunks; ++i)
        sender->sendXData(chunk, 7, i);
    QTRY_COMPARE_WITH_TIMEOUT(reader->payloads(ExtraData, false).size(), chunks, 60000);
    QTRY_VERIFY(!readyRecordOf(sloth).conn);
    QCOMPARE(students()->readyClientList().size(), 2);

    const QStringList dropped = log.linesContaining(QStringLiteral("Too slow, dropping"));
    QCOMPARE(dropped.size(), 1);
    const QRegularExpressionMatch unsent
        = QRegularExpression(QStringLiteral("with (\\d+) bytes unsent")).match(dropped.first());
    QVERIFY2(unsent.hasMatch(), qPrintable(dropped.first()));
    const qint64 held = unsent.captured(1).toLongLong();
    QVERIFY(held > ClientLimits::kMaxUnsentBytes);
    QVERIFY(held <= ClientLimits::kMaxUnsentBytes + chunk.size() + 16);

    // Relayed chunks go into the log by size and first bytes only.
    const QStringList relayed = log.linesContaining(QStringLiteral("packetReceived: "));
    QVERIFY(relayed.size() >= chunks);
    for (const QString& line : relayed)
        QVERIFY2(line.size() < 400, qPrintable(line.left(100)));
}

QTEST_GUILESS_MAIN(TstMStudentServer)
#include "tst_mstudentserver.moc"
