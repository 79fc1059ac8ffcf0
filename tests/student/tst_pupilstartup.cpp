// pupil's start-up in a child process: a copy of the program in a folder of
// its own, with the identity file and configuration file next to it, so the
// precedence of files and options is seen as a student's machine sees it.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

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

private:
    // Runs pupil from `dir` until this run's configuration line is in the
    // log; gives the whole log.
    static QString runOnce(const QString& dir, const QStringList& arguments);
};

QString TestPupilStartup::runOnce(const QString& dir, const QStringList& arguments)
{
    const QString program = dir + QStringLiteral("/pupil");
    if (!QFile::exists(program)
        && !QFile::copy(qEnvironmentVariable("CLASSROOM_BIN_DIR") + QStringLiteral("/pupil"),
            program))
        return QString();
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(10000))
        return QString();
    QFile log(dir + QStringLiteral("/logclient.log"));
    const qint64 before = log.size();
    QString text;
    const bool seen = QTest::qWaitFor(
        [&] {
            if (!log.open(QIODevice::ReadOnly))
                return false;
            text = QString::fromLocal8Bit(log.readAll());
            log.close();
            return text.mid(int(before)).contains(QLatin1String("Student configuration:"))
                || process.state() == QProcess::NotRunning;
        },
        kStartTimeoutMs);
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(5000);
    }
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
           "100,-1 UDP text probe yes";
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
    QCOMPARE(log.contains(QLatin1String("Error: Can't Read IDA.DAT fiel.")), identityFile.isEmpty());
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

QTEST_GUILESS_MAIN(TestPupilStartup)
#include "tst_pupilstartup.moc"
