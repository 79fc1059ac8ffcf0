#include "assistantconfig.h"
#include "configtesting.h"
#include "mabstractsocket.h"
#include "serversettings.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

QString plainAddressText(const ServerSettings& settings)
{
    QStringList addresses;
    for (const QHostAddress& address : settings.plainAddresses)
        addresses << address.toString();
    return addresses.join(QLatin1Char(','));
}

QString tcpText(const AssistantConfig& config)
{
    return MAbstractSocket::addressText(config.serverTcpAddress, config.serverTcpPort);
}

QString udpText(const AssistantConfig& config)
{
    return MAbstractSocket::addressText(config.serverUdpAddress, config.serverUdpPort);
}

} // namespace

// podium's configuration readers, each on its own.
class TstAssistantConfig : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void configurationFirstLine_data();
    void configurationFirstLine();
    void configurationSecondLine_data();
    void configurationSecondLine();
    void configurationFileChoice_data();
    void configurationFileChoice();
    void identityFile_data();
    void identityFile();
    void serverSettingsFollowListenOption();
    void secureClassSettings_data();
    void secureClassSettings();
    void stateFolderOfAService();
    void secureClassOfAService_data();
    void secureClassOfAService();
    void optionTableRowsAreDistinctAndDescribed();
};

void TstAssistantConfig::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("tcp");
    QTest::addColumn<QString>("udp");
    QTest::addColumn<QString>("identity");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QPoint>("position");
    QTest::addColumn<bool>("internalServer");
    QTest::addColumn<QString>("configPath");

    const QString local = QStringLiteral("127.0.0.1:4060");
    const QString title = QStringLiteral("ZAVRO Voice Chat Assist-or");
    const QString cl3 = QStringLiteral("/app/CL3.DAT");
    // The options both clients share have their own table
    // (tst_programoptions); here the assistant's defaults and what it adds.
    QTest::newRow("no arguments keep every default")
        << QStringList() << local << local << QString() << title << QPoint(-1, -1) << false << cl3;
    QTest::newRow("an upper-case -E sets both ends")
        << QStringList { QStringLiteral("-E10.0.0.3:7000") } << QStringLiteral("10.0.0.3:7000")
        << QStringLiteral("10.0.0.3:7000") << QString() << title << QPoint(-1, -1) << false << cl3;
    QTest::newRow("a host name keeps the address but takes the port")
        << QStringList { QStringLiteral("-thost.example:4070") } << QStringLiteral("127.0.0.1:4070")
        << local << QString() << title << QPoint(-1, -1) << false << cl3;
    QTest::newRow("-x alone leaves the other edge to the system, letters read as 0")
        << QStringList { QStringLiteral("-xabc") } << local << local << QString() << title
        << QPoint(0, -1) << false << cl3;
    QTest::newRow("unknown options are ignored, -s asks for the server")
        << QStringList { QStringLiteral("-q"), QStringLiteral("-"), QStringLiteral("-s") } << local
        << local << QString() << title << QPoint(-1, -1) << true << cl3;
    QTest::newRow("a bare argument is the configuration path")
        << QStringList { QStringLiteral("/etc/my.cfg") } << local << local << QString() << title
        << QPoint(-1, -1) << false << QStringLiteral("/etc/my.cfg");
}

void TstAssistantConfig::commandLine()
{
    QFETCH(QStringList, arguments);
    AssistantConfig config;
    QString path = QStringLiteral("/app/CL3.DAT");
    config.readCommandLine(arguments, path);
    QTEST(tcpText(config), "tcp");
    QTEST(udpText(config), "udp");
    QTEST(config.identity, "identity");
    QTEST(config.windowTitle, "title");
    QTEST(QPoint(config.windowX, config.windowY), "position");
    QTEST(config.internalServer, "internalServer");
    QTEST(path, "configPath");
}

