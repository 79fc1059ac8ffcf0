#include "childprocess.h"
#include "classroomclient.h"
#include "configtesting.h"
#include "programlog.h"
#include "servercertificate.h"

#include <csignal>

#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const char* const kFatalChildVariable = "TST_PODIUM_FATAL_CHILD";

using ConfigTesting::writeFile;

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// podium as a child process in a folder of its own: its files lie next to
// the copy of the executable and its log goes to the same folder.
class PodiumRun
{
public:
    explicit PodiumRun(const QTemporaryDir& dir) : m_dir(dir)
    {
        const QString source
            = qEnvironmentVariable("CLASSROOM_BIN_DIR") + QStringLiteral("/podium");
        m_program = dir.filePath(QStringLiteral("podium"));
        m_copied = QFile::copy(source, m_program)
            && QFile::setPermissions(
                m_program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), dir.path());
        m_process.setProcessEnvironment(env);
        m_process.setWorkingDirectory(dir.path());
    }
    ~PodiumRun() { ChildProcess::signalAndWait(m_process, SIGKILL, 5000); }

    bool copied() const { return m_copied; }
    // As on a server box: no display and no platform chosen.
    void withoutDisplay()
    {
        QProcessEnvironment env = m_process.processEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        m_process.setProcessEnvironment(env);
    }
    void setEnvironment(const QString& name, const QString& value)
    {
        QProcessEnvironment env = m_process.processEnvironment();
        env.insert(name, value);
        m_process.setProcessEnvironment(env);
    }
    void start(const QStringList& arguments) { m_process.start(m_program, arguments); }
    QProcess& process() { return m_process; }
    QString standardError()
    {
        m_stderr += QString::fromLocal8Bit(m_process.readAllStandardError());
        return m_stderr;
    }
    QString log() const
    {
        return QString::fromLocal8Bit(readFile(m_dir.filePath(QStringLiteral("logpodium.log"))));
    }
    // Waits for the line that says where clients connect; gives the TCP and UDP ports.
    bool waitForServer(quint16& tcpPort, quint16& udpPort)
    {
        const QRegularExpression where(
            QStringLiteral("clients connect to TCP [0-9.]+:(\\d+) and UDP [0-9.]+:(\\d+)"));
        QRegularExpressionMatch match;
        const bool seen = QTest::qWaitFor(
            [&] {
                match = where.match(standardError());
                return match.hasMatch() || m_process.state() == QProcess::NotRunning;
            },
            30000);
        if (!seen || !match.hasMatch())
            return false;
        tcpPort = m_tcpPort = quint16(match.captured(1).toUInt());
        udpPort = m_udpPort = quint16(match.captured(2).toUInt());
        return true;
    }
    // Connects `client` to the server waitForServer() found.
    bool connectClient(ClassroomClient& client)
    {
        const QHostAddress local(QHostAddress::LocalHost);
        return client.connectToServer(local, m_tcpPort, local, m_udpPort);
    }
    // Waits for the server and lets `client` in: false unless it is ready within 20 s.
    bool admit(ClassroomClient& client)
    {
        quint16 tcpPort = 0;
        quint16 udpPort = 0;
        return waitForServer(tcpPort, udpPort) && connectClient(client)
            && QTest::qWaitFor([&] { return client.isReady(); }, 20000);
    }
    bool terminate(int signalNumber = SIGTERM)
    {
        const bool finished = ChildProcess::signalAndWait(m_process, signalNumber);
        standardError();
        return finished;
    }
    QString configurationLine()
    {
        const QStringList lines = standardError().split(QLatin1Char('\n'));
        for (const QString& line : lines) {
            if (line.startsWith(QStringLiteral("Configuration: ")))
                return line;
        }
        return QString();
    }

private:
    const QTemporaryDir& m_dir;
    QString m_program;
    bool m_copied = false;
    QProcess m_process;
    QString m_stderr;
    quint16 m_tcpPort = 0;
    quint16 m_udpPort = 0;
};

} // namespace

