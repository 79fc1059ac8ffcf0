#include "datagramseal.h"
#include "logcapture.h"
#include "mstudentserver.h"
#include "mtcpsocket.h"
#include "mudpsocket.h"
#include "secureclient.h"
#include "server.h"
#include "sessioncommands.h"
#include "wireformat.h"

#include <memory>

#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

using namespace SessionCommand;

namespace {

const QString kStaffCode = QStringLiteral("oak-7-staff");
const QString kPupilCode = QStringLiteral("elm-3-pupil");
// A second loopback address (all of 127/8 is local): a "machine" the operator lists.
const QHostAddress kListedAddress(QStringLiteral("127.0.0.2"));

// A plain TCP relay between a client and the server that keeps every byte it
// passes: what a listener on the network path would capture.
class TcpTap : public QTcpServer
{
public:
    quint16 targetPort = 0;
    QByteArray captured;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* near = new QTcpSocket(this);
        near->setSocketDescriptor(descriptor);
        auto* far = new QTcpSocket(this);
        far->connectToHost(QHostAddress::LocalHost, targetPort);
        const auto pass = [this](QTcpSocket* from, QTcpSocket* to) {
            const QByteArray bytes = from->readAll();
            captured += bytes;
            to->write(bytes);
        };
        connect(near, &QTcpSocket::readyRead, this, [=] { pass(near, far); });
        connect(far, &QTcpSocket::readyRead, this, [=] { pass(far, near); });
    }
};

} // namespace

// A secure class over real loopback sockets: the codes, the names and the
// throttle at the door, TLS or nothing on the TCP port, sealed datagrams, and
// what a student may not do, with scripted clients standing for whoever connects.
class TstSecureGate : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void admission_data();
    void admission();
    void failuresAreThrottled();
    void plainClientGetsNothing();
    void listedAddressMayConnect_data();
    void listedAddressMayConnect();
    void listedPeerThatWaitsIsServedPlain();
    void invitationNamesTheClass();
    void studentCannotRunTheLesson_data();
    void studentCannotRunTheLesson();
    void studentCannotRemoveOthers();
    void voiceOnlyFromStaff();
    void badDatagramsAreDropped_data();
    void badDatagramsAreDropped();
    void noPlainTextOnTheWire();

private:
    void startServer(const QVector<QHostAddress>& plainAddresses = {});
    SecureClient* connectClient(const QString& name, const QString& code,
        const QHostAddress& from = QHostAddress(), bool plain = false);
    SecureClient* joinClient(const QString& name, const QString& code);
    // Starts the server and joins the class most cases need: staff and two students.
    bool joinClass(SecureClient*& staff, SecureClient*& ann, SecureClient*& bo)
    {
        startServer();
        staff = joinClient(QStringLiteral("Ms Lee"), kStaffCode);
        ann = joinClient(QStringLiteral("ann"), kPupilCode);
        bo = joinClient(QStringLiteral("bo"), kPupilCode);
        return staff && ann && bo;
    }
    MStudentServer* students() const { return m_server->currentStudentServer(); }
    // A text that goes round the class; when it has reached everybody, what was
    // sent before it has been handled.
    bool roundTrip(SecureClient* from, const QList<SecureClient*>& to);

    QTemporaryDir m_state;
    std::unique_ptr<Server> m_server;
    QList<SecureClient*> m_clients;
    int m_sentinels = 0;
};

void TstSecureGate::init()
{
    QVERIFY(m_state.isValid());
}

