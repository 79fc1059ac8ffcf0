#include "mtcpsocket.h"
#include "servercertificate.h"
#include "servertrust.h"

#include <QtTest>
#include <QTcpServer>

namespace {

// Sent by the listener the moment it accepts, before any handshake, as the server sends
// its first "UDPREQUEST": it must reach a peer only inside TLS.
const QString kGreeting = QStringLiteral("UDPREQUEST1");

struct Frame
{
    MDataType type;
    QByteArray data;
    bool operator==(const Frame& other) const { return type == other.type && data == other.data; }
};

} // namespace

namespace QTest {
template <> char* toString(const Frame& frame)
{
    return qstrdup(qPrintable(QStringLiteral("type %1, %2 bytes: %3")
                                  .arg(int(frame.type))
                                  .arg(frame.data.size())
                                  .arg(QString::fromLatin1(frame.data.left(24).toHex()))));
}
} // namespace QTest

// Accepts connections as the server does: adopts the descriptor into an MTcpSocket,
// starts TLS when it has an identity, and greets at once.
class Listener : public QTcpServer
{
    Q_OBJECT

public:
    const ServerCertificate* identity = nullptr;
    QList<Frame> received;
    QList<MTcpSocket*> sockets;
    int refusals = 0;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = new MTcpSocket(this);
        QVERIFY(socket->setSocketDescriptor(descriptor));
        if (identity)
            socket->startServerTls(*identity);
        connect(socket, &MTcpSocket::packetReceived, this,
            [this](MAbstractSocket*, MDataType type, const QByteArray& data) {
                received.append({ type, data });
            });
        connect(socket, &MTcpSocket::tlsRefused, this, [this] { ++refusals; });
        socket->ourProtocolSendCommand(kGreeting);
        sockets.append(socket);
    }
};

// TLS on the packet socket over real loopback with real certificates: frames both ways
// unchanged inside it, and every way a secure and a plain end can fail to meet.
class TestMTcpSocketTls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void framesCrossBothWays_data();
    void framesCrossBothWays();
    void firstMeetingIsRememberedAndKnownNextTime();
    void refusedWithoutAFrame_data();
    void refusedWithoutAFrame();
    void plainClientToSecureServerGetsNoClassData();

private:
    MTcpSocket* secureClient(const ServerTrust& trust, QList<Frame>* received);

    QTemporaryDir m_folder;
    ServerCertificate m_identity;
    ServerCertificate m_otherIdentity;
    Listener* m_listener = nullptr;
    QString m_knownServers;
};

void TestMTcpSocketTls::initTestCase()
{
    QString error;
    QVERIFY2(m_identity.loadOrCreate(m_folder.filePath(QStringLiteral("server")), &error),
        qPrintable(error));
    QVERIFY2(m_otherIdentity.loadOrCreate(m_folder.filePath(QStringLiteral("other")), &error),
        qPrintable(error));
}

void TestMTcpSocketTls::init()
{
    m_listener = new Listener;
    m_listener->identity = &m_identity;
    QVERIFY(m_listener->listen(QHostAddress::LocalHost, 0));
    m_knownServers
        = m_folder.filePath(QStringLiteral("known-servers-%1")
                                .arg(QTest::currentDataTag() ? QTest::currentDataTag() : ""));
    QFile::remove(m_knownServers);
}

void TestMTcpSocketTls::cleanup()
{
    delete m_listener;
    m_listener = nullptr;
}

MTcpSocket* TestMTcpSocketTls::secureClient(const ServerTrust& trust, QList<Frame>* received)
{
    auto* client = new MTcpSocket(m_listener);
    client->setClientTls(trust);
    connect(client, &MTcpSocket::packetReceived, client,
        [received](MAbstractSocket*, MDataType type, const QByteArray& data) {
            received->append({ type, data });
        });
    client->connectToHost(QHostAddress::LocalHost, m_listener->serverPort());
    return client;
}

void TestMTcpSocketTls::framesCrossBothWays_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("a command") << int(CommandData) << QByteArray("GETNCLIENTS");
    QTest::newRow("an empty command") << int(CommandData) << QByteArray();
    QTest::newRow("a text from a non-ASCII name") << int(TextData) << QByteArray("hi there");
    QByteArray chunk(128 * 1024, '\0');
    for (int i = 0; i < chunk.size(); ++i)
        chunk[i] = char(i * 7);
    QTest::newRow("a file chunk larger than any TLS record") << int(ExtraData) << chunk;
}

void TestMTcpSocketTls::framesCrossBothWays()
{
    QFETCH(int, kind);
    QFETCH(QByteArray, data);
    const QString name = QStringLiteral("Zo\u00eb");
    const auto send = [kind, &data, &name](MTcpSocket* socket) {
        switch (kind) {
        case CommandData:
            return socket->ourProtocolSendCommand(QString::fromUtf8(data));
        case TextData:
            return socket->ourProtocolSendText(name, QString::fromUtf8(data));
        default:
            return socket->ourProtocolSendXData(data, 1, 2);
        }
    };
    const Frame sent = kind == CommandData ? Frame { CommandData, data }
        : kind == TextData
        ? Frame { TextData, MAbstractSocket::encodeTextPacket(name, QString::fromUtf8(data)) }
        : Frame { ExtraData,
              MAbstractSocket::intToByteArray(1) + MAbstractSocket::intToByteArray(2) + data };

    QList<Frame> atClient;
    MTcpSocket* client = secureClient(ServerTrust(m_knownServers), &atClient);
    // Written before the handshake is done: held back, then sent inside TLS.
    QVERIFY(send(client) > 0);
    client->ourProtocolSendCommand(QStringLiteral("CLIENTEXIT"));

    QTRY_COMPARE(m_listener->received.size(), 2);
    QCOMPARE(m_listener->received.at(0), sent);
    QCOMPARE(m_listener->received.at(1), (Frame { CommandData, "CLIENTEXIT" }));
    QVERIFY(client->isEncrypted());
    QCOMPARE(client->sessionProtocol(), QSsl::TlsV1_3);
    QCOMPARE(ServerCertificate::fingerprintOf(client->peerCertificate()), m_identity.fingerprint());

    MTcpSocket* serverEnd = m_listener->sockets.value(0);
    QVERIFY(serverEnd && serverEnd->isEncrypted());
    QVERIFY(send(serverEnd) > 0);
    QTRY_COMPARE(atClient.size(), 2);
    QCOMPARE(atClient.at(0), (Frame { CommandData, kGreeting.toUtf8() }));
    QCOMPARE(atClient.at(1), sent);
    QCOMPARE(m_listener->refusals, 0);
}

