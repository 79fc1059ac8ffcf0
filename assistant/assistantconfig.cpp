#include "assistantconfig.h"

#include "mabstractsocket.h"
#include "serversettings.h"
#include "voiceprocessingline.h"
#include "wireformat.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QNetworkInterface>

#include "assistantlog.h"

namespace {

// Deployment values: the hosts of the address-publishing service behind the
// three keywords, and the server that ".external" means. The keywords are
// settings: the environment variables below replace them; without them they
// name the local address-service stand-in (tools/address-service), so that a
// demonstration works on one machine.
const char* const kPublishingHosts[] = { "127.0.0.1:8480", "127.0.0.1:8481", "127.0.0.1:8482" };
const char* const kPublishingHostSettings[]
    = { "PODIUM_PUBLISHING_HOST", "PODIUM_PUBLISHING_HOST2", "PODIUM_PUBLISHING_HOST3" };
const char* const kDefaultExternalServer = "127.0.0.1";

// The identity file's first line is read up to this many bytes.
constexpr int kIdentityLineBytes = 1024;

const QLatin1String kStaffCodeKeyword("STAFFCODE");
const QLatin1String kPlainAddressesKeyword("PLAINADDRESSES");

// IPv4 addresses between commas; items that are none are skipped (the option's
// check refuses them before anything starts).
QVector<QHostAddress> addressList(const QString& text)
{
    QVector<QHostAddress> addresses;
    for (const QString& item : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QHostAddress address(item.trimmed());
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            addresses.append(address);
        else
            qCWarning(lcAssistant).noquote() << "Not an IPv4 address, skipped:" << item.trimmed();
    }
    return addresses;
}

} // namespace

AssistantConfig::AssistantConfig()
    : ClientConfig(WireFormat::kDefaultServerPort, QStringLiteral("ZAVRO Voice Chat Assist-or")),
      listenPort(WireFormat::kDefaultServerPort)
{ }

void AssistantConfig::load(const QStringList& arguments, const QString& configDir)
{
    QString configPath = configDir + QLatin1String("/CL3.DAT");
    readCommandLine(arguments, configPath);
    readIdentityFile(configDir + QLatin1String("/IDA.DAT"));
    readConfigurationFile(configPath, configDir);
    // systemd separates several state folders with colons; the first is the class's.
    const QString state = qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    stateFolder = QDir::isAbsolutePath(state) ? QDir::cleanPath(state) : QString();
}

ProgramOptions::Table AssistantConfig::optionTable()
{
    using ProgramOptions::Expects;
    ProgramOptions::Table table = sharedOptions(&ClientConfig::parseAddress);
    // podium says which name it was given: the identity file, read later,
    // may replace it.
    ProgramOptions::Option* name = ProgramOptions::find(table, QLatin1Char('i'));
    name->apply = [setIdentity = name->apply](const QString& value) {
        setIdentity(value);
        qCDebug(lcAssistant) << value;
    };
    ProgramOptions::find(table, QLatin1Char('k'))->description
        = QStringLiteral("the students' code: with -s the internal server admits students with "
                         "it; the window joins with it when there is no -m");
    table += {
        { QLatin1Char('s'), Expects::Nothing, QStringLiteral("run a classroom server in podium"),
            [this](const QString&) { internalServer = true; } },
        { QLatin1Char('n'), Expects::Nothing,
            QStringLiteral("no window: a classroom server box (needs -s)"),
            [this](const QString&) { headless = true; } },
        { QLatin1Char('l'), Expects::ListenAddressPort,
            QStringLiteral("where the internal server listens (TCP and UDP)"),
            [this](const QString& value) {
                MAbstractSocket::parseAddressPort(value, listenAddress, listenPort);
            } },
        { QLatin1Char('m'), Expects::Text,
            QStringLiteral("the staff code: with -s the internal server admits staff with it; the "
                           "window joins with it, as staff"),
            [this](const QString& value) { staffCode = value.trimmed(); } },
        { QLatin1Char('w'), Expects::AddressList,
            QStringLiteral("with -s and a code: addresses whose plain connections (the teacher "
                           "console) the secure server still admits, as staff"),
            [this](const QString& value) { plainAddresses = addressList(value); } },
    };
    return table;
}

void AssistantConfig::readCommandLine(const QStringList& arguments, QString& configPath)
{
    ProgramOptions::readCommandLine(optionTable(), arguments,
        [&configPath](const QString& argument) { configPath = argument; });
}

void AssistantConfig::readIdentityFile(const QString& path)
{
    // Without the file the name given with -i (or none) stands; clearing it
    // here would make that option do nothing on every machine.
    if (const std::optional<QString> name = identityFromFile(path, kIdentityLineBytes))
        identity = *name;
}

