#include "studentconfig.h"

#include "mabstractsocket.h"
#include "wireformat.h"

#include <QDebug>
#include <QFile>
#include <QHostInfo>

#include "studentlog.h"

namespace {

// The identity file's first line is read into a buffer of 1024 bytes that
// keeps its terminating zero.
constexpr int kIdentityLineBytes = 1023;

} // namespace

StudentConfig::StudentConfig()
    : ClientConfig(WireFormat::kDefaultStudentPort, QStringLiteral("Zavro Voice Chat / Student"))
{ }

void StudentConfig::load(const QStringList& arguments, const QString& configDir)
{
    readIdentityFile(configDir + QLatin1String("/IDA.DAT"));
    readCommandLine(arguments);
    readConfigurationFile(configDir + QLatin1String("/cl.dat"));
}

ProgramOptions::Table StudentConfig::optionTable()
{
    using ProgramOptions::Expects;
    ProgramOptions::Table table
        = sharedOptions(&StudentConfig::parseServerAddress, Expects::HostPort);
    table += {
        { QLatin1Char('p'), Expects::ListenAddressPort,
            QStringLiteral("where the local wait server listens"),
            [this](const QString& value) {
                MAbstractSocket::parseAddressPort(value, localListenAddress, localListenPort);
            } },
        { QLatin1Char('a'), Expects::Nothing,
            QStringLiteral("show every control, each connection's status and peer addresses"),
            [this](const QString&) { advancedView = true; } },
    };
    return table;
}

void StudentConfig::readIdentityFile(const QString& path)
{
    identity = identityFromFile(path, kIdentityLineBytes).value_or(QString());
}

void StudentConfig::readCommandLine(const QStringList& arguments)
{
    ProgramOptions::readCommandLine(optionTable(), arguments);
}

void StudentConfig::readConfigurationFile(const QString& path)
{
    QString first;
    QStringList laterLines;
    if (!readConfigurationLines(path, first, &laterLines))
        return;
    parseServerAddress(first, serverTcpAddress, serverTcpPort);
    parseServerAddress(first, serverUdpAddress, serverUdpPort);
    for (const QString& line : qAsConst(laterLines))
        readSecureLine(line);
}

QString StudentConfig::describe() const
{
    return QStringLiteral("Student configuration: TCP %1 UDP %2 local %3 identity \"%4\" "
                          "title \"%5\" advanced %6 position %7,%8 UDP text probe %9 log level %10")
               .arg(MAbstractSocket::addressText(serverTcpAddress, serverTcpPort),
                   MAbstractSocket::addressText(serverUdpAddress, serverUdpPort),
                   MAbstractSocket::addressText(localListenAddress, localListenPort), identity,
                   windowTitle, advancedView ? QStringLiteral("yes") : QStringLiteral("no"),
                   QString::number(windowX), QString::number(windowY),
                   udpTextProbe ? QStringLiteral("yes") : QStringLiteral("no"))
               .arg(LogLevel::name(logLevel))
        + QStringLiteral(" secure %1 fingerprint \"%2\"")
              .arg(isSecure() ? QStringLiteral("yes") : QStringLiteral("no"), serverFingerprint);
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
    qCDebug(lcStudent).noquote() << "Server host not found:" << host;
}