void TstSecureGate::cleanup()
{
    qDeleteAll(m_clients);
    m_clients.clear();
    m_server.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void TstSecureGate::startServer(const QVector<QHostAddress>& plainAddresses)
{
    ServerSettings settings;
    settings.listenAddress = QHostAddress(QHostAddress::LocalHost);
    settings.listenPort = 0;
    settings.udpAddress = QHostAddress(QHostAddress::LocalHost);
    settings.udpPort = 0;
    settings.staffCode = kStaffCode;
    settings.studentCode = kPupilCode;
    settings.stateFolder = m_state.filePath(QStringLiteral("state"));
    settings.plainAddresses = plainAddresses;
    m_server = std::make_unique<Server>(settings, nullptr);
    m_server->start();
    QVERIFY(m_server->isListening());
    QCOMPARE(students()->certificateFingerprint().size(), 64);
}

SecureClient* TstSecureGate::connectClient(
    const QString& name, const QString& code, const QHostAddress& from, bool plain)
{
    auto* client = new SecureClient(name, code);
    client->setPlain(plain);
    m_clients.append(client);
    client->connectTo(students()->serverPort(), students()->boundUdpPort(),
        students()->certificateFingerprint(), from);
    return client;
}

SecureClient* TstSecureGate::joinClient(const QString& name, const QString& code)
{
    SecureClient* client = connectClient(name, code);
    const int before = students()->readyClientList().size();
    if (!QTest::qWaitFor([&] { return client->isReady(); }, 20000))
        return nullptr;
    // Ready on both sides before the next step.
    return QTest::qWaitFor([&] { return students()->readyClientList().size() == before + 1; })
        ? client
        : nullptr;
}

bool TstSecureGate::roundTrip(SecureClient* from, const QList<SecureClient*>& to)
{
    const QString text = QStringLiteral("sentinel %1").arg(++m_sentinels);
    from->sendText(text);
    return QTest::qWaitFor(
        [&] {
            for (const SecureClient* client : to) {
                bool seen = false;
                for (const QByteArray& payload : client->payloads(TextData, false)) {
                    QString name;
                    QString message;
                    MAbstractSocket::decodeTextPacket(payload, name, message);
                    seen = seen || message == text;
                }
                if (!seen)
                    return false;
            }
            return true;
        },
        20000);
}

void TstSecureGate::admission_data()
{
    QTest::addColumn<QString>("staffName");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("admitted");
    QTest::addColumn<QString>("logged");

    QTest::newRow("the students' code admits a student")
        << QString() << kPupilCode << QStringLiteral("ann") << true << QString();
    QTest::newRow("the staff code admits staff")
        << QString() << kStaffCode << QStringLiteral("Ms Lee") << true << QString();
    QTest::newRow("staff may take the teacher's name")
        << QString() << kStaffCode << QString(kTeacherSender) << true << QString();
    QTest::newRow("a wrong code is refused")
        << QString() << QStringLiteral("guess") << QStringLiteral("ann") << false
        << QStringLiteral("with a wrong class code");
    QTest::newRow("a missing code is refused") << QString() << QString() << QStringLiteral("ann")
                                               << false << QStringLiteral("without a class code");
    QTest::newRow("an empty code is refused")
        << QString() << QStringLiteral("") << QStringLiteral("ann") << false
        << QStringLiteral("without a class code");
    QTest::newRow("a student taking the teacher's name is refused")
        << QString() << kPupilCode << QString(kTeacherSender) << false
        << QStringLiteral("as a student taking the name");
    QTest::newRow("a student taking the server's name is refused")
        << QString() << kPupilCode << QString(kServerSender) << false
        << QStringLiteral("as a student taking the name");
    QTest::newRow("a student taking a staff member's name is refused")
        << QStringLiteral("Ms Lee") << kPupilCode << QStringLiteral("Ms Lee") << false
        << QStringLiteral("as a student taking the name");
}

void TstSecureGate::admission()
{
    QFETCH(QString, staffName);
    QFETCH(QString, code);
    QFETCH(QString, name);
    QFETCH(bool, admitted);
    QFETCH(QString, logged);
    LogCapture log;
    startServer();
    if (!staffName.isEmpty())
        QVERIFY(joinClient(staffName, kStaffCode));

    SecureClient* client = connectClient(name, code);
    const QString verdict = kIdentifyReply + (admitted ? kIdentifyOk : kIdentifyFail);
    QTRY_VERIFY_WITH_TIMEOUT(client->commands().contains(verdict), 20000);
    QVERIFY(client->isEncrypted());
    if (admitted) {
        QTRY_VERIFY_WITH_TIMEOUT(client->isReady(), 20000);
        // The key comes right after the verdict, and before any UDP step.
        const QStringList commands = client->commands();
        const int ok = commands.indexOf(verdict);
        QVERIFY(commands.value(ok + 1).startsWith(kUdpKey));
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{72}$"))
                    .match(commands.value(ok + 1).mid(kUdpKey.size()))
                    .hasMatch());
        QCOMPARE(commands.filter(kUdpKey).size(), 1);
        QVERIFY(commands.indexOf(QRegularExpression(QStringLiteral("UDPREQUEST[0-9]+"))) > ok + 1);
        QCOMPARE(client->key().size(), SealedDatagram::kKeySize);
        return;
    }
    // A round trip after the refusal: nothing else was sent, and no key.
    client->sendCommand(kGetProtocol);
    QTRY_COMPARE(client->commands().filter(kProtocolVer).size(), 2);
    for (const QString& command : client->commands())
        QVERIFY2(
            !command.startsWith(kUdpKey) && !command.startsWith(kUdpRequest), qPrintable(command));
    const QString address = QStringLiteral("127.0.0.1:%1").arg(client->tcpSocket()->localPort());
    const QStringList lines = log.linesContaining(logged);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().contains(address), qPrintable(lines.first()));
}