void AssistantConfig::readConfigurationFile(const QString& configPath, const QString& configDir)
{
    QString path = configPath;
    if (!QFile::exists(path)) {
        path = configDir + QLatin1String("/server.dat");
        if (!QFile::exists(path))
            path = configDir + QLatin1String("/client.dat");
    }
    QString first;
    QStringList laterLines;
    if (!readConfigurationLines(path, first, &laterLines))
        return;

    if (first.startsWith(QLatin1String(".internal"))) {
        internalServer = true;
        const QString rest = first.mid(9);
        if (rest.startsWith(QLatin1String(".uset"))) {
            publishAddress = true;
            publishingHost = publishingHostFor(rest.mid(5));
        }
    } else if (first.startsWith(QLatin1String(".external"))) {
        // The second and third server of a deployment listen on the ports
        // after the default one.
        const QString rest = first.mid(9).trimmed();
        quint16 port = 0;
        if (rest.isEmpty())
            port = WireFormat::kDefaultServerPort;
        else if (rest == QLatin1String("2"))
            port = WireFormat::kDefaultServerPort + 1;
        else if (rest == QLatin1String("3"))
            port = WireFormat::kDefaultServerPort + 2;
        if (port != 0) {
            serverTcpAddress = serverUdpAddress = defaultExternalServer();
            serverTcpPort = serverUdpPort = port;
        }
    } else if (first.startsWith(QLatin1String(".uget"))) {
        internalServer = false;
        fetchAddress = true;
        publishingHost = publishingHostFor(first.mid(5));
    } else {
        MAbstractSocket::parseAddressPort(first, serverTcpAddress, serverTcpPort);
        MAbstractSocket::parseAddressPort(first, serverUdpAddress, serverUdpPort);
    }
    // Any line after the first may set the voice processing defaults or a
    // secure class's codes, fingerprint and plain addresses.
    for (const QString& line : laterLines) {
        QString value;
        if (VoiceProcessingLine::read(line, voiceProcessing) || readSecureLine(line))
            continue;
        if (keywordLine(line, kStaffCodeKeyword, value))
            staffCode = value;
        else if (keywordLine(line, kPlainAddressesKeyword, value))
            plainAddresses = addressList(value);
    }
}

ServerSettings AssistantConfig::serverSettings() const
{
    ServerSettings settings;
    settings.listenAddress = listenAddress;
    settings.listenPort = listenPort;
    settings.udpAddress = listenAddress;
    settings.udpPort = listenPort;
    settings.udpTextProbe = udpTextProbe;
    settings.staffCode = staffCode;
    settings.studentCode = studentCode;
    settings.plainAddresses = plainAddresses;
    settings.stateFolder = stateFolder;
    return settings;
}

QString AssistantConfig::describe() const
{
    auto yesNo = [](bool value) { return QLatin1String(value ? "yes" : "no"); };
    return QLatin1String("Configuration: server TCP ")
        + MAbstractSocket::addressText(serverTcpAddress, serverTcpPort) + QLatin1String(", UDP ")
        + MAbstractSocket::addressText(serverUdpAddress, serverUdpPort)
        + QLatin1String(", identity [") + identity + QLatin1String("], internal server ")
        + yesNo(internalServer) + QLatin1String(", publish ") + yesNo(publishAddress)
        + QLatin1String(", fetch ") + yesNo(fetchAddress) + QLatin1String(", publishing host [")
        + publishingHost + QLatin1String("], title [") + windowTitle + QLatin1String("], position ")
        + QString::number(windowX) + QLatin1Char(',') + QString::number(windowY)
        + QLatin1String(", UDP text probe ") + yesNo(udpTextProbe) + QLatin1String(", log level ")
        + LogLevel::name(logLevel) + QLatin1String(", staff code ") + yesNo(!staffCode.isEmpty())
        + QLatin1String(", students' code ") + yesNo(!studentCode.isEmpty())
        + QLatin1String(", fingerprint [") + serverFingerprint + QLatin1Char(']');
}

bool AssistantConfig::headlessRequested(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const QByteArray option = QByteArray(argv[i]).left(2).toLower();
        if (option == "-n")
            return true;
    }
    return false;
}

QStringList AssistantConfig::environmentArguments()
{
    const struct
    {
        const char* variable;
        const char* option;
    } kVariables[] = {
        { "PODIUM_STAFF_CODE", "-m" },
        { "PODIUM_STUDENT_CODE", "-k" },
        { "PODIUM_PLAIN_ADDRESSES", "-w" },
    };
    QStringList arguments;
    for (const auto& entry : kVariables) {
        const QString value = qEnvironmentVariable(entry.variable).trimmed();
        if (!value.isEmpty())
            arguments << QLatin1String(entry.option) + value;
    }
    return arguments;
}

QString AssistantConfig::publishingHostFor(const QString& keyword)
{
    const char* const keywords[] = { "<def>", "<def2>", "<def3>" };
    for (int i = 0; i < 3; ++i) {
        if (keyword != QLatin1String(keywords[i]))
            continue;
        const QString setting = qEnvironmentVariable(kPublishingHostSettings[i]).trimmed();
        return setting.isEmpty() ? QLatin1String(kPublishingHosts[i]) : setting;
    }
    return keyword;
}

QHostAddress AssistantConfig::defaultExternalServer()
{
    return QHostAddress(QLatin1String(kDefaultExternalServer));
}