void TstAssistantConfig::configurationFirstLine_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("server");
    QTest::addColumn<bool>("internalServer");
    QTest::addColumn<bool>("publish");
    QTest::addColumn<bool>("fetch");
    QTest::addColumn<QString>("host");

    const QString before = QStringLiteral("10.9.9.9:1");
    QTest::newRow(".external selects the built-in server on 4060")
        << QByteArray(".external") << QStringLiteral("127.0.0.1:4060") << true << false << false
        << QString();
    QTest::newRow(".external followed by 2 selects port 4061")
        << QByteArray(".external 2") << QStringLiteral("127.0.0.1:4061") << true << false << false
        << QString();
    QTest::newRow(".external followed by 3 selects port 4062")
        << QByteArray(".external3") << QStringLiteral("127.0.0.1:4062") << true << false << false
        << QString();
    QTest::newRow(".external with another rest changes nothing")
        << QByteArray(".external9") << before << true << false << false << QString();
    QTest::newRow(".internal asks for the server")
        << QByteArray("  .internal") << before << true << false << false << QString();
    QTest::newRow(".internal.uset with the second built-in host")
        << QByteArray(".internal.uset<def2>") << before << true << true << false
        << QStringLiteral("127.0.0.1:8481");
    QTest::newRow(".internal.uset with a host of its own")
        << QByteArray(".internal.usetaddr.example") << before << true << true << false
        << QStringLiteral("addr.example");
    QTest::newRow(".uget with an empty rest fetches from no host")
        << QByteArray(".uget") << before << false << false << true << QString();
    QTest::newRow(".uget with the first built-in host")
        << QByteArray(".uget<def>") << before << false << false << true
        << QStringLiteral("127.0.0.1:8480");
    QTest::newRow("an address and port go into both ends")
        << QByteArray("192.168.1.5:4100\r\n") << QStringLiteral("192.168.1.5:4100") << true << false
        << false << QString();
}

void TstAssistantConfig::configurationFirstLine()
{
    QFETCH(QByteArray, line);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(ConfigTesting::writeFile(dir.filePath(QStringLiteral("CL3.DAT")), line));

    AssistantConfig config;
    config.internalServer = true;
    config.serverTcpAddress = config.serverUdpAddress = QHostAddress(QStringLiteral("10.9.9.9"));
    config.serverTcpPort = config.serverUdpPort = 1;
    config.readConfigurationFile(dir.filePath(QStringLiteral("CL3.DAT")), dir.path());
    QTEST(tcpText(config), "server");
    QTEST(udpText(config), "server");
    QTEST(config.internalServer, "internalServer");
    QTEST(config.publishAddress, "publish");
    QTEST(config.fetchAddress, "fetch");
    QTEST(config.publishingHost, "host");
}

void TstAssistantConfig::configurationSecondLine_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("identity");
    QTest::newRow("IDENTIFY with blanks around the name gives the bare name")
        << QByteArray(".internal\nIDENTIFY   carol \n") << QStringLiteral("carol");
    QTest::newRow("a lower-case keyword is not recognised")
        << QByteArray(".internal\nidentify carol\n") << QStringLiteral("ida");
    QTest::newRow("no second line keeps the identity")
        << QByteArray(".internal\n") << QStringLiteral("ida");
}

void TstAssistantConfig::configurationSecondLine()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    QVERIFY(ConfigTesting::writeFile(dir.filePath(QStringLiteral("CL3.DAT")), content));
    AssistantConfig config;
    config.identity = QStringLiteral("ida");
    config.readConfigurationFile(dir.filePath(QStringLiteral("CL3.DAT")), dir.path());
    QTEST(config.identity, "identity");
}

void TstAssistantConfig::configurationFileChoice_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("chosen");
    // Each file names its own port, so the port tells which file was read.
    QTest::newRow("the named file wins over server.dat")
        << QStringList { QStringLiteral("named.cfg"), QStringLiteral("server.dat") }
        << QStringLiteral("named.cfg");
    QTest::newRow("server.dat when the named file is missing")
        << QStringList { QStringLiteral("server.dat"), QStringLiteral("client.dat") }
        << QStringLiteral("server.dat");
    QTest::newRow("client.dat as the last fallback")
        << QStringList { QStringLiteral("client.dat") } << QStringLiteral("client.dat");
    QTest::newRow("no file leaves the defaults") << QStringList() << QString();
}

