// The option reader both client programs share: the command-line table, the
// shared options, the identity file and the configuration file's lines.

#include "clientconfig.h"
#include "mabstractsocket.h"
#include "programoptions.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// A table whose rows write down what they were given, as "letter=value".
ProgramOptions::Table recordingTable(QStringList& seen)
{
    ProgramOptions::Table table;
    for (const char letter : { 'a', 'b' }) {
        table.append({ QLatin1Char(letter), ProgramOptions::Expects::Text,
            QStringLiteral("records its value"), [&seen, letter](const QString& value) {
                seen << QString(QLatin1Char(letter)) + QLatin1Char('=') + value;
            } });
    }
    return table;
}

QString tcpText(const ClientConfig& config)
{
    return MAbstractSocket::addressText(config.serverTcpAddress, config.serverTcpPort);
}

QString udpText(const ClientConfig& config)
{
    return MAbstractSocket::addressText(config.serverUdpAddress, config.serverUdpPort);
}

} // namespace

class TestProgramOptions : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void sharedOptions_data();
    void sharedOptions();
    void identityFile_data();
    void identityFile();
    void configurationLines_data();
    void configurationLines();
};

void TestProgramOptions::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("withBare");
    QTest::addColumn<QStringList>("seen"); // rows applied, then "bare:" arguments

    QTest::newRow("a letter selects its row, the rest of the argument is the value")
        << QStringList { "-a10.0.0.1:5" } << true << QStringList { "a=10.0.0.1:5" };
    QTest::newRow("an upper-case letter selects the same row")
        << QStringList { "-Bvalue" } << true << QStringList { "b=value" };
    QTest::newRow("every argument in order, a later one after an earlier one")
        << QStringList { "-a1", "-b2", "-a3" } << true << QStringList { "a=1", "b=2", "a=3" };
    QTest::newRow("a row may get an empty value")
        << QStringList { "-a" } << true << QStringList { "a=" };
    QTest::newRow("unknown options and a lone dash are ignored")
        << QStringList { "-q", "-", "-b" } << true << QStringList { "b=" };
    QTest::newRow("an argument without a dash goes to the bare handler")
        << QStringList { "/etc/my.cfg", "-a1", "" } << true
        << QStringList { "bare:/etc/my.cfg", "a=1", "bare:" };
    QTest::newRow("a value in an argument of its own is a bare argument")
        << QStringList { "-a", "value" } << true << QStringList { "a=", "bare:value" };
    QTest::newRow("without a bare handler such arguments are ignored")
        << QStringList { "value", "x", "-b2" } << false << QStringList { "b=2" };
}

void TestProgramOptions::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, withBare);
    QStringList seen;
    const ProgramOptions::Table table = recordingTable(seen);
    if (withBare) {
        ProgramOptions::readCommandLine(table, arguments,
            [&seen](const QString& argument) { seen << QStringLiteral("bare:") + argument; });
    } else {
        ProgramOptions::readCommandLine(table, arguments);
    }
    QTEST(seen, "seen");
}

void TestProgramOptions::sharedOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("tcp");
    QTest::addColumn<QString>("udp");
    QTest::addColumn<QString>("identity");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QPoint>("position");
    QTest::addColumn<bool>("probe");

    const QString home = QStringLiteral("127.0.0.1:7000");
    const QString title = QStringLiteral("Room");
    QTest::newRow("no arguments keep the program's defaults")
        << QStringList() << home << home << QString() << title << QPoint(-1, -1) << false;
    QTest::newRow("-t and -u set one end each")
        << QStringList { "-t10.0.0.1:1", "-u10.0.0.2:2" } << "10.0.0.1:1"
        << "10.0.0.2:2" << QString() << title << QPoint(-1, -1) << false;
    QTest::newRow("-e sets both ends, a later -t one of them again")
        << QStringList { "-e10.0.0.3:3", "-t10.0.0.4:4" } << "10.0.0.4:4"
        << "10.0.0.3:3" << QString() << title << QPoint(-1, -1) << false;
    QTest::newRow("-i and -c are trimmed")
        << QStringList { "-i  ann ", "-c My Room " } << home << home << "ann"
        << "My Room" << QPoint(-1, -1) << false;
    QTest::newRow("-x and -y are numbers, letters read as 0")
        << QStringList { "-x100", "-yabc" } << home << home << QString() << title << QPoint(100, 0)
        << false;
    QTest::newRow("-z switches the probe on")
        << QStringList { "-Z" } << home << home << QString() << title << QPoint(-1, -1) << true;
}

