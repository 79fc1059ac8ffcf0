// The small programs of tools/ explain themselves: --help and --version print
// to standard output and exit 0 without a display or a network, and a bad
// argument still fails with its usage on standard error.

#include "childprocess.h"

#include <QProcess>
#include <QtTest>

class TestToolHelp : public QObject
{
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
};

void TestToolHelp::answers_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expectedStdout");
    QTest::addColumn<QString>("expectedStderr");

    const QString version = QStringLiteral(CLASSROOM_VERSION);
    const QStringList programs { QStringLiteral("classroom-client"), QStringLiteral("impair-relay"),
        QStringLiteral("address-service"), QStringLiteral("teacher-console") };
    for (const QString& program : programs) {
        QTest::addRow("%s --help prints its usage", qPrintable(program))
            << program << QStringList { QStringLiteral("--help") } << 0 << QStringLiteral("sage: ")
            << QString();
        QTest::addRow("%s -h prints its usage", qPrintable(program))
            << program << QStringList { QStringLiteral("-h") } << 0 << QStringLiteral("sage: ")
            << QString();
        QTest::addRow("%s --version prints the project's version", qPrintable(program))
            << program << QStringList { QStringLiteral("--version") } << 0
            << program + QLatin1Char(' ') + version << QString();
    }
    QTest::newRow("--help wins over the options before it")
        << QStringLiteral("address-service")
        << QStringList { QStringLiteral("-l127.0.0.1:1"), QStringLiteral("--help") } << 0
        << QStringLiteral("usage: address-service") << QString();
    QTest::newRow("teacher-console still refuses an unknown argument")
        << QStringLiteral("teacher-console") << QStringList { QStringLiteral("--bogus") } << 2
        << QString() << QStringLiteral("usage: teacher-console");
    QTest::newRow("address-service still refuses an address that does not parse")
        << QStringLiteral("address-service") << QStringList { QStringLiteral("-lgarbage") } << 2
        << QString() << QStringLiteral("address-service: cannot read -lgarbage");
    QTest::newRow("classroom-client still refuses an unknown option")
        << QStringLiteral("classroom-client") << QStringList { QStringLiteral("--bogus") } << 1
        << QString() << QStringLiteral("Unknown option 'bogus'");
}

void TestToolHelp::answers()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, expectedStdout);
    QFETCH(QString, expectedStderr);

    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Proves that no display is needed.
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    process.setProcessEnvironment(environment);
    process.start(
        qEnvironmentVariable("CLASSROOM_BIN_DIR") + QLatin1Char('/') + program, arguments);
    QVERIFY2(process.waitForStarted(), qPrintable(process.errorString()));
    QVERIFY(ChildProcess::waitForEnd(process));
    const QString out = QString::fromLocal8Bit(process.readAllStandardOutput());
    const QString err = QString::fromLocal8Bit(process.readAllStandardError());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(process.exitCode() == exitCode,
        qPrintable(QStringLiteral("exit %1; stdout: %2; stderr: %3")
                       .arg(process.exitCode())
                       .arg(out, err)));
    if (expectedStdout.isEmpty())
        QVERIFY2(out.isEmpty(), qPrintable(out));
    else
        QVERIFY2(out.contains(expectedStdout), qPrintable(out));
    if (!expectedStderr.isEmpty())
        QVERIFY2(err.contains(expectedStderr), qPrintable(err));
}

QTEST_GUILESS_MAIN(TestToolHelp)
#include "tst_toolhelp.moc"
