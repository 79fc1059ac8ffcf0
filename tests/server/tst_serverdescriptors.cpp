#include "childprocess.h"
#include "classroomclient.h"
#include "mtcpsocket.h"
#include "sessioncommands.h"

#include <csignal>
#include <sys/resource.h>

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace SessionCommand;

namespace {

// Descriptors podium may have open: some for itself, the rest for clients.
constexpr rlim_t kDescriptorLimit = 48;
constexpr int kClients = 64;

// podium started with a lowered descriptor limit of its own.
class LimitedProcess : public QProcess
{
protected:
    void setupChildProcess() override
    {
        const rlimit limit { kDescriptorLimit, kDescriptorLimit };
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
};

} // namespace

// A classroom server out of file descriptors keeps serving the clients it
// has and turns the others away at once.
class TstServerDescriptors : public QObject
{
    Q_OBJECT

private slots:
    void admissionsBeyondTheLimitFailCleanly();
};

void TstServerDescriptors::admissionsBeyondTheLimitFailCleanly()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // A copy of its own, so that no configuration file next to the build's
    // executable applies.
    const QString program = dir.filePath(QStringLiteral("podium"));
    QVERIFY(QFile::copy(
        qEnvironmentVariable("CLASSROOM_BIN_DIR") + QStringLiteral("/podium"), program));
    QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner));

    LimitedProcess podium;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), dir.path());
    podium.setProcessEnvironment(env);
    podium.setWorkingDirectory(dir.path());
    podium.start(
        program, { QStringLiteral("-s"), QStringLiteral("-n"), QStringLiteral("-l127.0.0.1:0") });
    QVERIFY(podium.waitForStarted());
    QString err;
    const QRegularExpression where(
        QStringLiteral("clients connect to TCP [0-9.]+:(\\d+) and UDP [0-9.]+:(\\d+)"));
    QRegularExpressionMatch match;
    QVERIFY(QTest::qWaitFor(
        [&] {
            err += QString::fromLocal8Bit(podium.readAllStandardError());
            match = where.match(err);
            return match.hasMatch() || podium.state() == QProcess::NotRunning;
        },
        30000));
    QVERIFY2(match.hasMatch(), qPrintable(err));
    const quint16 tcpPort = quint16(match.captured(1).toUInt());
    const quint16 udpPort = quint16(match.captured(2).toUInt());
    const QHostAddress local(QHostAddress::LocalHost);

    QList<ClassroomClient*> clients;
    int ready = 0;
    int refused = 0;
    for (int i = 0; i < kClients; ++i) {
        auto* client = new ClassroomClient(QStringLiteral("c%1").arg(i), this);
        clients.append(client);
        connect(client, &ClassroomClient::becameReady, this, [&ready] { ++ready; });
        connect(client, &ClassroomClient::tcpDisconnected, this, [&refused, client] {
            if (!client->isReady())
                ++refused;
        });
        QVERIFY(client->connectToServer(local, tcpPort, local, udpPort));
    }
    // Every client is either admitted or sees its connection closed; none hangs.
    QTRY_VERIFY_WITH_TIMEOUT(ready + refused == kClients, 60000);
    QVERIFY2(ready >= 2 && refused >= 1,
        qPrintable(QStringLiteral("%1 ready, %2 refused").arg(ready).arg(refused)));

    QList<ClassroomClient*> admitted;
    for (ClassroomClient* client : qAsConst(clients)) {
        if (client->isReady())
            admitted.append(client);
    }
    // The admitted still talk: text to all, voice to the others.
    ClassroomClient* first = admitted.first();
    ClassroomClient* last = admitted.last();
    first->sendText(QString(), QStringLiteral("still here"));
    const QByteArray text
        = MAbstractSocket::encodeTextPacket(first->identity(), QStringLiteral("still here"));
    QTRY_VERIFY(last->payloads(TextData, false).contains(text));
    last->sendVoice("voice", 9);
    QTRY_VERIFY(first->payloads(VoiceData, true)
                    .contains(MAbstractSocket::intToByteArray(9) + QByteArray("voice")));

    // Said once, however many were turned away.
    const auto saidFull = [&] {
        err += QString::fromLocal8Bit(podium.readAllStandardError());
        return err.count(QStringLiteral("Cannot accept connections"));
    };
    QTRY_COMPARE(saidFull(), 1);

    // A departure frees descriptors: the next client gets in again.
    first->exitClass();
    QTRY_VERIFY(!first->isTcpConnected());
    auto* late = new ClassroomClient(QStringLiteral("late"), this);
    clients.append(late);
    QVERIFY(late->connectToServer(local, tcpPort, local, udpPort));
    QTRY_VERIFY_WITH_TIMEOUT(late->isReady(), 30000);

    QVERIFY(podium.state() == QProcess::Running);
    QVERIFY(ChildProcess::signalAndWait(podium, SIGTERM));
    qDeleteAll(clients);
}

QTEST_GUILESS_MAIN(TstServerDescriptors)
#include "tst_serverdescriptors.moc"