void TstSecureGate::failuresAreThrottled()
{
    LogCapture log;
    startServer();
    SecureClient* guesser = connectClient(QStringLiteral("eve"), QStringLiteral("guess0"));
    QTRY_VERIFY_WITH_TIMEOUT(guesser->commands().contains(kIdentifyReply + kIdentifyFail), 20000);
    for (int i = 1; i < 5; ++i) {
        guesser->sendCommand(kClassCode + QStringLiteral("guess%1").arg(i));
        guesser->sendCommand(kIdentify + QStringLiteral("eve"));
    }
    QTRY_COMPARE(log.count(QStringLiteral("with a wrong class code")), 5);
    // Now even the right code goes unheard, from any connection of that address.
    SecureClient* late = connectClient(QStringLiteral("ann"), kPupilCode);
    QTRY_VERIFY_WITH_TIMEOUT(late->commands().contains(kIdentifyReply + kIdentifyFail), 20000);
    QCOMPARE(log.count(QStringLiteral("unheard: too many failed admissions")), 1);
    QCOMPARE(log.count(QStringLiteral("with a wrong class code")), 5);
    QVERIFY(late->lastArgument(kUdpKey).isNull());
}

void TstSecureGate::plainClientGetsNothing()
{
    startServer();
    QTcpSocket plain;
    QByteArray bytes;
    connect(&plain, &QTcpSocket::readyRead, &plain, [&] { bytes += plain.readAll(); });
    plain.connectToHost(QHostAddress::LocalHost, students()->serverPort());
    QVERIFY(plain.waitForConnected(10000));
    // What a plain client sends first.
    const QByteArray getProtocol = QByteArray(WireFormat::kCommandTag.latin1()) + "GETPROTOCOL";
    plain.write(MAbstractSocket::intToByteArray(quint32(4 + getProtocol.size())) + getProtocol);
    QSignalSpy closed(&plain, &QTcpSocket::disconnected);
    QVERIFY(closed.wait(20000));
    bytes += plain.readAll();
    QVERIFY2(bytes.isEmpty(), bytes.toHex().constData());
    QTRY_VERIFY(students()->nonReadyClientList().isEmpty());
}

void TstSecureGate::listedAddressMayConnect_data()
{
    QTest::addColumn<bool>("plain");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("name");
    QTest::newRow("plain from a listed address, as staff")
        << true << QString() << QString(kTeacherSender);
    QTest::newRow("TLS from a listed address, by its code")
        << false << kPupilCode << QStringLiteral("cy");
}

void TstSecureGate::listedAddressMayConnect()
{
    QFETCH(bool, plain);
    QFETCH(QString, code);
    QFETCH(QString, name);
    startServer({ kListedAddress });
    SecureClient* student = joinClient(QStringLiteral("ann"), kPupilCode);
    QVERIFY(student);
    SecureClient* listed = connectClient(name, code, kListedAddress, plain);
    QTRY_VERIFY_WITH_TIMEOUT(listed->isReady(), 20000);
    QCOMPARE(listed->isEncrypted(), !plain);
    QCOMPARE(listed->lastArgument(kUdpKey).isNull(), plain);
    // Its voice reaches the student sealed under the student's key when it is
    // staff, and not at all when it is a student.
    listed->sendVoice(QByteArray("listed voice"), 1);
    QVERIFY(roundTrip(listed, { student }));
    const QByteArray heard = MAbstractSocket::intToByteArray(1) + QByteArray("listed voice");
    if (plain) {
        QTRY_COMPARE(student->payloads(VoiceData, true), QList<QByteArray> { heard });
    } else {
        // A staff member's voice afterwards is the sentinel.
        SecureClient* staff = joinClient(QStringLiteral("Ms Lee"), kStaffCode);
        QVERIFY(staff);
        staff->sendVoice(QByteArray("staff voice"), 1);
        QTRY_VERIFY(!student->payloads(VoiceData, true).isEmpty());
        QCOMPARE(student->payloads(VoiceData, true),
            QList<QByteArray> { MAbstractSocket::intToByteArray(1) + QByteArray("staff voice") });
    }
}

