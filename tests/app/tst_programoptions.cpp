// The option reader both client programs share: the command-line table, the
// checks of its values and its help, the shared options, the identity file and
// the configuration file's lines; the log level's rules and the places of a
// program's files.

#include "clientconfig.h"
#include "configtesting.h"
#include "loglevel.h"
#include "mabstractsocket.h"
#include "programfiles.h"
#include "programoptions.h"
#include "servertrust.h"

#include <QLoggingCategory>

#include <QTemporaryDir>
#include <QtTest>

namespace {

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

// A program's table as both programs build theirs: the shared rows (server
// ends by address or, for "names", by host name too) and a listener "-l".
ProgramOptions::Table programTable(ClientConfig& config, bool names)
{
    ProgramOptions::Table table = config.sharedOptions(&ClientConfig::parseAddress,
        names ? ProgramOptions::Expects::HostPort : ProgramOptions::Expects::AddressPort);
    table.append({ QLatin1Char('l'), ProgramOptions::Expects::ListenAddressPort,
        QStringLiteral("where it listens"), [](const QString&) {} });
    return table;
}

} // namespace

class TestProgramOptions : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void badValues_data();
    void badValues();
    void goodValues_data();
    void goodValues();
    void unknownOptionsHelpAndVersion();
    void helpListsEveryRow();
    void logLevels_data();
    void logLevels();
    void filePlaces_data();
    void filePlaces();
    void sharedOptions_data();
    void sharedOptions();
    void identityFile_data();
    void identityFile();
    void configurationLines_data();
    void configurationLines();
    void secureClassOptionsAndLines_data();
    void secureClassOptionsAndLines();
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

void TestProgramOptions::badValues_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("names");
    QTest::addColumn<QStringList>("errors");

    QTest::newRow("a listen port beyond 65535")
        << QStringList { "-l0.0.0.0:99999" } << false
        << QStringList { "-l0.0.0.0:99999: the port must be a number from 0 (any free port) to "
                         "65535 (expected -l<address:port>, as in -l0.0.0.0:4060)" };
    QTest::newRow("a listen address that does not parse")
        << QStringList { "-lgarbage" } << false
        << QStringList { "-lgarbage: \"garbage\" is not an address (expected "
                         "-l<address:port>, as in -l0.0.0.0:4060)" };
    QTest::newRow("a server port of 0 or one that is not a number")
        << QStringList { "-t10.0.0.1:0", "-u10.0.0.1:udp" } << false
        << QStringList { "-t10.0.0.1:0: the port must be a number from 1 to 65535 (expected "
                         "-t<address:port>, as in -t10.0.0.1:4060)",
               "-u10.0.0.1:udp: the port must be a number from 1 to 65535 (expected "
               "-u<address:port>, as in -u10.0.0.1:4060)" };
    QTest::newRow("a colon without a port, a port without an address, in any case")
        << QStringList { "-E10.0.0.1:", "-e:4060" } << false
        << QStringList { "-e10.0.0.1:: the port is missing (expected -e<address:port>, as in "
                         "-e10.0.0.1:4060)",
               "-e:4060: the address is missing (expected -e<address:port>, as in "
               "-e10.0.0.1:4060)" };
    QTest::newRow("a host name where only an address may stand")
        << QStringList { "-tschool.lan:4060" } << false
        << QStringList { "-tschool.lan:4060: \"school.lan\" is not an address (expected "
                         "-t<address:port>, as in -t10.0.0.1:4060)" };
    QTest::newRow("a host name with a blank where names are allowed")
        << QStringList { "-tmy school:4060" } << true
        << QStringList { "-tmy school:4060: \"my school\" is neither an address nor a host name "
                         "(expected -t<host:port>, as in -tserver.school.lan:4060)" };
    QTest::newRow("a number that is not a number")
        << QStringList { "-xabc", "-y12px" } << true
        << QStringList { "-xabc: \"abc\" is not a whole number (expected -x<number>, as in -x100)",
               "-y12px: \"12px\" is not a whole number (expected -y<number>, as in -y100)" };
    QTest::newRow("values missing where one is required")
        << QStringList { "-t", "-i", "-c  ", "-x", "-d" } << false
        << QStringList {
               "-t: the value is missing; it follows the letter with no blank (expected "
               "-t<address:port>, as in -t10.0.0.1:4060)",
               "-i: the value is missing; it follows the letter with no blank (expected "
               "-i<text>, as in -iRoom 12)",
               "-c: the value is missing; it follows the letter with no blank (expected "
               "-c<text>, as in -cRoom 12)",
               "-x: the value is missing; it follows the letter with no blank (expected "
               "-x<number>, as in -x100)",
               "-d: the value is missing; it follows the letter with no blank (expected "
               "-d<quiet|normal|trace>, as in -dquiet)",
           };
    const QString fingerprintExpected = QStringLiteral(" (expected -f<64 hex digits>, as in -f3f5c")
        + QString(60, QLatin1Char('0')) + QLatin1Char(')');
    QTest::newRow("a fingerprint one digit short, one with a letter beyond f")
        << QStringList { QStringLiteral("-f") + QString(63, QLatin1Char('a')),
               QStringLiteral("-f") + QString(63, QLatin1Char('a')) + QLatin1Char('g') }
        << false
        << QStringList { QStringLiteral("-f") + QString(63, QLatin1Char('a'))
                   + QStringLiteral(": a fingerprint is 64 hex digits (SHA-256)")
                   + fingerprintExpected,
               QStringLiteral("-f") + QString(63, QLatin1Char('a')) + QLatin1Char('g')
                   + QStringLiteral(": a fingerprint is 64 hex digits (SHA-256)")
                   + fingerprintExpected };
    QTest::newRow("a code and a fingerprint missing")
        << QStringList { "-k ", "-f" } << false
        << QStringList { "-k: the value is missing; it follows the letter with no blank (expected "
                         "-k<text>, as in -kRoom 12)",
               QStringLiteral("-f: the value is missing; it follows the letter with no blank")
                   + fingerprintExpected };
    QTest::newRow("a log level that is not one")
        << QStringList { "-dloud" } << false
        << QStringList { "-dloud: \"loud\" is not one of the choices (expected "
                         "-d<quiet|normal|trace>, as in -dquiet)" };
}

