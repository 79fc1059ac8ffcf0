#include "clientconfig.h"

#include "mabstractsocket.h"
#include "servertrust.h"

#include <QDebug>
#include <QFile>

#include "applog.h"

namespace {

// The configuration file's own keyword: it reads like the wire command but
// belongs to the file format.
const QLatin1String kIdentifyKeyword("IDENTIFY");
const QLatin1String kStudentCodeKeyword("STUDENTCODE");
const QLatin1String kFingerprintKeyword("FINGERPRINT");

} // namespace

ClientConfig::ClientConfig(quint16 defaultServerPort, const QString& defaultTitle)
    : serverTcpPort(defaultServerPort), serverUdpPort(defaultServerPort), windowTitle(defaultTitle)
{ }

ProgramOptions::Table ClientConfig::sharedOptions(
    AddressParser parseServer, ProgramOptions::Expects serverEnd)
{
    using ProgramOptions::Expects;
    return {
        { QLatin1Char('t'), serverEnd, QStringLiteral("the server's TCP end"),
            [this, parseServer](
                const QString& value) { parseServer(value, serverTcpAddress, serverTcpPort); } },
        { QLatin1Char('u'), serverEnd, QStringLiteral("the server's UDP end"),
            [this, parseServer](
                const QString& value) { parseServer(value, serverUdpAddress, serverUdpPort); } },
        { QLatin1Char('e'), serverEnd,
            QStringLiteral("the server's TCP and UDP end (the same address and port)"),
            [this, parseServer](const QString& value) {
                parseServer(value, serverTcpAddress, serverTcpPort);
                parseServer(value, serverUdpAddress, serverUdpPort);
            } },
        { QLatin1Char('i'), Expects::Text, QStringLiteral("the name to join the class with"),
            [this](const QString& value) { identity = value.trimmed(); } },
        { QLatin1Char('c'), Expects::Text, QStringLiteral("the window's title"),
            [this](const QString& value) { windowTitle = value.trimmed(); } },
        { QLatin1Char('x'), Expects::Number,
            QStringLiteral("the window's left edge (used together with -y)"),
            [this](const QString& value) { windowX = value.toInt(); } },
        { QLatin1Char('y'), Expects::Number,
            QStringLiteral("the window's top edge (used together with -x)"),
            [this](const QString& value) { windowY = value.toInt(); } },
        { QLatin1Char('z'), Expects::Nothing,
            QStringLiteral("also send text over UDP and mark text that came over UDP"),
            [this](const QString&) { udpTextProbe = true; } },
        LogLevel::option(logLevel),
        { QLatin1Char('k'), Expects::Text,
            QStringLiteral("the students' code of a secure class: join it over TLS with that code"),
            [this](const QString& value) { studentCode = value.trimmed(); } },
        { QLatin1Char('f'), Expects::Fingerprint,
            QStringLiteral("accept only the server certificate of that SHA-256 fingerprint"),
            [this](const QString& value) { serverFingerprint = value.trimmed(); } },
    };
}

bool ClientConfig::keywordLine(const QString& line, QLatin1String keyword, QString& value)
{
    if (!line.startsWith(keyword) || line.size() == keyword.size()
        || !line.at(keyword.size()).isSpace())
        return false;
    value = line.mid(keyword.size()).trimmed();
    return true;
}

bool ClientConfig::readSecureLine(const QString& line)
{
    QString value;
    if (keywordLine(line, kStudentCodeKeyword, value)) {
        studentCode = value;
        return true;
    }
    if (!keywordLine(line, kFingerprintKeyword, value))
        return false;
    if (ServerTrust::normalizedFingerprint(value).isEmpty())
        qCWarning(lcApp).noquote() << "The configuration's fingerprint" << value
                                   << "is not 64 hex digits: no server certificate is accepted.";
    serverFingerprint = value;
    return true;
}

ServerTrust ClientConfig::serverTrust() const
{
    return ServerTrust(
        knownServersPath.isEmpty() ? ServerTrust::defaultKnownServersPath() : knownServersPath,
        serverFingerprint);
}

std::optional<QString> ClientConfig::identityFromFile(const QString& path, int lineBytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCDebug(lcApp, "Error: Can't Read IDA.DAT fiel.");
        return std::nullopt;
    }
    // readLine's size counts a terminating zero.
    const QByteArray line = file.readLine(lineBytes + 1);
    if (line.isEmpty())
        return QString();
    const QString text = QString::fromLatin1(line).trimmed();
    return text.mid(text.lastIndexOf(QLatin1Char(' ')) + 1);
}

bool ClientConfig::readConfigurationLines(
    const QString& path, QString& firstLine, QStringList* laterLines)
{
    if (!QFile::exists(path))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    firstLine = QString::fromUtf8(file.readLine().trimmed());
    if (file.atEnd())
        return true;
    const QString second = QString::fromUtf8(file.readLine().trimmed());
    if (second.startsWith(kIdentifyKeyword))
        identity = second.mid(kIdentifyKeyword.size()).trimmed();
    if (laterLines) {
        laterLines->append(second);
        while (!file.atEnd())
            laterLines->append(QString::fromUtf8(file.readLine().trimmed()));
    }
    return true;
}

void ClientConfig::parseAddress(const QString& text, QHostAddress& address, quint16& port)
{
    MAbstractSocket::parseAddressPort(text, address, port);
}
