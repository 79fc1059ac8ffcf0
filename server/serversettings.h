#pragma once

#include "wireformat.h"

#include <QHostAddress>
#include <QStringList>
#include <QVector>

// Settings of one classroom server. podium's start-up fills it; ServerCLI,
// Server and MStudentServer each keep their own copy.
struct ServerSettings
{
    QHostAddress listenAddress { QHostAddress::AnyIPv4 };
    quint16 listenPort = WireFormat::kDefaultServerPort;
    QHostAddress udpAddress { QHostAddress::AnyIPv4 };
    quint16 udpPort = WireFormat::kDefaultServerPort;
    bool restrictNames = false;
    QStringList allowedNames;
    bool udpTextProbe = false;

    // Either code makes the class secure: TLS on the TCP port, the code before
    // IDENTIFY, sealed datagrams. staffCode admits staff, studentCode students.
    QString staffCode;
    QString studentCode;
    // Where a secure server keeps its certificate; empty: the default folder.
    QString stateFolder;
    // A secure server still admits plain connections from these addresses, as
    // staff, so that the teacher console on the school's machine can run the
    // class. None by default.
    QVector<QHostAddress> plainAddresses;
    bool isSecure() const { return !staffCode.isEmpty() || !studentCode.isEmpty(); }

    // Pause between two handshake messages of one step. The product always
    // uses 5000 ms: no option sets this; only tests shorten it.
    int handshakeIntervalMs = 5000;
    // Time a connection has to become ready; 0 means what the handshake itself
    // allows, 20 messages of handshakeIntervalMs. Test-only, like the interval.
    int admissionDeadlineMs = 0;

    // The retry steps bound only the two waits they cover; a client could still
    // sit between them (never sending UDPI:PBOUND or IDENTIFY) for ever. The
    // whole admission gets the same 100 s the request step allows.
    int admissionDeadline(int maxHandshakeMessages) const
    {
        return admissionDeadlineMs > 0 ? admissionDeadlineMs
                                       : maxHandshakeMessages * handshakeIntervalMs;
    }
};