void TstSecureGate::listedPeerThatWaitsIsServedPlain()
{
    startServer({ kListedAddress });
    // A console that waits for the server to speak first: after the grace
    // period it is taken to be plain and asked for its UDP end in plain.
    QTcpSocket console;
    QVERIFY(console.bind(kListedAddress, 0));
    console.connectToHost(QHostAddress::LocalHost, students()->serverPort());
    QVERIFY(console.waitForConnected(10000));
    QByteArray bytes;
    connect(&console, &QTcpSocket::readyRead, &console, [&] { bytes += console.readAll(); });
    const QByteArray request = QByteArray(WireFormat::kCommandTag.latin1()) + kUdpRequest.latin1();
    QTRY_VERIFY_WITH_TIMEOUT(bytes.contains(request), 20000);
    QVERIFY(bytes.startsWith(QByteArray::fromHex("000000")));
}

void TstSecureGate::invitationNamesTheClass()
{
    LogCapture log;
    startServer();
    const QString expected = QStringLiteral("Secure class: pupil -t127.0.0.1:%1 -k%2 -f%3")
                                 .arg(students()->serverPort())
                                 .arg(kPupilCode, students()->certificateFingerprint());
    QCOMPARE(students()->invitation(), expected);
    QCOMPARE(log.count(expected), 1);
    // The same certificate at the next start.
    const QString fingerprint = students()->certificateFingerprint();
    m_server->start();
    QCOMPARE(students()->certificateFingerprint(), fingerprint);
}

void TstSecureGate::studentCannotRunTheLesson_data()
{
    QTest::addColumn<QString>("command");
    QTest::newRow("ending the lesson") << QString(kClassFinished);
    QTest::newRow("allowing a call") << kAllowCall + QStringLiteral("bo");
    QTest::newRow("starting voice") << QString(kStartVoice);
    QTest::newRow("offering a file") << kFileX + QStringLiteral("1|a.txt|3");
    QTest::newRow("setting the voice format") << kVoiceFormat + QStringLiteral("1");
    QTest::newRow("handing out a key") << kUdpKey + QString(72, QLatin1Char('0'));
}

void TstSecureGate::studentCannotRunTheLesson()
{
    QFETCH(QString, command);
    LogCapture log;
    SecureClient *staff = nullptr, *ann = nullptr, *bo = nullptr;
    QVERIFY(joinClass(staff, ann, bo));
    ann->sendCommand(command);
    ann->sendXData(QByteArray("chunk"), 1, 1);
    QVERIFY(roundTrip(ann, { staff, bo }));
    QVERIFY(!staff->commands().contains(command));
    QVERIFY(!bo->commands().contains(command));
    QVERIFY(bo->payloads(ExtraData, false).isEmpty());
    QVERIFY(log.count(QStringLiteral("from the student at"))
            + log.count(QStringLiteral("from the member at"))
        >= 1);
    // From staff the same command reaches the students, but no admission keyword.
    staff->sendCommand(command);
    if (command.startsWith(kUdpKey)) {
        QVERIFY(roundTrip(staff, { bo }));
        QVERIFY(!bo->commands().contains(command));
    } else {
        QTRY_VERIFY(bo->commands().contains(command));
    }
}

void TstSecureGate::studentCannotRemoveOthers()
{
    SecureClient *staff = nullptr, *ann = nullptr, *bo = nullptr;
    QVERIFY(joinClass(staff, ann, bo));
    ann->sendCommand(kCloseAllClients + QStringLiteral("bo|Ms Lee"));
    QVERIFY(roundTrip(ann, { staff, bo }));
    QCOMPARE(students()->readyClientList().size(), 3);
    QVERIFY(bo->isConnected() && staff->isConnected());
    staff->sendCommand(kCloseAllClients + QStringLiteral("bo"));
    QTRY_VERIFY(bo->wasClosed());
    QTRY_COMPARE(students()->readyClientList().size(), 2);
}