void TestProgramOptions::badValues()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, names);
    ClientConfig config(7000, QString());
    const ProgramOptions::Check found
        = ProgramOptions::check(programTable(config, names), arguments);
    QTEST(found.errors, "errors");
    QVERIFY(found.unknown.isEmpty());
    QVERIFY(!found.help && !found.version);
}

void TestProgramOptions::goodValues_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("names");

    QTest::newRow("a listener on port 0 lets the system choose")
        << QStringList { "-l127.0.0.1:0", "-L0.0.0.0:65535" } << false;
    QTest::newRow("an address alone keeps the port")
        << QStringList { "-t10.0.0.1", "-e 10.0.0.2 : 4060 " } << false;
    QTest::newRow("host names where names are allowed")
        << QStringList { "-tlocalhost:2030", "-userver.school.lan.:1" } << true;
    QTest::newRow("negative numbers, any case of a level")
        << QStringList { "-x-20", "-y0", "-dTRACE", "-dQuiet" } << false;
    QTest::newRow("text after a switch is ignored, as launchers may add it")
        << QStringList { "-zed" } << false;
    QTest::newRow("bare arguments are no options") << QStringList { "mine.cfg", "x" } << false;
    QString colons = QStringLiteral("AB");
    for (int i = 1; i < 32; ++i)
        colons += QStringLiteral(":AB");
    QTest::newRow("a fingerprint in capitals with colons, a code with a blank")
        << QStringList { QStringLiteral("-f") + colons, "-kRoom 12" } << false;
}

void TestProgramOptions::goodValues()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, names);
    ClientConfig config(7000, QString());
    const ProgramOptions::Check found
        = ProgramOptions::check(programTable(config, names), arguments);
    QCOMPARE(found.errors, QStringList());
    QCOMPARE(found.unknown, QStringList());
}

void TestProgramOptions::unknownOptionsHelpAndVersion()
{
    ClientConfig config(7000, QString());
    const ProgramOptions::Check found = ProgramOptions::check(programTable(config, false),
        { "-q", "--help", "-lgarbage", "-", "-W1", "--version", "--verbose" });
    QCOMPARE(found.unknown, QStringList({ "-q", "-W1", "--verbose" }));
    QVERIFY(found.help);
    QVERIFY(found.version);
    QCOMPARE(found.errors.size(), 1);
}