void TstAssistantConfig::configurationFileChoice()
{
    QFETCH(QStringList, files);
    QFETCH(QString, chosen);
    QTemporaryDir dir;
    const QStringList all { QStringLiteral("named.cfg"), QStringLiteral("server.dat"),
        QStringLiteral("client.dat") };
    for (const QString& file : qAsConst(files)) {
        const int port = 5000 + all.indexOf(file);
        QVERIFY(
            ConfigTesting::writeFile(dir.filePath(file), "10.0.0.1:" + QByteArray::number(port)));
    }
    AssistantConfig config;
    config.readConfigurationFile(dir.filePath(QStringLiteral("named.cfg")), dir.path());
    const quint16 expected = chosen.isEmpty() ? 4060 : quint16(5000 + all.indexOf(chosen));
    QCOMPARE(config.serverTcpPort, expected);
}

void TstAssistantConfig::identityFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QString>("identity");
    QTest::newRow("the part after the last blank of the first line")
        << QByteArray("Room 12 alice\nsecond line\n") << true << QStringLiteral("alice");
    QTest::newRow("a single word surrounded by blanks")
        << QByteArray("  solo  \r\n") << true << QStringLiteral("solo");
    QTest::newRow("an empty file empties the identity") << QByteArray() << true << QString();
    QTest::newRow("a missing file keeps the identity given before")
        << QByteArray() << false << QStringLiteral("from the command line");
}

void TstAssistantConfig::identityFile()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, exists);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("IDA.DAT"));
    if (exists)
        QVERIFY(ConfigTesting::writeFile(path, content));
    AssistantConfig config;
    config.identity = QStringLiteral("from the command line");
    if (!exists)
        QTest::ignoreMessage(QtDebugMsg, "Error: Can't Read IDA.DAT fiel.");
    config.readIdentityFile(path);
    QTEST(config.identity, "identity");
}

void TstAssistantConfig::serverSettingsFollowListenOption()
{
    AssistantConfig config;
    QString path;
    config.readCommandLine(
        { QStringLiteral("-l127.0.0.2:4999"), QStringLiteral("-z"), QStringLiteral("-n") }, path);
    QVERIFY(config.headless);
    const ServerSettings settings = config.serverSettings();
    QCOMPARE(MAbstractSocket::addressText(settings.listenAddress, settings.listenPort),
        QStringLiteral("127.0.0.2:4999"));
    QCOMPARE(MAbstractSocket::addressText(settings.udpAddress, settings.udpPort),
        QStringLiteral("127.0.0.2:4999"));
    QVERIFY(settings.udpTextProbe);
    QCOMPARE(settings.handshakeIntervalMs, 5000);

    const ServerSettings defaults = AssistantConfig().serverSettings();
    QCOMPARE(defaults.listenAddress, QHostAddress(QHostAddress::AnyIPv4));
    QCOMPARE(defaults.listenPort, quint16(4060));
    QCOMPARE(defaults.udpPort, quint16(4060));
}

void TstAssistantConfig::secureClassSettings_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("configFile"); // empty: none
    QTest::addColumn<QString>("staffCode");
    QTest::addColumn<QString>("studentCode");
    QTest::addColumn<QString>("plainAddresses");
    QTest::addColumn<QString>("joinCode");
    QTest::addColumn<bool>("secure"); // the internal server, and the window's session

    const QString pin = QStringLiteral("ab") + QString(62, QLatin1Char('0'));
    QTest::newRow("no codes: a plain class, a plain window")
        << QStringList { "-s" } << QByteArray() << ""
        << ""
        << ""
        << "" << false;
    QTest::newRow("both codes: the window joins as staff")
        << QStringList { "-s", "-m teach ", "-kpupils" } << QByteArray() << "teach"
        << "pupils"
        << ""
        << "teach" << true;
    QTest::newRow("the students' code alone: the window joins as a student")
        << QStringList { "-s", "-Kpupils" } << QByteArray() << ""
        << "pupils"
        << ""
        << "pupils" << true;
    QTest::newRow("plain addresses for the teacher console, between commas")
        << QStringList { "-s", "-mteach", "-w127.0.0.1, 10.0.0.5" } << QByteArray() << "teach"
        << ""
        << "127.0.0.1,10.0.0.5"
        << "teach" << true;
    QTest::newRow("the configuration file's lines win over the options")
        << QStringList { "-mfromoption" }
        << QByteArray(".internal\nIDENTIFY ann\nSTAFFCODE  fromfile \nSTUDENTCODE kids\n"
                      "PLAINADDRESSES 10.0.0.9\n")
        << "fromfile"
        << "kids"
        << "10.0.0.9"
        << "fromfile" << true;
    QTest::newRow("a keyword without a blank after it is no line of a code")
        << QStringList() << QByteArray("x\nSTAFFCODEX y\nstaffcode z\n") << ""
        << ""
        << ""
        << "" << false;
    QTest::newRow("a fingerprint alone makes the window's session secure")
        << QStringList { QStringLiteral("-f") + pin } << QByteArray() << ""
        << ""
        << ""
        << "" << true;
}