void TstSecureGate::voiceOnlyFromStaff()
{
    LogCapture log;
    SecureClient *staff = nullptr, *ann = nullptr, *bo = nullptr;
    QVERIFY(joinClass(staff, ann, bo));
    // Sent first on loopback, so handled first: the staff voice is the sentinel.
    ann->sendVoice(QByteArray("student voice"), 7);
    staff->sendVoice(QByteArray("staff voice"), 8);
    const QByteArray heard = MAbstractSocket::intToByteArray(8) + QByteArray("staff voice");
    QTRY_COMPARE(bo->payloads(VoiceData, true), QList<QByteArray> { heard });
    QTRY_COMPARE(ann->payloads(VoiceData, true), QList<QByteArray> { heard });
    QVERIFY(staff->payloads(VoiceData, true).isEmpty());
    QCOMPARE(log.count(QStringLiteral("Dropped voice from the student at")), 1);
    QCOMPARE(students()->droppedSealedDatagrams(), quint64(0));
}

void TstSecureGate::badDatagramsAreDropped_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("garbage shorter than a header") << QStringLiteral("short");
    QTest::newRow("an id nobody holds") << QStringLiteral("unknown");
    QTest::newRow("the staff member's id under another key") << QStringLiteral("forged");
    QTest::newRow("the staff member's first datagram again") << QStringLiteral("replayed");
    QTest::newRow("a copy the server sealed, sent back") << QStringLiteral("reflected");
    QTest::newRow("plain voice") << QStringLiteral("plain");
}

void TstSecureGate::badDatagramsAreDropped()
{
    QFETCH(QString, kind);
    startServer();
    SecureClient* staff = joinClient(QStringLiteral("Ms Lee"), kStaffCode);
    SecureClient* ann = joinClient(QStringLiteral("ann"), kPupilCode);
    QVERIFY(staff && ann);
    const QByteArray voice = QByteArray(WireFormat::kVoiceTag.latin1())
        + MAbstractSocket::intToByteArray(5) + "forged voice";
    QByteArray datagram;
    using SealedDatagram::Direction;
    if (kind == QLatin1String("short"))
        datagram = QByteArray(20, 'x');
    else if (kind == QLatin1String("unknown"))
        datagram = SealedDatagram::seal(
            QByteArray(32, 'k'), staff->keyId() ^ 1, Direction::ClientToServer, 0, voice);
    else if (kind == QLatin1String("forged"))
        datagram = SealedDatagram::seal(
            QByteArray(32, 'k'), staff->keyId(), Direction::ClientToServer, 100, voice);
    else if (kind == QLatin1String("replayed"))
        datagram = SealedDatagram::seal(
            staff->key(), staff->keyId(), Direction::ClientToServer, 0, voice);
    else if (kind == QLatin1String("reflected"))
        datagram = SealedDatagram::seal(
            staff->key(), staff->keyId(), Direction::ServerToClient, 100, voice);
    else
        datagram = voice;
    // From the staff member's own UDP end, so the source address is no help.
    staff->udpSocket()->writeDatagram(
        datagram, QHostAddress(QHostAddress::LocalHost), students()->boundUdpPort());
    staff->sendVoice(QByteArray("real voice"), 6);
    const QByteArray heard = MAbstractSocket::intToByteArray(6) + QByteArray("real voice");
    QTRY_COMPARE(ann->payloads(VoiceData, true), QList<QByteArray> { heard });
    QCOMPARE(students()->droppedSealedDatagrams(), quint64(1));
}

void TstSecureGate::noPlainTextOnTheWire()
{
    startServer();
    SecureClient* staff = joinClient(QStringLiteral("Ms Lee"), kStaffCode);
    QVERIFY(staff);
    TcpTap tap;
    tap.targetPort = students()->serverPort();
    QVERIFY(tap.listen(QHostAddress::LocalHost, 0));
    auto* ann = new SecureClient(QStringLiteral("ann"), kPupilCode);
    m_clients.append(ann);
    ann->connectTo(
        tap.serverPort(), students()->boundUdpPort(), students()->certificateFingerprint());
    QTRY_VERIFY_WITH_TIMEOUT(ann->isReady(), 20000);
    const QString secret = QStringLiteral("the answer is forty-two");
    staff->sendText(secret);
    ann->sendText(QStringLiteral("my reply is seven"));
    QVERIFY(roundTrip(staff, { ann }));
    QVERIFY(roundTrip(ann, { staff }));
    QVERIFY(ann->payloads(TextData, false).first().contains(secret.toUtf8()));
    for (const char* visible :
        { "forty-two", "seven", "IDENTIFY", "UDPKEY", "CLASSCODE", "elm-3", "Ms Lee", "COMD" })
        QVERIFY2(!tap.captured.contains(visible), visible);
    QVERIFY(tap.captured.size() > 1000);
}

QTEST_GUILESS_MAIN(TstSecureGate)
#include "tst_securegate.moc"
