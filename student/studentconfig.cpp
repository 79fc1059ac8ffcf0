#include "studentconfig.h"

#include "mabstractsocket.h"

#include <QDebug>
#include <QFile>
#include <QHostInfo>

namespace {

// The identity file's first line is read into a buffer of this size.
constexpr int kIdentityLineBuffer = 1024;
const QLatin1String kIdentifyKeyword("IDENTIFY");

} // namespace

void StudentConfig::load(const QStringList& arguments, const QString& appDir)
{
    readIdentityFile(appDir + QLatin1String("/IDA.DAT"));
    readCommandLine(arguments);
    readConfigurationFile(appDir + QLatin1String("/cl.dat"));
}

void StudentConfig::readIdentityFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug("Error: Can't Read IDA.DAT fiel.");
        identity.clear();
        return;
    }
    const QByteArray line = file.readLine(kIdentityLineBuffer);
    if (line.isEmpty()) {
        identity.clear();
        return;
    }
    const QString text = QString::fromLatin1(line).trimmed();
    identity = text.mid(text.lastIndexOf(QLatin1Char(' ')) + 1);
}

void StudentConfig::readCommandLine(const QStringList& arguments)
{
    for (const QString& argument : arguments) {
        if (argument.size() < 2)
            continue;
        const QString option = argument.left(2).toLower();
        const QString value = argument.mid(2);
        if (option == QLatin1String("-t")) {
            parseServerAddress(value, serverTcpAddress, serverTcpPort);
        } else if (option == QLatin1String("-u")) {
            parseServerAddress(value, serverUdpAddress, serverUdpPort);
        } else if (option == QLatin1String("-e")) {
            parseServerAddress(value, serverTcpAddress, serverTcpPort);
            parseServerAddress(value, serverUdpAddress, serverUdpPort);
        } else if (option == QLatin1String("-p")) {
            MAbstractSocket::parseAddressPort(value, localListenAddress, localListenPort);
        } else if (option == QLatin1String("-i")) {
            identity = value.trimmed();
        } else if (option == QLatin1String("-c")) {
            windowTitle = value.trimmed();
        } else if (option == QLatin1String("-a")) {
            advancedView = true;
        } else if (option == QLatin1String("-x")) {
            windowX = value.toInt();
        } else if (option == QLatin1String("-y")) {
            windowY = value.toInt();
        } else if (option == QLatin1String("-z")) {
            udpTextProbe = true;
        }
    }
}

void StudentConfig::readConfigurationFile(const QString& path)
{
    if (!QFile::exists(path))
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;

    const QString first = QString::fromUtf8(file.readLine().trimmed());
    parseServerAddress(first, serverTcpAddress, serverTcpPort);
    parseServerAddress(first, serverUdpAddress, serverUdpPort);

    if (file.atEnd())
        return;
    const QString second = QString::fromUtf8(file.readLine().trimmed());
    if (second.size() >= kIdentifyKeyword.size() && second.startsWith(kIdentifyKeyword))
        identity = second.mid(kIdentifyKeyword.size()).trimmed();
}

QString StudentConfig::describe() const
{
    return QStringLiteral("Student configuration: TCP %1 UDP %2 local %3 identity \"%4\" "
                          "title \"%5\" advanced %6 position %7,%8 UDP text probe %9")
        .arg(MAbstractSocket::addressText(serverTcpAddress, serverTcpPort),
            MAbstractSocket::addressText(serverUdpAddress, serverUdpPort),
            MAbstractSocket::addressText(localListenAddress, localListenPort), identity,
            windowTitle, advancedView ? QStringLiteral("yes") : QStringLiteral("no"),
            QString::number(windowX), QString::number(windowY),
            udpTextProbe ? QStringLiteral("yes") : QStringLiteral("no"));
}

void StudentConfig::parseServerAddress(const QString& text, QHostAddress& address, quint16& port)
{
    if (MAbstractSocket::parseAddressPort(text, address, port))
        return;
    // A server is often known by name ("localhost", a school's host): look
    // the name up once here, since the sockets take only addresses.
    const QString host = text.section(QLatin1Char(':'), 0, 0).trimmed();
    if (host.isEmpty() || !QHostAddress(host).isNull())
        return;
    const QHostInfo info = QHostInfo::fromName(host);
    for (const QHostAddress& candidate : info.addresses()) {
        if (candidate.protocol() == QAbstractSocket::IPv4Protocol) {
            address = candidate;
            return;
        }
    }
    qDebug().noquote() << "Server host not found:" << host;
}