// podium's start-up as a whole: the executable run in a scratch folder.
class TstPodium : public QObject
{
    Q_OBJECT

private slots:
    void configurationPrecedence_data();
    void configurationPrecedence();
    void headlessWithoutServerIsAUsageError();
    void badValuesAreRefusedBeforeStart_data();
    void badValuesAreRefusedBeforeStart();
    void helpAndVersionWithoutDisplay_data();
    void helpAndVersionWithoutDisplay();
    void unknownOptionsAreNamedInOneWarning();
    void quietLevelKeepsTheServerOutOfTheLog();
    void secureServerBoxPrintsTheInvitation();
    void listenFailureIsLoggedAndServerStays();
    void terminationEndsTheClassCleanly_data();
    void terminationEndsTheClassCleanly();
    void fatalMessageFormat();
};

void TstPodium::configurationPrecedence_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("expected");

    // files: name, content, name, content...
    QTest::newRow("no files and no arguments give the defaults")
        << QStringList() << QStringList()
        << QStringList { QStringLiteral("server TCP 127.0.0.1:4060, UDP 127.0.0.1:4060"),
               QStringLiteral("identity []"),
               QStringLiteral("title [ZAVRO Voice Chat Assist-or]") };
    QTest::newRow("the identity file replaces -i")
        << QStringList { QStringLiteral("-ibob") }
        << QStringList { QStringLiteral("IDA.DAT"), QStringLiteral("Room 7 ida\n") }
        << QStringList { QStringLiteral("identity [ida]") };
    QTest::newRow("-i stands when there is no identity file")
        << QStringList { QStringLiteral("-ibob") } << QStringList()
        << QStringList { QStringLiteral("identity [bob]") };
    QTest::newRow("the configuration file's IDENTIFY replaces the identity file")
        << QStringList()
        << QStringList { QStringLiteral("IDA.DAT"), QStringLiteral("ida"),
               QStringLiteral("CL3.DAT"), QStringLiteral("10.1.1.1:4100\nIDENTIFY   carol \n") }
        << QStringList { QStringLiteral("identity [carol]"),
               QStringLiteral("server TCP 10.1.1.1:4100, UDP 10.1.1.1:4100") };
    QTest::newRow("the configuration file overrides the command line")
        << QStringList { QStringLiteral("-t10.5.5.5:1") }
        << QStringList { QStringLiteral("client.dat"), QStringLiteral("10.6.6.6:2") }
        << QStringList { QStringLiteral("server TCP 10.6.6.6:2, UDP 10.6.6.6:2") };
    QTest::newRow("a bare argument names the file over server.dat")
        << QStringList { QStringLiteral("mine.cfg") }
        << QStringList { QStringLiteral("server.dat"), QStringLiteral(".external3"),
               QStringLiteral("mine.cfg"), QStringLiteral("10.2.2.2:4200") }
        << QStringList { QStringLiteral("server TCP 10.2.2.2:4200") };
    QTest::newRow("server.dat without CL3.DAT")
        << QStringList()
        << QStringList { QStringLiteral("server.dat"), QStringLiteral(".external2") }
        << QStringList { QStringLiteral("server TCP 127.0.0.1:4061, UDP 127.0.0.1:4061") };
    QTest::newRow("a listening internal server lends the empty identity Local User")
        << QStringList { QStringLiteral("-s") } << QStringList()
        << QStringList { QStringLiteral("identity [Local User]"),
               QStringLiteral("internal server yes") };
    QTest::newRow(".uget in the file switches off the internal server of -s")
        << QStringList { QStringLiteral("-s") }
        << QStringList { QStringLiteral("CL3.DAT"), QStringLiteral(".uget<def3>") }
        << QStringList { QStringLiteral("internal server no"), QStringLiteral("fetch yes"),
               QStringLiteral("publishing host [127.0.0.1:8482]") };
}

void TstPodium::configurationPrecedence()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, files);
    QFETCH(QStringList, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (int i = 0; i + 1 < files.size(); i += 2)
        QVERIFY(writeFile(dir.filePath(files.at(i)), files.at(i + 1).toUtf8()));
    PodiumRun podium(dir);
    QVERIFY(podium.copied());
    podium.start(arguments + QStringList { QStringLiteral("-n"), QStringLiteral("-l127.0.0.1:0") });
    QVERIFY(podium.process().waitForStarted());
    QVERIFY(QTest::qWaitFor([&] { return !podium.configurationLine().isEmpty(); }, 30000));
    if (podium.configurationLine().contains(QStringLiteral("internal server yes"))) {
        quint16 tcp = 0;
        quint16 udp = 0;
        QVERIFY(podium.waitForServer(tcp, udp));
        QVERIFY(podium.terminate());
    } else {
        QVERIFY(ChildProcess::waitForEnd(podium.process()));
        QCOMPARE(podium.process().exitCode(), 2);
    }
    const QString line = podium.configurationLine();
    for (const QString& part : qAsConst(expected))
        QVERIFY2(line.contains(part), qPrintable(line));
}

