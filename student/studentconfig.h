#pragma once

#include "clientconfig.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>

// pupil's configuration, settled once at start-up from built-in defaults, the
// identity file "IDA.DAT", the command line and the configuration file
// "cl.dat" (in that order, so each later source wins; its lines after the
// first may hold "STUDENTCODE" and "FINGERPRINT"). main owns it; the
// window copies it and never writes back. Plain data plus the readers that
// fill it; main thread only.
struct StudentConfig : ClientConfig
{
    StudentConfig();

    QHostAddress localListenAddress { QHostAddress::AnyIPv4 };
    quint16 localListenPort = 1800;
    bool advancedView = false;

    // A secure class: joined over TLS when a code or a fingerprint is given.
    bool isSecure() const { return !studentCode.isEmpty() || !serverFingerprint.isEmpty(); }

    // Identity file, command line and configuration file of configDir (the
    // program's configuration folder, ProgramFiles), in that order. arguments
    // exclude the program name.
    void load(const QStringList& arguments, const QString& configDir);

    // pupil's options: the shared ones (server ends looked up by name, "-k"
    // and "-f" among them) and "-p", "-a". They change this record.
    ProgramOptions::Table optionTable();

    // Each reader changes only what its source names.
    void readIdentityFile(const QString& path);
    void readCommandLine(const QStringList& arguments);
    void readConfigurationFile(const QString& path);

    // One line that says what was settled, for the log.
    QString describe() const;

    // "address:port" into an address and a port. Like
    // MAbstractSocket::parseAddressPort, but a host part that is not an
    // address literal is looked up as a host name (its first IPv4 address).
    static void parseServerAddress(const QString& text, QHostAddress& address, quint16& port);
};