void TestMTcpSocketTls::firstMeetingIsRememberedAndKnownNextTime()
{
    const QString serverAddress
        = MAbstractSocket::addressText(QHostAddress::LocalHost, m_listener->serverPort());
    QList<Frame> atClient;
    QTest::ignoreMessage(
        QtWarningMsg, QRegularExpression(QStringLiteral("^Remembered the certificate")));
    MTcpSocket* first = secureClient(ServerTrust(m_knownServers), &atClient);
    QTRY_COMPARE(atClient.size(), 1);
    QVERIFY(first->isEncrypted());
    QFile file(m_knownServers);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray remembered = file.readAll();
    QCOMPARE(remembered,
        (serverAddress + QLatin1Char(' ') + m_identity.fingerprint() + QLatin1Char('\n')).toUtf8());
    file.close();

    // The second meeting is a known one and leaves the file as it was.
    MTcpSocket* second = secureClient(ServerTrust(m_knownServers), &atClient);
    QTRY_COMPARE(atClient.size(), 2);
    QVERIFY(second->isEncrypted());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), remembered);
}

void TestMTcpSocketTls::refusedWithoutAFrame_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("messageNames");
    QTest::newRow("a secure client meeting a plain server does not fall back")
        << "plain server" << QStringList { QStringLiteral("may not be a secure server") };
    QTest::newRow("a pinned fingerprint that does not match is refused")
        << "pin other" << QStringList { QStringLiteral("fingerprints") };
    QTest::newRow("a changed certificate is refused by a client that remembered the old")
        << "remembered other" << QStringList { QStringLiteral("fingerprints") };
}

void TestMTcpSocketTls::refusedWithoutAFrame()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, messageNames);
    QString pin;
    if (setup == QLatin1String("plain server"))
        m_listener->identity = nullptr;
    if (setup == QLatin1String("pin other"))
        pin = m_otherIdentity.fingerprint();
    if (setup == QLatin1String("remembered other")) {
        QFile file(m_knownServers);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write((MAbstractSocket::addressText(QHostAddress::LocalHost, m_listener->serverPort())
            + QLatin1Char(' ') + m_otherIdentity.fingerprint() + QLatin1Char('\n'))
                       .toUtf8());
    }
    if (messageNames.contains(QStringLiteral("fingerprints")))
        messageNames = QStringList { m_identity.fingerprint(), m_otherIdentity.fingerprint() };

    QList<Frame> atClient;
    MTcpSocket* client = secureClient(ServerTrust(m_knownServers, pin), &atClient);
    client->ourProtocolSendCommand(QStringLiteral("GETPROTOCOL"));
    QSignalSpy refused(client, &MTcpSocket::tlsRefused);
    QVERIFY(refused.wait(10000));
    QCOMPARE(refused.size(), 1);
    const QString message = refused.at(0).at(0).toString();
    for (const QString& name : qAsConst(messageNames))
        QVERIFY2(message.contains(name), qPrintable(message));
    QCOMPARE(client->state(), QAbstractSocket::UnconnectedState);

    // The server's end sees the connection end without a frame either way.
    QTRY_VERIFY(!m_listener->sockets.isEmpty());
    MTcpSocket* serverEnd = m_listener->sockets.at(0);
    QTRY_COMPARE(serverEnd->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(atClient.size(), 0);
    QCOMPARE(m_listener->received.size(), 0);
    // Nothing was remembered for a refused certificate.
    QFile file(m_knownServers);
    QVERIFY(!file.open(QIODevice::ReadOnly)
        || !file.readAll().contains(m_identity.fingerprint().toLatin1()));
}

void TestMTcpSocketTls::plainClientToSecureServerGetsNoClassData()
{
    QTcpSocket plain;
    plain.connectToHost(QHostAddress::LocalHost, m_listener->serverPort());
    QVERIFY(plain.waitForConnected(10000));
    // What a plain client sends first: a "GETPROTOCOL" frame.
    plain.write(QByteArray::fromHex("00000013") + "COMDGETPROTOCOL");
    QByteArray bytes;
    connect(&plain, &QTcpSocket::readyRead, &plain, [&] { bytes += plain.readAll(); });
    QSignalSpy closed(&plain, &QTcpSocket::disconnected);
    QVERIFY(closed.wait(10000));
    bytes += plain.readAll();
    QVERIFY2(!bytes.contains("COMD") && !bytes.contains(kGreeting.toLatin1()),
        bytes.toHex().constData());
    QTRY_COMPARE(m_listener->refusals, 1);
    QCOMPARE(m_listener->received.size(), 0);
}

QTEST_GUILESS_MAIN(TestMTcpSocketTls)
#include "tst_mtcpsockettls.moc"