void TstPodium::headlessWithoutServerIsAUsageError()
{
    QTemporaryDir dir;
    PodiumRun podium(dir);
    QVERIFY(podium.copied());
    podium.start({ QStringLiteral("-n") });
    QVERIFY(ChildProcess::waitForEnd(podium.process()));
    QCOMPARE(podium.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(podium.process().exitCode(), 2);
    const QStringList lines = podium.standardError().trimmed().split(QLatin1Char('\n'));
    QVERIFY(lines.last().startsWith(QStringLiteral("podium: ")));
    QVERIFY(lines.last().contains(QStringLiteral("usage: podium -s -n")));
    QVERIFY(!podium.log().contains(QStringLiteral("SERVER:")));
}

void TstPodium::badValuesAreRefusedBeforeStart_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("level"); // PODIUM_LOG_LEVEL, or empty
    QTest::addColumn<QString>("message");

    QTest::newRow("a listen port beyond 65535")
        << QStringList { "-s", "-n", "-l0.0.0.0:99999" } << QString()
        << "podium: -l0.0.0.0:99999: the port must be a number from 0 (any free port) to 65535";
    QTest::newRow("a listen address that does not parse")
        << QStringList { "-s", "-n", "-lgarbage" } << QString()
        << "podium: -lgarbage: \"garbage\" is not an address (expected -l<address:port>";
    QTest::newRow("a fingerprint that is not 64 hex digits")
        << QStringList { "-s", "-n", "-l127.0.0.1:0", "-kpupils", "-f3f5c" } << QString()
        << "podium: -f3f5c: a fingerprint is 64 hex digits (SHA-256) (expected -f<64 hex digits>";
    QTest::newRow("plain addresses with a host name among them")
        << QStringList { "-s", "-n", "-l127.0.0.1:0", "-mteach", "-w127.0.0.1,console.lan" }
        << QString()
        << "podium: -w127.0.0.1,console.lan: \"console.lan\" is not an IPv4 address (expected "
           "-w<address,address...>, as in -w127.0.0.1,10.0.0.5)";
    QTest::newRow("a staff code missing")
        << QStringList { "-s", "-n", "-l127.0.0.1:0", "-m" } << QString()
        << "podium: -m: the value is missing; it follows the letter with no blank";
    QTest::newRow("a log level from the service that is not one")
        << QStringList { "-s", "-n", "-l127.0.0.1:0" } << "loud"
        << "podium: PODIUM_LOG_LEVEL=loud: not a log level (expected one of quiet, normal, trace)";
}

void TstPodium::badValuesAreRefusedBeforeStart()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, level);
    QFETCH(QString, message);
    QTemporaryDir dir;
    PodiumRun podium(dir);
    QVERIFY(podium.copied());
    podium.withoutDisplay();
    if (!level.isEmpty())
        podium.setEnvironment(QStringLiteral("PODIUM_LOG_LEVEL"), level);
    podium.start(arguments);
    QVERIFY(ChildProcess::waitForEnd(podium.process()));
    QCOMPARE(podium.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(podium.process().exitCode(), 2);
    const QString err = podium.standardError();
    QVERIFY2(err.contains(message), qPrintable(err));
    QVERIFY2(err.contains(QStringLiteral("nothing started")), qPrintable(err));
    // Refused before anything started: no log, no server.
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("logpodium.log"))));
}

void TstPodium::helpAndVersionWithoutDisplay_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("output");

    QTest::newRow("--help lists podium's options, even after a bad value")
        << QStringList { "-lgarbage", "--help" }
        << QStringList { "Usage: podium [options] [configuration file]", "\n  -l<address:port> ",
               "\n  -s ", "\n  -n ", "\n  -d<quiet|normal|trace> ", "\n  --version ",
               "PODIUM_LOG_LEVEL" };
    QTest::newRow("--version names the program and its version")
        << QStringList { "--version" } << QStringList { "podium 1." };
}

