#pragma once

#include <QHostAddress>
#include <QString>

class MTcpSocket;

// An admitted client: its TCP connection, the UDP end learned during the
// handshake and the name it identified with. Kept by MStudentServer.
struct ReadyClient
{
    MTcpSocket* conn = nullptr;
    QHostAddress udpAddress;
    quint16 udpPort = 0;
    QString clientIdName;
};
