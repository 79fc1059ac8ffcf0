#pragma once

#include "loglevel.h"
#include "programoptions.h"

#include <QHostAddress>
#include <QLatin1String>
#include <QString>
#include <QStringList>

#include <optional>

class ServerTrust;

// What the configurations of both client programs hold and read alike: the
// server's TCP and UDP ends, the identity, the window's title and place and
// the UDP text probe, with the options that set them, the identity file
// "IDA.DAT" and the configuration file's "IDENTIFY" line, and what a secure
// class asks of a client (the students' code, the server's fingerprint) with
// their options and lines. AssistantConfig and
// StudentConfig derive from it, each with its own defaults, option table and
// order of sources. Plain data; main thread.
struct ClientConfig
{
    // How a program reads the "address:port" of its server.
    using AddressParser = void (*)(const QString& text, QHostAddress& address, quint16& port);

    ClientConfig(quint16 defaultServerPort, const QString& defaultTitle);

    QHostAddress serverTcpAddress { QHostAddress::LocalHost };
    quint16 serverTcpPort;
    QHostAddress serverUdpAddress { QHostAddress::LocalHost };
    quint16 serverUdpPort;
    QString identity;
    QString windowTitle;
    int windowX = -1;
    int windowY = -1;
    bool udpTextProbe = false;
    LogLevel::Level logLevel = LogLevel::Level::Normal;

    // A secure class: the students' code ("-k", a "STUDENTCODE" line) and the
    // server certificate's fingerprint to accept ("-f", a "FINGERPRINT" line;
    // without it the first certificate met is remembered in knownServersPath,
    // empty: ServerTrust::defaultKnownServersPath()).
    QString studentCode;
    QString serverFingerprint;
    QString knownServersPath;

    // The rows both programs share: "-t", "-u", "-e", "-i", "-c", "-x", "-y",
    // "-z", "-d", "-k" and "-f". They change this record. serverEnd says what "-t", "-u"
    // and "-e" accept (AddressPort, or HostPort when parseServer takes names).
    ProgramOptions::Table sharedOptions(AddressParser parseServer,
        ProgramOptions::Expects serverEnd = ProgramOptions::Expects::AddressPort);

    // The identity an identity file names: the part of its first line (at most
    // lineBytes bytes, as ASCII, trimmed) after the last blank; empty when the
    // file is empty. Nothing, after the diagnostic "Error: Can't Read IDA.DAT
    // fiel.", when it cannot be opened: whether that clears the identity is
    // the program's choice.
    static std::optional<QString> identityFromFile(const QString& path, int lineBytes);

    // Opens a configuration file; false when it is missing or cannot be
    // opened. Otherwise gives its first line, trimmed, and takes the identity
    // from a second line "IDENTIFY" + name (the name trimmed).
    // laterLines, when given, receives every line after the first.
    bool readConfigurationLines(
        const QString& path, QString& firstLine, QStringList* laterLines = nullptr);

    // A configuration file's "STUDENTCODE code" or "FINGERPRINT hex" line
    // (keyword in capitals, the value trimmed); false, changing nothing, for
    // any other line. A fingerprint that is not one is kept and logged: the
    // session then refuses every certificate instead of trusting any.
    bool readSecureLine(const QString& line);
    // The value of a line "KEYWORD value" (a blank after the keyword), trimmed.
    static bool keywordLine(const QString& line, QLatin1String keyword, QString& value);

    // How the session checks the server's certificate.
    ServerTrust serverTrust() const;

    // The classroom server's address as a plain "address:port" (a host part
    // that is not an address leaves the address as it was).
    static void parseAddress(const QString& text, QHostAddress& address, quint16& port);
};
