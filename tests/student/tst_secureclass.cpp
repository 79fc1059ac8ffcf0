// A secure class on loopback, as students meet it: student windows against a
// secure classroom server in this process (every refusal a student can meet),
// and podium hosting a secure class (-s -m -k, a program with an audio server
// of its own) joined by two student windows (-k -f), one of them behind a tap
// that keeps every byte crossing its path, as a packet capture would.

#include "audioharness.h"
#include "audiotestmain.h"
#include "cmainwindow.h"
#include "datagramseal.h"
#include "freeport.h"
#include "mclientsession.h"
#include "mstudentserver.h"
#include "podiumprocess.h"
#include "server.h"
#include "servercertificate.h"
#include "servercli.h"
#include "serversettings.h"
#include "sourcefeeder.h"
#include "taprelay.h"
#include "voicetestdata.h"
#include "wireformat.h"

#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

#include <memory>

namespace {

constexpr int kJoinTimeoutMs = 30000;
const QString kStaffCode = QStringLiteral("staff-of-7b");
const QString kStudentCode = QStringLiteral("pupils-of-7b");

QString messages(const CMainWindow& window)
{
    return window.findChild<QTextEdit*>(QStringLiteral("txtMessages"))->toPlainText();
}

bool isAdmitted(const CMainWindow& window)
{
    return messages(window).contains(QStringLiteral("Voice Initialized"));
}

void send(CMainWindow& window, const QString& text)
{
    window.findChild<QLineEdit*>(QStringLiteral("leTextData"))->setText(text);
    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("btnSend")), Qt::LeftButton);
}

// A student window's configuration as pupil settles it from its command line.
StudentConfig studentConfig(const QString& identity, quint16 tcpPort, quint16 udpPort,
    const QStringList& arguments, const QString& knownServers)
{
    StudentConfig config;
    config.serverTcpAddress = config.serverUdpAddress = QHostAddress(QHostAddress::LocalHost);
    config.serverTcpPort = tcpPort;
    config.serverUdpPort = udpPort;
    config.localListenAddress = QHostAddress(QHostAddress::LocalHost);
    config.localListenPort = 0;
    config.identity = identity;
    config.knownServersPath = knownServers;
    config.readCommandLine(arguments);
    return config;
}

std::unique_ptr<ServerCLI> classroomServer(const QString& stateFolder, bool secure)
{
    ServerSettings settings;
    settings.listenAddress = settings.udpAddress = QHostAddress(QHostAddress::LocalHost);
    settings.listenPort = settings.udpPort = 0;
    if (secure) {
        settings.staffCode = kStaffCode;
        settings.studentCode = kStudentCode;
        settings.stateFolder = stateFolder;
    }
    return std::make_unique<ServerCLI>(settings, nullptr);
}

// Every datagram whose plain tag stands anywhere in it: a sealed one shows none.
int datagramsShowingATag(const QList<QByteArray>& datagrams)
{
    int showing = 0;
    for (const QByteArray& datagram : datagrams) {
        for (const QLatin1String tag : { WireFormat::kCommandTag, WireFormat::kTextTag,
                 WireFormat::kVoiceTag, WireFormat::kExtraDataTag }) {
            if (datagram.contains(QByteArray(tag.data(), tag.size()))) {
                ++showing;
                break;
            }
        }
    }
    return showing;
}

} // namespace

class TestSecureClass : public QObject
{
    Q_OBJECT

private slots:
    void refusalsAreShownAndNotRetried_data();
    void refusalsAreShownAndNotRetried();
    void podiumAndTwoStudentsHoldASecureClass();
};

void TestSecureClass::refusalsAreShownAndNotRetried_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("box");
    // Texts the box shows; "$SERVER" and "$OTHER" stand for the fingerprints of
    // the server's certificate and of another one.
    QTest::addColumn<QStringList>("shown");

    QTest::newRow("a wrong code is answered IDENTIFY:FAIL")
        << "wrong code" << CMainWindow::kIdentityBoxName
        << QStringList { QStringLiteral("Identification Failed!") };
    QTest::newRow("a pinned fingerprint of another certificate")
        << "other pin" << CMainWindow::kSecureBoxName
        << QStringList { QStringLiteral("presented the certificate $SERVER, not the certificate "
                                        "$OTHER that was given") };
    QTest::newRow("a remembered certificate that has changed")
        << "changed" << CMainWindow::kSecureBoxName
        << QStringList { QStringLiteral("has changed: it is now $SERVER, but $OTHER was "
                                        "remembered") };
    QTest::newRow("a plain server, never joined without TLS")
        << "plain server" << CMainWindow::kSecureBoxName
        << QStringList { QStringLiteral("may not be a secure server"),
               QStringLiteral("not retried without TLS") };
}