void TestProgramOptions::sharedOptions()
{
    QFETCH(QStringList, arguments);
    ClientConfig config(7000, QStringLiteral("Room"));
    ProgramOptions::readCommandLine(config.sharedOptions(&ClientConfig::parseAddress), arguments);
    QTEST(tcpText(config), "tcp");
    QTEST(udpText(config), "udp");
    QTEST(config.identity, "identity");
    QTEST(config.windowTitle, "title");
    QTEST(QPoint(config.windowX, config.windowY), "position");
    QTEST(config.udpTextProbe, "probe");
}

void TestProgramOptions::identityFile_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file
    QTest::addColumn<int>("lineBytes");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("identity");

    QTest::newRow("the part after the last blank of the first line")
        << QByteArray("Room 12 alice\nbob\n") << 1024 << true << "alice";
    QTest::newRow("one word between blanks") << QByteArray("  solo \r\n") << 1024 << true << "solo";
    QTest::newRow("an empty file names nobody") << QByteArray("") << 1024 << true << "";
    QTest::newRow("at most lineBytes bytes of the line are read")
        << QByteArray(30, 'x') << 20 << true << QString(20, QLatin1Char('x'));
    QTest::newRow("a missing file gives nothing") << QByteArray() << 1024 << false << "";
}

void TestProgramOptions::identityFile()
{
    QFETCH(QByteArray, content);
    QFETCH(int, lineBytes);
    QFETCH(bool, found);
    QFETCH(QString, identity);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("IDA.DAT"));
    if (!content.isNull())
        QVERIFY(writeFile(path, content));
    else
        QTest::ignoreMessage(QtDebugMsg, "Error: Can't Read IDA.DAT fiel.");
    const std::optional<QString> name = ClientConfig::identityFromFile(path, lineBytes);
    QCOMPARE(name.has_value(), found);
    QCOMPARE(name.value_or(QString()), identity);
}

void TestProgramOptions::configurationLines_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file
    QTest::addColumn<bool>("read");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("identity");

    QTest::newRow("the first line trimmed, no second line keeps the identity")
        << QByteArray("  10.0.0.5:4060 \r\n") << true << "10.0.0.5:4060"
        << "before";
    QTest::newRow("IDENTIFY with blanks around the name gives the bare name")
        << QByteArray(".internal\nIDENTIFY   carol \n") << true << ".internal"
        << "carol";
    QTest::newRow("the keyword directly followed by the name")
        << QByteArray("x\nIDENTIFYdan") << true << "x"
        << "dan";
    QTest::newRow("a bare keyword empties the identity")
        << QByteArray("x\nIDENTIFY\n") << true << "x"
        << "";
    QTest::newRow("the keyword in lower case is no identity line")
        << QByteArray("x\nidentify carol\n") << true << "x"
        << "before";
    QTest::newRow("another second line is ignored") << QByteArray("x\nNAME carol\n") << true << "x"
                                                    << "before";
    QTest::newRow("an empty file has an empty first line") << QByteArray("") << true << ""
                                                           << "before";
    QTest::newRow("a missing file is not read") << QByteArray() << false << ""
                                                << "before";
}

void TestProgramOptions::configurationLines()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, read);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("cl.dat"));
    if (!content.isNull())
        QVERIFY(writeFile(path, content));
    ClientConfig config(7000, QString());
    config.identity = QStringLiteral("before");
    QString first;
    QCOMPARE(config.readConfigurationLines(path, first), read);
    QTEST(first, "first");
    QTEST(config.identity, "identity");
}

QTEST_GUILESS_MAIN(TestProgramOptions)
#include "tst_programoptions.moc"
