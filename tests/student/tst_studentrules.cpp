// The student's rules that need no window: its command table, the pacing of
// its reconnection, and the readers of its configuration.

#include "commandtablerows.h"
#include "configtesting.h"
#include "reconnectpacer.h"
#include "studentcommand.h"
#include "mabstractsocket.h"
#include "studentconfig.h"

#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(StudentCommand::Kind)

class TestStudentRules : public QObject
{
    Q_OBJECT

private slots:
    void commandTable_data();
    void commandTable();
    void reconnectionBacksOff();
    void outageIsShownOnce();
    void commandLine_data();
    void commandLine();
    void identityFile_data();
    void identityFile();
    void configurationFile_data();
    void configurationFile();
    void defaultsWithoutFiles();
    void optionTableRowsAreDistinctAndDescribed();
};

void TestStudentRules::commandTable_data()
{
    CommandTableRows::addColumns<StudentCommand::Kind>();
    CommandTableRows::addClientRows<StudentCommand::Kind>();

    using namespace StudentCommand;
    QTest::newRow("a ping with digits keeps them") << "PING123" << Ping << "123";
    QTest::newRow("three letters of PING are unknown") << "PIN" << Unknown << "";
    QTest::newRow("a voice format is recognised")
        << "VFMT48000|2|16|2|1" << VoiceFormat << "48000|2|16|2|1";
    QTest::newRow("class finished exactly") << "CLASSFINISHED" << ClassFinished << "";
    QTest::newRow("class finished with more is unknown") << "CLASSFINISHED!" << Unknown << "";
    QTest::newRow("allow call for everyone") << "ALLOWCALL" << AllowCall << "";
    QTest::newRow("allow call for one student") << "ALLOWCALLanna" << AllowCall << "anna";
    QTest::newRow("keywords are case-sensitive") << "ping1" << Unknown << "";
    QTest::newRow("a client list meant for podium is unknown") << "CLLS" << Unknown << "";
    QTest::newRow("a speaker count meant for podium is unknown")
        << "NSPEAKINGCLIENTS1" << Unknown << "";
}

void TestStudentRules::commandTable()
{
    CommandTableRows::check<StudentCommand::Kind>(StudentCommand::parse);
}

void TestStudentRules::reconnectionBacksOff()
{
    ReconnectPacer pacer;
    const QList<int> expected { 0, 250, 500, 1000, 2000, 2000, 2000 };
    for (int delay : expected)
        QCOMPARE(pacer.nextDelayMs(), delay);
    for (int i = 0; i < 100; ++i)
        QCOMPARE(pacer.nextDelayMs(), ReconnectPacer::kMaxDelayMs);
    pacer.reset();
    QCOMPARE(pacer.nextDelayMs(), 0);
    QCOMPARE(pacer.nextDelayMs(), 250);
}

void TestStudentRules::outageIsShownOnce()
{
    ReconnectPacer pacer;
    QVERIFY(pacer.takeOutageNotice());
    QVERIFY(!pacer.takeOutageNotice());
    QVERIFY(!pacer.takeOutageNotice());
    pacer.connectionMade();
    QVERIFY(pacer.takeOutageNotice());
}

void TestStudentRules::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("tcp");
    QTest::addColumn<QString>("udp");
    QTest::addColumn<QString>("local");
    QTest::addColumn<QString>("identity");

    QTest::newRow("nothing changes nothing") << QStringList() << "127.0.0.1:2030"
                                             << "127.0.0.1:2030"
                                             << "0.0.0.0:1800"
                                             << "file";
    QTest::newRow("-t sets only the TCP end")
        << QStringList { "-t10.1.2.3:4000" } << "10.1.2.3:4000"
        << "127.0.0.1:2030"
        << "0.0.0.0:1800"
        << "file";
    QTest::newRow("-T works like -t") << QStringList { "-T10.1.2.3:4000" } << "10.1.2.3:4000"
                                      << "127.0.0.1:2030"
                                      << "0.0.0.0:1800"
                                      << "file";
    QTest::newRow("-u sets only the UDP end")
        << QStringList { "-u10.1.2.4:4001" } << "127.0.0.1:2030"
        << "10.1.2.4:4001"
        << "0.0.0.0:1800"
        << "file";
    QTest::newRow("-e sets both ends") << QStringList { "-e10.0.0.9:4060" } << "10.0.0.9:4060"
                                       << "10.0.0.9:4060"
                                       << "0.0.0.0:1800"
                                       << "file";
    QTest::newRow("-p sets the wait server")
        << QStringList { "-p127.0.0.1:1900" } << "127.0.0.1:2030"
        << "127.0.0.1:2030"
        << "127.0.0.1:1900"
        << "file";
    QTest::newRow("-i overrides the identity file, trimmed")
        << QStringList { "-i anna " } << "127.0.0.1:2030"
        << "127.0.0.1:2030"
        << "0.0.0.0:1800"
        << "anna";
    QTest::newRow("an option without its value in the same argument does nothing")
        << QStringList { "-t", "10.1.2.3:4000" } << "127.0.0.1:2030"
        << "127.0.0.1:2030"
        << "0.0.0.0:1800"
        << "file";
    QTest::newRow("later arguments win") << QStringList { "-ianna", "-iben" } << "127.0.0.1:2030"
                                         << "127.0.0.1:2030"
                                         << "0.0.0.0:1800"
                                         << "ben";
    QTest::newRow("a host name is looked up")
        << QStringList { "-elocalhost:4100" } << "127.0.0.1:4100"
        << "127.0.0.1:4100"
        << "0.0.0.0:1800"
        << "file";
    QTest::newRow("letters as the port leave the port")
        << QStringList { "-t10.1.2.3:abc" } << "10.1.2.3:2030"
        << "127.0.0.1:2030"
        << "0.0.0.0:1800"
        << "file";
}

