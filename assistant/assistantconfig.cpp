#include "assistantconfig.h"

#include "mabstractsocket.h"
#include "serversettings.h"
#include "voiceprocessingline.h"

#include <QDebug>
#include <QFile>

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

constexpr int kIdentityLineMax = 1024;

} // namespace

void AssistantConfig::load(const QStringList& arguments, const QString& appDir)
{
    QString configPath = appDir + QLatin1String("/CL3.DAT");
    readCommandLine(arguments, configPath);
    readIdentityFile(appDir + QLatin1String("/IDA.DAT"));
    readConfigurationFile(configPath, appDir);
}

void AssistantConfig::readCommandLine(const QStringList& arguments, QString& configPath)
{
    for (const QString& argument : arguments) {
        if (!argument.startsWith(QLatin1Char('-'))) {
            configPath = argument;
            continue;
        }
        const QString option = argument.left(2).toLower();
        const QString value = argument.mid(2);
        if (option == QLatin1String("-t")) {
            MAbstractSocket::parseAddressPort(value, serverTcpAddress, serverTcpPort);
        } else if (option == QLatin1String("-u")) {
            MAbstractSocket::parseAddressPort(value, serverUdpAddress, serverUdpPort);
        } else if (option == QLatin1String("-e")) {
            MAbstractSocket::parseAddressPort(value, serverTcpAddress, serverTcpPort);
            MAbstractSocket::parseAddressPort(value, serverUdpAddress, serverUdpPort);
        } else if (option == QLatin1String("-s")) {
            internalServer = true;
        } else if (option == QLatin1String("-i")) {
            identity = value.trimmed();
            qDebug() << value;
        } else if (option == QLatin1String("-c")) {
            windowTitle = value.trimmed();
        } else if (option == QLatin1String("-x")) {
            windowX = value.toInt();
        } else if (option == QLatin1String("-y")) {
            windowY = value.toInt();
        } else if (option == QLatin1String("-z")) {
            udpTextProbe = true;
        } else if (option == QLatin1String("-n")) {
            headless = true;
        } else if (option == QLatin1String("-l")) {
            MAbstractSocket::parseAddressPort(value, listenAddress, listenPort);
        }
    }
}

void AssistantConfig::readIdentityFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        // Without the file the name given with -i (or none) stands; clearing
        // it here would make that option do nothing on every machine.
        qDebug() << "Error: Can't Read IDA.DAT fiel.";
        return;
    }
    const QByteArray line = file.readLine(kIdentityLineMax + 1);
    if (line.isEmpty()) {
        identity.clear();
        return;
    }
    const QString text = QString::fromLatin1(line).trimmed();
    identity = text.mid(text.lastIndexOf(QLatin1Char(' ')) + 1);
}

void AssistantConfig::readConfigurationFile(const QString& configPath, const QString& appDir)
{
    QString path = configPath;
    if (!QFile::exists(path)) {
        path = appDir + QLatin1String("/server.dat");
        if (!QFile::exists(path)) {
            path = appDir + QLatin1String("/client.dat");
            if (!QFile::exists(path))
                return;
        }
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;

    const QString first = QString::fromUtf8(file.readLine().trimmed());
    if (first.startsWith(QLatin1String(".internal"))) {
        internalServer = true;
        const QString rest = first.mid(9);
        if (rest.startsWith(QLatin1String(".uset"))) {
            publishAddress = true;
            publishingHost = publishingHostFor(rest.mid(5));
        }
    } else if (first.startsWith(QLatin1String(".external"))) {
        const QString rest = first.mid(9).trimmed();
        quint16 port = 0;
        if (rest.isEmpty())
            port = 4060;
        else if (rest == QLatin1String("2"))
            port = 4061;
        else if (rest == QLatin1String("3"))
            port = 4062;
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

    if (file.atEnd())
        return;
    const QString second = QString::fromUtf8(file.readLine().trimmed());
    if (second.startsWith(QLatin1String("IDENTIFY")))
        identity = second.mid(8).trimmed();
    // Any line after the first may set the voice processing defaults.
    for (QString line = second;; line = QString::fromUtf8(file.readLine().trimmed())) {
        VoiceProcessingLine::read(line, voiceProcessing);
        if (file.atEnd())
            break;
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
        + QLatin1String(", UDP text probe ") + yesNo(udpTextProbe);
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
