// pupil's start-up in a child process: a copy of the program in a folder of
// its own, with the identity file and configuration file next to it, so the
// precedence of files and options is seen as a student's machine sees it.

#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "childprocess.h"

namespace {

constexpr int kStartTimeoutMs = 30000;

// An address where nothing listens: the students started here find no class.
const QString kNowhere = QStringLiteral("127.0.0.1:9");

} // namespace

class TestPupilStartup : public QObject
{
    Q_OBJECT

private slots:
    void precedence_data();
    void precedence();
    void logFileHasATimeStampPerRun();
    void answersBeforeADisplay_data();
    void answersBeforeADisplay();
    void installedProgramUsesTheUsersFolders();

private:
    // Copies pupil into dir once; gives its path, or empty.
    static QString programIn(const QString& dir);
    // Runs pupil from `dir` until this run's configuration line is in the
    // log; gives the whole log.
    static QString runOnce(const QString& dir, const QStringList& arguments);
    // Waits until the log at `logPath`, past its first `from` bytes, holds the
    // configuration line, or pupil ends; then stops pupil. Gives the whole log
    // if the line came, else empty.
    static QString logOnceStarted(QProcess& process, const QString& logPath, qint64 from);
};

QString TestPupilStartup::programIn(const QString& dir)
{
    const QString program = dir + QStringLiteral("/pupil");
    if (!QFile::exists(program)
        && !QFile::copy(
            qEnvironmentVariable("CLASSROOM_BIN_DIR") + QStringLiteral("/pupil"), program))
        return QString();
    return program;
}

QString TestPupilStartup::runOnce(const QString& dir, const QStringList& arguments)
{
    const QString program = programIn(dir);
    if (program.isEmpty())
        return QString();
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    // This run's lines come after what earlier runs left.
    const QString logPath = dir + QStringLiteral("/logclient.log");
    const qint64 before = QFileInfo(logPath).size();
    process.start(program, arguments);
    if (!process.waitForStarted(10000))
        return QString();
    return logOnceStarted(process, logPath, before);
}

QString TestPupilStartup::logOnceStarted(QProcess& process, const QString& logPath, qint64 from)
{
    QString text;
    bool seen = false;
    (void)QTest::qWaitFor(
        [&] {
            QFile log(logPath);
            if (log.open(QIODevice::ReadOnly))
                text = QString::fromLocal8Bit(log.readAll());
            seen = text.mid(int(from)).contains(QLatin1String("Student configuration:"));
            return seen || process.state() == QProcess::NotRunning;
        },
        kStartTimeoutMs);
    ChildProcess::stop(process);
    return seen ? text : QString();
}

void TestPupilStartup::precedence_data()
{
    QTest::addColumn<QByteArray>("identityFile");
    QTest::addColumn<QByteArray>("configFile");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected");

    const QString nowhere = QStringLiteral("-e") + kNowhere;
    QTest::newRow("no files and no arguments give the defaults")
        << QByteArray() << QByteArray() << QStringList()
        << "TCP 127.0.0.1:2030 UDP 127.0.0.1:2030 local 0.0.0.0:1800 identity \"\" "
           "title \"Zavro Voice Chat / Student\" advanced no position -1,-1";
    QTest::newRow("the identity file's last word is the identity")
        << QByteArray("class 7 anna\n") << QByteArray() << QStringList { nowhere }
        << "identity \"anna\"";
    QTest::newRow("-i overrides the identity file")
        << QByteArray("class 7 anna\n") << QByteArray() << QStringList { nowhere, "-iben" }
        << "identity \"ben\"";
    QTest::newRow("the configuration file's identity overrides both")
        << QByteArray("class 7 anna\n") << QByteArray("127.0.0.1:9\nIDENTIFY carla\n")
        << QStringList { "-iben" } << "identity \"carla\"";
    QTest::newRow("the configuration file's address replaces -e")
        << QByteArray() << QByteArray("127.0.0.1:9\n")
        << QStringList { "-e10.1.2.3:4000", "-u10.1.2.4:4001" }
        << "TCP 127.0.0.1:9 UDP 127.0.0.1:9";
    QTest::newRow("options for the window and the wait server")
        << QByteArray() << QByteArray()
        << QStringList { nowhere, "-cClass 7b", "-a", "-x100", "-p127.0.0.1:1900", "-z" }
        << "local 127.0.0.1:1900 identity \"\" title \"Class 7b\" advanced yes position "
           "100,-1 UDP text probe yes log level normal";
    QTest::newRow("unknown options are named in one warning, the rest still read")
        << QByteArray() << QByteArray() << QStringList { "-q7", nowhere, "--fast", "-dtrace" }
        << "\r\nUnknown options ignored: -q7 --fast\r\n";
    QTest::newRow("the files next to a program in a writable folder")
        << QByteArray() << QByteArray() << QStringList { nowhere } << "(next to the program)";
}