void TestStudentRules::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, tcp);
    QFETCH(QString, udp);
    QFETCH(QString, local);
    QFETCH(QString, identity);
    StudentConfig config;
    config.identity = QStringLiteral("file");
    config.readCommandLine(arguments);
    QCOMPARE(MAbstractSocket::addressText(config.serverTcpAddress, config.serverTcpPort), tcp);
    QCOMPARE(MAbstractSocket::addressText(config.serverUdpAddress, config.serverUdpPort), udp);
    QCOMPARE(
        MAbstractSocket::addressText(config.localListenAddress, config.localListenPort), local);
    QCOMPARE(config.identity, identity);
}

void TestStudentRules::identityFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("identity");

    QTest::newRow("three words give the third") << QByteArray("class 7 anna\r\nmore\r\n") << "anna";
    QTest::newRow("one word gives that word") << QByteArray("  ben  \n") << "ben";
    QTest::newRow("an empty file gives no identity") << QByteArray() << "";
    QTest::newRow("only the first 1023 bytes are read")
        << QByteArray(1030, 'x') << QString(1023, QLatin1Char('x'));
}

void TestStudentRules::identityFile()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, identity);
    QTemporaryDir dir;
    QVERIFY(ConfigTesting::writeFile(dir.filePath(QStringLiteral("IDA.DAT")), content));
    StudentConfig config;
    config.identity = QStringLiteral("before");
    config.readIdentityFile(dir.filePath(QStringLiteral("IDA.DAT")));
    QCOMPARE(config.identity, identity);
}

void TestStudentRules::configurationFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("identity");

    QTest::newRow("the first line sets both server ends")
        << QByteArray("10.0.0.5:4060\r\n") << "10.0.0.5:4060"
        << "before";
    QTest::newRow("a second line with the keyword sets the identity")
        << QByteArray("10.0.0.5:4060\nIDENTIFY carla\n") << "10.0.0.5:4060"
        << "carla";
    QTest::newRow("the keyword in lower case is ignored")
        << QByteArray("10.0.0.5:4060\nidentify carla\n") << "10.0.0.5:4060"
        << "before";
    QTest::newRow("a bare keyword gives an empty identity")
        << QByteArray("10.0.0.5:4060\nIDENTIFY\n") << "10.0.0.5:4060"
        << "";
    QTest::newRow("an unparsable first line changes no address")
        << QByteArray("nowhere.invalid:x\n") << "127.0.0.1:2030"
        << "before";
}

void TestStudentRules::configurationFile()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, server);
    QFETCH(QString, identity);
    QTemporaryDir dir;
    QVERIFY(ConfigTesting::writeFile(dir.filePath(QStringLiteral("cl.dat")), content));
    StudentConfig config;
    config.identity = QStringLiteral("before");
    config.readConfigurationFile(dir.filePath(QStringLiteral("cl.dat")));
    QCOMPARE(MAbstractSocket::addressText(config.serverTcpAddress, config.serverTcpPort), server);
    QCOMPARE(MAbstractSocket::addressText(config.serverUdpAddress, config.serverUdpPort), server);
    QCOMPARE(config.identity, identity);
}

void TestStudentRules::defaultsWithoutFiles()
{
    QTemporaryDir dir;
    StudentConfig config;
    config.load(QStringList(), dir.path());
    QCOMPARE(MAbstractSocket::addressText(config.serverTcpAddress, config.serverTcpPort),
        QStringLiteral("127.0.0.1:2030"));
    QCOMPARE(MAbstractSocket::addressText(config.serverUdpAddress, config.serverUdpPort),
        QStringLiteral("127.0.0.1:2030"));
    QCOMPARE(MAbstractSocket::addressText(config.localListenAddress, config.localListenPort),
        QStringLiteral("0.0.0.0:1800"));
    QCOMPARE(config.identity, QString());
    QCOMPARE(config.windowTitle, QStringLiteral("Zavro Voice Chat / Student"));
    QVERIFY(!config.advancedView);
    QCOMPARE(config.windowX, -1);
    QCOMPARE(config.windowY, -1);
}

void TestStudentRules::optionTableRowsAreDistinctAndDescribed()
{
    StudentConfig config;
    ConfigTesting::checkOptionTable(config.optionTable(), QStringLiteral("tueicxyzdkfpa"));
}

QTEST_GUILESS_MAIN(TestStudentRules)
#include "tst_studentrules.moc"