void TestSecureClass::refusalsAreShownAndNotRetried()
{
    QFETCH(QString, setup);
    QFETCH(QString, box);
    QFETCH(QStringList, shown);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ServerCertificate other;
    QVERIFY(other.loadOrCreate(dir.filePath(QStringLiteral("other"))));
    const std::unique_ptr<ServerCLI> server
        = classroomServer(dir.filePath(QStringLiteral("state")), setup != "plain server");
    QVERIFY(server->isListening());
    const MStudentServer* students = server->server()->currentStudentServer();
    const QString fingerprint = students->certificateFingerprint();
    const quint16 port = students->serverPort();

    const QString known = dir.filePath(QStringLiteral("known-servers"));
    const QByteArray knownLine
        = QStringLiteral("127.0.0.1:%1 %2\n").arg(port).arg(other.fingerprint()).toLatin1();
    QStringList arguments { QStringLiteral("-k") + kStudentCode };
    if (setup == "wrong code")
        arguments = QStringList { QStringLiteral("-kguessed"), QStringLiteral("-f") + fingerprint };
    else if (setup == "other pin")
        arguments << QStringLiteral("-f") + other.fingerprint();
    if (setup == "changed") {
        QFile file(known);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(knownLine);
    }

    CMainWindow window(
        studentConfig(QStringLiteral("anna"), port, students->boundUdpPort(), arguments, known));
    window.show();
    QMessageBox* refusal = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT(
        (refusal = window.findChild<QMessageBox*>(box)) != nullptr, kJoinTimeoutMs);
    for (QString text : shown) {
        text.replace(QStringLiteral("$SERVER"), fingerprint);
        text.replace(QStringLiteral("$OTHER"), other.fingerprint());
        QVERIFY2(refusal->text().contains(text), qPrintable(refusal->text()));
        QVERIFY2(messages(window).contains(text) || box == CMainWindow::kIdentityBoxName,
            qPrintable(messages(window)));
    }
    // Stopped for good: no retry is wanted or pending once the session is over.
    QTRY_VERIFY_WITH_TIMEOUT(!window.isConnectionActive(), kJoinTimeoutMs);
    QVERIFY(!window.isReconnectWanted());
    QVERIFY(!window.isReconnectScheduled());
    QVERIFY(!isAdmitted(window));
    QCOMPARE(students->readyClientList().size(), 0);
    // A refused certificate is never remembered in place of the old one.
    QFile file(known);
    if (setup == "changed") {
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), knownLine);
    } else {
        QVERIFY(!file.exists());
    }
}