void TestProgramOptions::helpListsEveryRow()
{
    ClientConfig config(7000, QString());
    const ProgramOptions::Table table = programTable(config, true);
    const QString help = ProgramOptions::helpText(
        QStringLiteral("prog"), QStringLiteral("file"), QStringLiteral("Does things."), table);
    const QStringList lines = help.split(QLatin1Char('\n'));
    QCOMPARE(lines.value(0), QStringLiteral("Usage: prog [options] [file]"));
    QCOMPARE(lines.value(1), QStringLiteral("Does things."));
    for (const ProgramOptions::Option& row : table) {
        const QString name = QStringLiteral("  -") + row.letter;
        const QStringList matching = lines.filter(QRegularExpression(
            QStringLiteral("^") + QRegularExpression::escape(name) + QStringLiteral("[< ]")));
        QCOMPARE(matching.size(), 1);
        QVERIFY2(matching.first().endsWith(row.description), qPrintable(matching.first()));
    }
    QCOMPARE(
        lines.filter(QRegularExpression(QStringLiteral("^  -t<host:port> +the server's TCP end$")))
            .size(),
        1);
    QCOMPARE(lines.filter(QRegularExpression(QStringLiteral("^  -z +also send"))).size(), 1);
    QCOMPARE(lines.filter(QRegularExpression(QStringLiteral("^  --help +"))).size(), 1);
    QCOMPARE(lines.filter(QRegularExpression(QStringLiteral("^  --version +"))).size(), 1);
}

void TestProgramOptions::logLevels_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("frames"); // the per-frame trace of server and transport
    QTest::addColumn<bool>("lines"); // a subsystem's ordinary lines
    QTest::addColumn<bool>("warnings");

    QTest::newRow("quiet: warnings and errors only") << "quiet" << false << false << true;
    QTest::newRow("normal: everything but the frames") << "Normal" << false << true << true;
    QTest::newRow("trace: everything") << "TRACE" << true << true << true;
}

void TestProgramOptions::logLevels()
{
    QFETCH(QString, name);
    QFETCH(bool, frames);
    QFETCH(bool, lines);
    QFETCH(bool, warnings);
    const std::optional<LogLevel::Level> level = LogLevel::fromName(name);
    QVERIFY(level.has_value());
    QCOMPARE(LogLevel::name(*level), name.toLower());
    LogLevel::apply(*level);
    const QLoggingCategory serverFrames(LogLevel::kServerFrames);
    const QLoggingCategory transportFrames(LogLevel::kTransportFrames);
    const QLoggingCategory server("server");
    QCOMPARE(serverFrames.isDebugEnabled(), frames);
    QCOMPARE(transportFrames.isDebugEnabled(), frames);
    QCOMPARE(server.isDebugEnabled(), lines);
    QCOMPARE(QLoggingCategory::defaultCategory()->isDebugEnabled(), lines);
    QCOMPARE(server.isWarningEnabled(), warnings);
    QCOMPARE(serverFrames.isWarningEnabled(), warnings);
    // Through the option row as a program reads it.
    LogLevel::Level read = LogLevel::Level::Normal;
    ProgramOptions::readCommandLine({ LogLevel::option(read) }, { "-D" + name });
    QCOMPARE(read, *level);
    LogLevel::apply(LogLevel::Level::Normal);
}

void TestProgramOptions::filePlaces_data()
{
    QTest::addColumn<bool>("writable");
    QTest::addColumn<bool>("tempLog");
    QTest::addColumn<QString>("logsDirectory");
    QTest::addColumn<QString>("configDir");
    QTest::addColumn<QString>("logPath");

    QTest::newRow("a writable folder keeps the files and the log next to the program")
        << true << false << QString() << "/build/student"
        << "/build/student/logclient.log";
    QTest::newRow("a writable folder and a log in the temporary folder")
        << true << true << QString() << "/build/student"
        << "/tmp/logclient.log";
    QTest::newRow("an installed program reads the user's config and logs in the state folder")
        << false << false << QString() << "/home/ann/.config/pupil"
        << "/home/ann/.local/state/pupil/logclient.log";
    QTest::newRow("installed, the temporary-folder log goes to the state folder too")
        << false << true << QString() << "/home/ann/.config/pupil"
        << "/home/ann/.local/state/pupil/logclient.log";
    QTest::newRow("a service's log folder takes the log of an installed program")
        << false << true << "/var/log/podium/room12"
        << "/home/ann/.config/pupil"
        << "/var/log/podium/room12/logclient.log";
    QTest::newRow("and of one next to its files") << true << false << "/var/log/podium/room12"
                                                  << "/build/student"
                                                  << "/var/log/podium/room12/logclient.log";
}