void TestPupilStartup::precedence()
{
    QFETCH(QByteArray, identityFile);
    QFETCH(QByteArray, configFile);
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (!identityFile.isEmpty()) {
        QFile file(dir.filePath(QStringLiteral("IDA.DAT")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(identityFile);
    }
    if (!configFile.isEmpty()) {
        QFile file(dir.filePath(QStringLiteral("cl.dat")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(configFile);
    }
    const QString log = runOnce(dir.path(), arguments);
    QVERIFY2(!log.isEmpty(), "pupil wrote no configuration line");
    QVERIFY2(log.contains(expected), qPrintable(log.section(QLatin1Char('\n'), 0, 6)));
    QCOMPARE(
        log.contains(QLatin1String("Error: Can't Read IDA.DAT fiel.")), identityFile.isEmpty());
}

void TestPupilStartup::logFileHasATimeStampPerRun()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QStringList arguments { QStringLiteral("-e") + kNowhere };
    QVERIFY(!runOnce(dir.path(), arguments).isEmpty());
    const QString log = runOnce(dir.path(), arguments);
    // Appended: two runs, each below a blank-line-separated time stamp.
    QCOMPARE(log.count(QLatin1String("Student configuration:")), 2);
    QVERIFY(log.startsWith(QLatin1String("\r\n\r\n")));
    const QRegularExpression stamp(
        QStringLiteral("\r\n\r\n\\w{3} \\w{3} +\\d+ \\d\\d:\\d\\d:\\d\\d \\d{4}\r\n"));
    QCOMPARE(log.count(stamp), 2);
    QVERIFY(log.contains(QLatin1String("\r\nError: Can't Read IDA.DAT fiel.\r\n")));
}

void TestPupilStartup::answersBeforeADisplay_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output"); // standard output, then standard error

    QTest::newRow("a window position that is not a number")
        << QStringList { "-xabc" } << 2
        << "pupil: -xabc: \"abc\" is not a whole number (expected -x<number>, as in -x100)\n"
           "pupil: nothing started; pupil --help lists the options\n";
    QTest::newRow("a wait-server port beyond 65535 and a server without an address")
        << QStringList { "-p0.0.0.0:70000", "-e:2030" } << 2
        << "pupil: -p0.0.0.0:70000: the port must be a number from 0 (any free port) to 65535 "
           "(expected -p<address:port>, as in -p0.0.0.0:4060)\n"
           "pupil: -e:2030: the address is missing (expected -e<host:port>, as in "
           "-eserver.school.lan:4060)\n"
           "pupil: nothing started; pupil --help lists the options\n";
    QTest::newRow("a fingerprint with a digit too many, a code missing")
        << QStringList { QStringLiteral("-f") + QString(65, QLatin1Char('0')), "-k" } << 2
        << QStringLiteral("pupil: -f") + QString(65, QLatin1Char('0'))
            + QStringLiteral(": a fingerprint is 64 hex digits (SHA-256) (expected -f<64 hex "
                             "digits>, as in -f3f5c")
            + QString(60, QLatin1Char('0'))
            + QStringLiteral(")\npupil: -k: the value is missing; it follows the letter with no "
                             "blank (expected -k<text>, as in -kRoom 12)\n"
                             "pupil: nothing started; pupil --help lists the options\n");
    QTest::newRow("--help lists pupil's own options")
        << QStringList { "--help" } << 0 << "\n  -p<address:port> ";
    QTest::newRow("--version") << QStringList { "--version" } << 0 << "pupil 1.";
}

void TestPupilStartup::answersBeforeADisplay()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString program = programIn(dir.path());
    QVERIFY(!program.isEmpty());
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    QVERIFY(process.waitForStarted(10000));
    // No event loop ran since the start: its end cannot have been consumed.
    QVERIFY(process.waitForFinished(kStartTimeoutMs));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    const QString text = QString::fromLocal8Bit(process.readAllStandardOutput())
        + QString::fromLocal8Bit(process.readAllStandardError());
    QVERIFY2(exitCode == 0 ? text.contains(output) : text == output, qPrintable(text));
    // Nothing started: no log next to the program.
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("logclient.log"))));
}