void TestSecureClass::podiumAndTwoStudentsHoldASecureClass()
{
    const QByteArray speech = VoiceTestData::speech();
    QVERIFY2(!speech.isEmpty(), "the speechdata target makes the test speech");
    QTemporaryDir base;
    QVERIFY(base.isValid());
    const quint16 port = freePort();
    QVERIFY(port != 0);
    const QString address = QStringLiteral("127.0.0.1:%1").arg(port);

    // podium keeps its certificate and remembers the server it met in folders of
    // this test, not the user's.
    QProcessEnvironment folders;
    folders.insert(QStringLiteral("XDG_DATA_HOME"), base.filePath(QStringLiteral("data")));
    folders.insert(QStringLiteral("XDG_CONFIG_HOME"), base.filePath(QStringLiteral("config")));
    PodiumProcess podium(QStringLiteral("podium"), base.path());
    QVERIFY(podium.start(qEnvironmentVariable("CLASSROOM_BIN_DIR") + QStringLiteral("/podium"),
        { QStringLiteral("-s"), QStringLiteral("-l") + address, QStringLiteral("-e") + address,
            QStringLiteral("-m") + kStaffCode, QStringLiteral("-k") + kStudentCode },
        folders));

    // The teacher reads the invitation off podium's window.
    const QRegularExpression invitation(QStringLiteral("Secure class: pupil -t")
        + QRegularExpression::escape(address) + QStringLiteral(" -k")
        + QRegularExpression::escape(kStudentCode) + QStringLiteral(" -f([0-9a-f]{64})"));
    QRegularExpressionMatch found;
    QTRY_VERIFY_WITH_TIMEOUT((found = invitation.match(QString::fromUtf8(podium.log()))).hasMatch()
            || !podium.isRunning(),
        kJoinTimeoutMs);
    QVERIFY2(podium.isRunning(), "podium ended");
    const QString fingerprint = found.captured(1);
    // The server logs the line at start, the window once it has joined.
    QTRY_COMPARE_WITH_TIMEOUT(
        podium.logCount(QStringLiteral("Secure class: pupil")), 2, kJoinTimeoutMs);
    ServerCertificate kept;
    QVERIFY(kept.loadOrCreate(base.filePath(QStringLiteral("data/classroom/server"))));
    QCOMPARE(kept.fingerprint(), fingerprint);
    // podium's window had no -f: it trusted the certificate on first use.
    QFile remembered(base.filePath(QStringLiteral("config/classroom/known-servers")));
    QVERIFY(remembered.open(QIODevice::ReadOnly));
    QCOMPARE(remembered.readAll(), (address + QLatin1Char(' ') + fingerprint + '\n').toLatin1());

    SourceFeeder mouth(AudioHarness::sourceFifoPath(podium.dir()));
    QVERIFY(mouth.start(speech, true));

    TapRelay tap;
    QVERIFY(tap.start(QHostAddress(QHostAddress::LocalHost), port, port));
    const QStringList invited { QStringLiteral("-k") + kStudentCode,
        QStringLiteral("-f") + fingerprint };
    const QString known = base.filePath(QStringLiteral("students-known-servers"));
    CMainWindow anna(studentConfig(QStringLiteral("anna"), port, port, invited, known));
    CMainWindow ben(
        studentConfig(QStringLiteral("ben"), tap.tcpPort(), tap.udpPort(), invited, known));
    int voiceToAnna = 0;
    int voiceToBen = 0;
    connect(anna.session(), &MClientSession::packetReceived, this,
        [&](MAbstractSocket*, MDataType type, const QByteArray&) {
            voiceToAnna += type == VoiceData;
        });
    connect(ben.session(), &MClientSession::packetReceived, this,
        [&](MAbstractSocket*, MDataType type, const QByteArray&) {
            voiceToBen += type == VoiceData;
        });
    anna.show();
    ben.show();
    QTRY_VERIFY_WITH_TIMEOUT(isAdmitted(anna) && isAdmitted(ben), kJoinTimeoutMs);

    const QString secret = QStringLiteral("the secret word is marmalade");
    const QString answer = QStringLiteral("quince jelly for anna");
    send(ben, secret);
    send(anna, answer);
    QTRY_VERIFY_WITH_TIMEOUT(messages(anna).contains(secret), kJoinTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(messages(ben).contains(answer), kJoinTimeoutMs);
    // The teacher's voice, relayed from staff to both students.
    QTRY_VERIFY_WITH_TIMEOUT(voiceToAnna >= 50 && voiceToBen >= 50, kJoinTimeoutMs);
    mouth.stop();

    // What a listener on ben's path recorded: TLS records and sealed datagrams.
    const QByteArray stream = tap.tcpBytes();
    QVERIFY(stream.size() > 1000);
    for (const QString& plain : { secret, answer, kStudentCode, QStringLiteral("IDENTIFY"),
             QStringLiteral("CLASSCODE"), QStringLiteral("UDPKEY"), QStringLiteral("anna") })
        QVERIFY2(!stream.contains(plain.toUtf8()), qPrintable(plain));
    const QList<QByteArray> datagrams = tap.datagrams();
    QVERIFY(tap.datagramsToClient() >= voiceToBen);
    QCOMPARE(datagramsShowingATag(datagrams), 0);
    // Every datagram under ben's one key id, each longer than its seal.
    for (const QByteArray& datagram : datagrams) {
        QVERIFY(datagram.size() >= SealedDatagram::kOverhead + WireFormat::kTagSize);
        QCOMPARE(datagram.left(SealedDatagram::kKeyIdSize),
            datagrams.first().left(SealedDatagram::kKeyIdSize));
    }
    QVERIFY(!QFile::exists(known));
    QCOMPARE(podium.logCount(QStringLiteral("Secure class: pupil")), 2);
    qInfo("tap: %lld TCP bytes, %lld datagrams (%d to the student), %d and %d voice datagrams "
          "opened by the students",
        qint64(stream.size()), qint64(datagrams.size()), tap.datagramsToClient(), voiceToAnna,
        voiceToBen);
}

CLASSROOM_AUDIO_TEST_MAIN(TestSecureClass)
#include "tst_secureclass.moc"
