#pragma once

#include <QHostAddress>
#include <QString>

class MTcpSocket;
class QTimer;

// A connection that has not yet identified itself and proven its UDP path.
// MStudentServer owns the record and the timers it points to.
struct NonReadyClient
{
    MTcpSocket* conn = nullptr;
    QHostAddress udpAddress;
    quint16 udpPort = 0;
    int seqNumber = 0;
    QString clientIdName;
    bool identified = false;
    // 1 waiting for UDPRESPONSE, 2 waiting for IDOCOPY, 3 UDP path confirmed.
    int udpState = 1;
    QTimer* retryTimer = nullptr;
    int retryCount = 0;
    // Ends the whole admission when the client is not ready in time.
    QTimer* deadlineTimer = nullptr;
};