void TestProgramOptions::filePlaces()
{
    QFETCH(bool, writable);
    QFETCH(bool, tempLog);
    ProgramFiles::Places places;
    places.appDir = QStringLiteral("/build/student");
    places.appDirWritable = writable;
    places.configHome = QStringLiteral("/home/ann/.config");
    places.stateHome = QStringLiteral("/home/ann/.local/state");
    places.tempDir = QStringLiteral("/tmp");
    QFETCH(QString, logsDirectory);
    places.logsDirectory = logsDirectory;
    const ProgramFiles files
        = ProgramFiles::choose(QStringLiteral("pupil"), QStringLiteral("logclient.log"),
            tempLog ? ProgramFiles::LocalLog::TemporaryFolder
                    : ProgramFiles::LocalLog::BesideExecutable,
            places);
    QCOMPARE(files.besideExecutable, writable);
    QTEST(files.configDir, "configDir");
    QTEST(files.logPath, "logPath");
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
        QVERIFY(ConfigTesting::writeFile(path, content));
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
        QVERIFY(ConfigTesting::writeFile(path, content));
    ClientConfig config(7000, QString());
    config.identity = QStringLiteral("before");
    QString first;
    QCOMPARE(config.readConfigurationLines(path, first), read);
    QTEST(first, "first");
    QTEST(config.identity, "identity");
}

void TestProgramOptions::secureClassOptionsAndLines_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("lines"); // later lines of a configuration file
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("fingerprint");
    QTest::addColumn<bool>("accepted"); // is the fingerprint's certificate accepted

    const QString pin = QStringLiteral("3f") + QString(62, QLatin1Char('1'));
    QTest::newRow("no code and no fingerprint") << QStringList() << QStringList() << ""
                                                << "" << true;
    QTest::newRow("-k and -f, trimmed")
        << QStringList { "-k open sesame ", QStringLiteral("-f ") + pin.toUpper() } << QStringList()
        << "open sesame" << pin.toUpper() << true;
    QTest::newRow("STUDENTCODE and FINGERPRINT lines win over the options")
        << QStringList { "-kold", "-f" + QString(64, QLatin1Char('2')) }
        << QStringList { "STUDENTCODE  new code ", QStringLiteral("FINGERPRINT ") + pin }
        << "new code" << pin << true;
    QTest::newRow("keywords need a blank after them and capitals")
        << QStringList() << QStringList { "STUDENTCODEx", "studentcode y", "FINGERPRINT" } << ""
        << "" << true;
    QTest::newRow("a damaged FINGERPRINT line is kept, so no certificate is accepted")
        << QStringList() << QStringList { "FINGERPRINT 12:34" } << ""
        << "12:34" << false;
}

void TestProgramOptions::secureClassOptionsAndLines()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, lines);
    QFETCH(QString, fingerprint);
    QFETCH(bool, accepted);
    ClientConfig config(7000, QString());
    QTemporaryDir dir;
    config.knownServersPath = dir.filePath(QStringLiteral("known-servers"));
    const ProgramOptions::Table table = config.sharedOptions(&ClientConfig::parseAddress);
    QCOMPARE(ProgramOptions::check(table, arguments).errors, QStringList());
    ProgramOptions::readCommandLine(table, arguments);
    for (const QString& line : lines)
        config.readSecureLine(line);
    QTEST(config.studentCode, "code");
    QCOMPARE(config.serverFingerprint, fingerprint);
    // The session's trust: the pinned certificate is known, another refused.
    const ServerTrust trust = config.serverTrust();
    QCOMPARE(trust.knownServersPath(), config.knownServersPath);
    const QString pinned = ServerTrust::normalizedFingerprint(fingerprint);
    if (!fingerprint.isEmpty()) {
        const ServerTrust::Verdict verdict = trust.check(
            QStringLiteral("10.0.0.1:4060"), accepted ? pinned : QString(64, QLatin1Char('a')));
        QCOMPARE(verdict.decision, accepted ? ServerTrust::Known : ServerTrust::Refused);
        const ServerTrust::Verdict other
            = trust.check(QStringLiteral("10.0.0.1:4060"), QString(64, QLatin1Char('c')));
        QCOMPARE(other.decision, ServerTrust::Refused);
    } else {
        QCOMPARE(
            trust.check(QStringLiteral("10.0.0.1:4060"), QString(64, QLatin1Char('c'))).decision,
            ServerTrust::FirstMeeting);
    }
}

QTEST_GUILESS_MAIN(TestProgramOptions)
#include "tst_programoptions.moc"
