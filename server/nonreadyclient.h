#pragma once

#include <QHostAddress>
#include <QString>

class QObject;

// Where a waiting connection's UDP binding handshake stands. The numbers are
// the ones the server's log has always shown.
enum class UdpState {
    // UDPREQUEST sent over TCP, waiting for UDPRESPONSE over UDP.
    AwaitingResponse = 1,
    // The UDP end is known; DOYOUCOPY? goes there once the client says
    // UDPI:PBOUND, waiting for IDOCOPY.
    AwaitingCopy = 2,
    // Datagrams get through both ways.
    Confirmed = 3,
};

// A connection that has not yet identified itself and proven its UDP path,
// as Admission keeps it. client is the owner's key for the connection (the
// classroom server's TCP socket); the record never touches it.
struct NonReadyClient
{
    QObject* client = nullptr;
    QHostAddress udpAddress;
    quint16 udpPort = 0;
    // The number the client must echo in the current step.
    int seqNumber = 0;
    QString clientIdName;
    bool identified = false;
    UdpState udpState = UdpState::AwaitingResponse;
    // Messages sent in the current step; 0 while no step runs.
    int retryCount = 0;
};
