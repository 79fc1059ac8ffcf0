#pragma once

#include <QHostAddress>
#include <QStringList>

// Settings of one classroom server. podium's start-up fills it; ServerCLI,
// Server and MStudentServer each keep their own copy.
struct ServerSettings
{
    QHostAddress listenAddress { QHostAddress::AnyIPv4 };
    quint16 listenPort = 4060;
    QHostAddress udpAddress { QHostAddress::AnyIPv4 };
    quint16 udpPort = 4060;
    bool restrictNames = false;
    QStringList allowedNames;
    bool udpTextProbe = false;

    // Pause between two handshake messages of one step. The product always
    // uses 5000 ms: no option sets this; only tests shorten it.
    int handshakeIntervalMs = 5000;
    // Time a connection has to become ready; 0 means what the handshake itself
    // allows, 20 messages of handshakeIntervalMs. Test-only, like the interval.
    int admissionDeadlineMs = 0;
};