void TstPodium::helpAndVersionWithoutDisplay()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, output);
    QTemporaryDir dir;
    PodiumRun podium(dir);
    QVERIFY(podium.copied());
    podium.withoutDisplay();
    podium.start(arguments);
    QVERIFY(ChildProcess::waitForEnd(podium.process()));
    QCOMPARE(podium.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(podium.process().exitCode(), 0);
    const QString out = QString::fromLocal8Bit(podium.process().readAllStandardOutput());
    for (const QString& part : qAsConst(output))
        QVERIFY2(out.contains(part), qPrintable(out));
    QCOMPARE(podium.standardError(), QString());
}

void TstPodium::unknownOptionsAreNamedInOneWarning()
{
    QTemporaryDir dir;
    PodiumRun podium(dir);
    QVERIFY(podium.copied());
    podium.withoutDisplay();
    podium.start({ QStringLiteral("-s"), QStringLiteral("-q"), QStringLiteral("-n"),
        QStringLiteral("--fast"), QStringLiteral("-l127.0.0.1:0") });
    quint16 tcp = 0;
    quint16 udp = 0;
    QVERIFY2(podium.waitForServer(tcp, udp), qPrintable(podium.standardError()));
    QVERIFY(podium.terminate());
    const QStringList warnings
        = podium.standardError().split(QLatin1Char('\n')).filter(QStringLiteral("Unknown options"));
    QCOMPARE(
        warnings, QStringList { QStringLiteral("Warning: Unknown options ignored: -q --fast") });
    QVERIFY(podium.log().contains(QStringLiteral("\r\nUnknown options ignored: -q --fast\r\n")));
    // Where its files are, once, at the start.
    QCOMPARE(podium.log().count(QStringLiteral("Files: identity and configuration in ")), 1);
}

void TstPodium::quietLevelKeepsTheServerOutOfTheLog()
{
    QTemporaryDir dir;
    PodiumRun podium(dir);
    QVERIFY(podium.copied());
    podium.withoutDisplay();
    podium.setEnvironment(QStringLiteral("PODIUM_LOG_LEVEL"), QStringLiteral("trace"));
    // The option wins over the service's setting.
    podium.start({ QStringLiteral("-s"), QStringLiteral("-n"), QStringLiteral("-l127.0.0.1:0"),
        QStringLiteral("-dquiet") });
    // The server still admits a client; only the log is quiet.
    ClassroomClient client(QStringLiteral("ann"));
    QVERIFY2(podium.admit(client), qPrintable(podium.standardError()));
    QVERIFY(podium.terminate());
    const QString log = podium.log();
    QVERIFY(!log.isEmpty());
    QVERIFY2(!log.contains(QStringLiteral("SERVER")), qPrintable(log));
    QVERIFY(!podium.standardError().contains(QStringLiteral("SERVER")));
}

void TstPodium::secureServerBoxPrintsTheInvitation()
{
    QTemporaryDir dir;
    const QString state = dir.filePath(QStringLiteral("state"));
    QStringList printed;
    // Twice: the certificate stays in the service's state folder across restarts.
    for (int run = 0; run < 2; ++run) {
        PodiumRun podium(dir);
        QVERIFY(run == 1 || podium.copied());
        podium.withoutDisplay();
        podium.setEnvironment(QStringLiteral("STATE_DIRECTORY"), state);
        podium.start({ QStringLiteral("-s"), QStringLiteral("-n"), QStringLiteral("-l127.0.0.1:0"),
            QStringLiteral("-mteach"), QStringLiteral("-kpupils") });
        quint16 tcpPort = 0;
        quint16 udpPort = 0;
        QVERIFY2(podium.waitForServer(tcpPort, udpPort), qPrintable(podium.standardError()));
        const QRegularExpression invitation(QStringLiteral(
            "\npodium: Secure class: pupil -t127.0.0.1:%1 -kpupils -f([0-9a-f]{64})\n")
                                                .arg(tcpPort));
        QRegularExpressionMatch match;
        QTRY_VERIFY_WITH_TIMEOUT(
            (match = invitation.match(podium.standardError())).hasMatch(), 10000);
        printed << match.captured(1);
        QVERIFY(podium.terminate());
    }
    ServerCertificate kept;
    QVERIFY(kept.loadOrCreate(state));
    QCOMPARE(printed, QStringList({ kept.fingerprint(), kept.fingerprint() }));
}