void TstAssistantConfig::secureClassSettings()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, configFile);
    QFETCH(bool, secure);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (!configFile.isEmpty())
        QVERIFY(ConfigTesting::writeFile(dir.filePath(QStringLiteral("CL3.DAT")), configFile));
    AssistantConfig config;
    config.load(arguments, dir.path());
    const ServerSettings settings = config.serverSettings();
    QTEST(settings.staffCode, "staffCode");
    QTEST(settings.studentCode, "studentCode");
    QTEST(plainAddressText(settings), "plainAddresses");
    QTEST(config.joinCode(), "joinCode");
    QCOMPARE(config.joinsSecurely(), secure);
    QCOMPARE(settings.isSecure() || !config.serverFingerprint.isEmpty(), secure);
}

void TstAssistantConfig::stateFolderOfAService()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    qputenv("STATE_DIRECTORY", "/var/lib/podium/room12/:/var/lib/other");
    AssistantConfig service;
    service.load({ QStringLiteral("-s"), QStringLiteral("-mteach") }, dir.path());
    QCOMPARE(service.serverSettings().stateFolder, QStringLiteral("/var/lib/podium/room12"));
    qputenv("STATE_DIRECTORY", "relative");
    AssistantConfig desk;
    desk.load({ QStringLiteral("-s") }, dir.path());
    qunsetenv("STATE_DIRECTORY");
    QCOMPARE(desk.serverSettings().stateFolder, QString());
}

void TstAssistantConfig::secureClassOfAService_data()
{
    QTest::addColumn<QStringList>("environment"); // VARIABLE=value
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("staffCode");
    QTest::addColumn<QString>("studentCode");
    QTest::addColumn<QString>("plainAddresses");

    QTest::newRow("the service's variables set the codes and addresses")
        << QStringList { "PODIUM_STAFF_CODE=teach", "PODIUM_STUDENT_CODE= kids ",
               "PODIUM_PLAIN_ADDRESSES=127.0.0.1" }
        << QStringList { "-s", "-n" } << "teach"
        << "kids"
        << "127.0.0.1";
    QTest::newRow("the command line wins over a variable")
        << QStringList { "PODIUM_STAFF_CODE=teach", "PODIUM_STUDENT_CODE=kids" }
        << QStringList { "-s", "-kothers" } << "teach"
        << "others"
        << "";
    QTest::newRow("an empty variable sets nothing")
        << QStringList { "PODIUM_STAFF_CODE=", "PODIUM_STUDENT_CODE=  " } << QStringList { "-s" }
        << ""
        << ""
        << "";
}

void TstAssistantConfig::secureClassOfAService()
{
    QFETCH(QStringList, environment);
    QFETCH(QStringList, arguments);
    for (const QString& entry : environment)
        qputenv(qPrintable(entry.section(QLatin1Char('='), 0, 0)),
            entry.section(QLatin1Char('='), 1).toUtf8());
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    AssistantConfig config;
    config.load(AssistantConfig::environmentArguments() + arguments, dir.path());
    for (const QString& entry : environment)
        qunsetenv(qPrintable(entry.section(QLatin1Char('='), 0, 0)));
    const ServerSettings settings = config.serverSettings();
    QTEST(settings.staffCode, "staffCode");
    QTEST(settings.studentCode, "studentCode");
    QTEST(plainAddressText(settings), "plainAddresses");
}

void TstAssistantConfig::optionTableRowsAreDistinctAndDescribed()
{
    AssistantConfig config;
    ConfigTesting::checkOptionTable(config.optionTable(), QStringLiteral("tueicxyzdkfsnlmw"));
}

QTEST_GUILESS_MAIN(TstAssistantConfig)
#include "tst_assistantconfig.moc"