void TestPupilStartup::installedProgramUsesTheUsersFolders()
{
    // A folder the program cannot write: for root, whom permissions do not
    // stop, the program runs as an unprivileged user instead.
    const bool root = geteuid() == 0;
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (root && setpriv.isEmpty())
        QSKIP("running as root without setpriv: no user to whom a folder is closed");
    QTemporaryDir programDir;
    QTemporaryDir homeDir;
    QVERIFY(programDir.isValid() && homeDir.isValid());
    const QString program = programIn(programDir.path());
    QVERIFY(!program.isEmpty());
    const QString home = homeDir.path();
    QVERIFY(QDir(home).mkpath(QStringLiteral(".config/pupil")));
    {
        QFile identity(home + QStringLiteral("/.config/pupil/IDA.DAT"));
        QVERIFY(identity.open(QIODevice::WriteOnly));
        identity.write("desk 4 dora\n");
    }
    // Beside the program: a file that must not be read.
    {
        QFile beside(programDir.filePath(QStringLiteral("IDA.DAT")));
        QVERIFY(beside.open(QIODevice::WriteOnly));
        beside.write("wrong\n");
    }
    const QFile::Permissions readAndRun = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup
        | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    QVERIFY(QFile::setPermissions(programDir.path(), readAndRun));
    QVERIFY(QFile::setPermissions(
        home, readAndRun | QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther));
    QVERIFY(QFile::setPermissions(home + QStringLiteral("/.config"), readAndRun));
    QVERIFY(QFile::setPermissions(home + QStringLiteral("/.config/pupil"), readAndRun));

    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    environment.insert(QStringLiteral("HOME"), home);
    environment.remove(QStringLiteral("XDG_CONFIG_HOME"));
    environment.remove(QStringLiteral("XDG_STATE_HOME"));
    environment.remove(QStringLiteral("LOGS_DIRECTORY"));
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    const QStringList arguments { QStringLiteral("-e") + kNowhere };
    if (root) {
        process.start(setpriv,
            QStringList { QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                QStringLiteral("--clear-groups"), program }
                + arguments);
    } else {
        process.start(program, arguments);
    }
    QVERIFY(process.waitForStarted(10000));
    const QString logPath = home + QStringLiteral("/.local/state/pupil/logclient.log");
    const QString log = logOnceStarted(process, logPath, 0);
    QVERIFY2(!log.isEmpty(), qPrintable(QString::fromLocal8Bit(process.readAll())));
    QVERIFY2(log.contains(QStringLiteral("Files: identity and configuration in ") + home
                 + QStringLiteral("/.config/pupil, log ") + logPath
                 + QStringLiteral(" (the user's folders)")),
        qPrintable(log));
    QVERIFY2(log.contains(QLatin1String("identity \"dora\"")), qPrintable(log));
    QVERIFY(!QFile::exists(programDir.filePath(QStringLiteral("logclient.log"))));
    // Let the temporary folders be removed.
    QFile::setPermissions(programDir.path(), readAndRun | QFile::WriteOwner);
}

QTEST_GUILESS_MAIN(TestPupilStartup)
#include "tst_pupilstartup.moc"