void TstPodium::listenFailureIsLoggedAndServerStays()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress(QHostAddress::LocalHost), 0));
    QTemporaryDir dir;
    PodiumRun podium(dir);
    QVERIFY(podium.copied());
    podium.start({ QStringLiteral("-s"), QStringLiteral("-n"),
        QStringLiteral("-l127.0.0.1:") + QString::number(holder.serverPort()) });
    QVERIFY(QTest::qWaitFor(
        [&] { return podium.standardError().contains(QStringLiteral("not listening")); }, 30000));
    QVERIFY(podium.process().state() == QProcess::Running);
    QVERIFY(podium.configurationLine().contains(QStringLiteral("identity []")));
    QVERIFY(podium.terminate());

    const QString log = podium.log();
    const int failed = log.indexOf(QStringLiteral("SERVER: MStudentServer: Listen Failed!\r\n"));
    QVERIFY2(failed >= 0, qPrintable(log));
    QVERIFY(log.indexOf(QStringLiteral("Servers Listening..."), failed) > failed);
}

void TstPodium::terminationEndsTheClassCleanly_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TstPodium::terminationEndsTheClassCleanly()
{
    QFETCH(int, signalNumber);
    QTemporaryDir dir;
    PodiumRun podium(dir);
    QVERIFY(podium.copied());
    podium.start({ QStringLiteral("-s"), QStringLiteral("-n"), QStringLiteral("-l127.0.0.1:0") });
    ClassroomClient client(QStringLiteral("ann"));
    QVERIFY2(podium.admit(client), qPrintable(podium.standardError()));
    QSignalSpy gone(&client, &ClassroomClient::tcpDisconnected);
    // One more that never gets past the first handshake step: its records and
    // timers must go too (the leak checker of a sanitizer build would fail the exit).
    ClassroomClient waiting(QStringLiteral("waiting"));
    waiting.setAutoHandshake(false);
    QVERIFY(podium.connectClient(waiting));
    QTRY_VERIFY_WITH_TIMEOUT(!waiting.commands().isEmpty(), 20000);
    QSignalSpy waitingGone(&waiting, &ClassroomClient::tcpDisconnected);

    QVERIFY(podium.terminate(signalNumber));
    QTRY_COMPARE_WITH_TIMEOUT(gone.count(), 1, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(waitingGone.count(), 1, 20000);
    QCOMPARE(podium.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(podium.process().exitCode(), 0);

    const QStringList lines = podium.log().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    QVERIFY(!lines.isEmpty());
    QCOMPARE(lines.last(), QStringLiteral("SERVER:  Servers Closed."));
    QCOMPARE(lines.filter(QStringLiteral("removeClientImpl_unsafe")).size(), 1);
    QCOMPARE(lines.filter(QStringLiteral("removeNonReadyClientImpl_unsafe")).size(), 1);
}

void TstPodium::fatalMessageFormat()
{
    QTemporaryDir dir;
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kFatalChildVariable), dir.filePath(QStringLiteral("fatal.log")));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(ChildProcess::waitForEnd(child));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    const QByteArray err = child.readAllStandardError();
    QVERIFY2(
        err.contains("before the end\nWarning: a warning\nFatal: the end 7\n"), err.constData());
    const QByteArray log = readFile(dir.filePath(QStringLiteral("fatal.log")));
    QVERIFY2(log.endsWith("before the end\r\na warning\r\nthe end 7\r\n"), log.constData());
    QVERIFY(log.startsWith("\r\n\r\n"));
}

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsSet(kFatalChildVariable)) {
        QCoreApplication app(argc, argv);
        ProgramLog::open(qEnvironmentVariable(kFatalChildVariable));
        ProgramLog::install();
        qDebug("before the end");
        qWarning("a warning");
        qFatal("the end %d", 7);
        return 0;
    }
    QCoreApplication app(argc, argv);
    TstPodium test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_podium.moc"
