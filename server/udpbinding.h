#pragma once

#include "admission.h"

#include <functional>

class HandshakeTimers;
class MAbstractSocket;
class MTcpSocket;
class MUdpSocket;

// The server's side of the UDP binding handshake: carries out Admission's
// transitions as frames on the client's TCP connection and datagrams on the
// server's UDP socket, and keeps the step timers in line. The records stay
// Admission's; a client that gives up or becomes ready goes back to the owner
// through its hooks. Plain class kept by MStudentServer; main thread.
class UdpBinding
{
public:
    using Hook = std::function<void(MTcpSocket*)>;

    UdpBinding(
        Admission& admission, HandshakeTimers* timers, MUdpSocket* socket, Hook giveUp, Hook ready);

    // Sends what a transition asks for and follows its timer.
    void carryOut(MTcpSocket* conn, const Admission::Reply& reply);
    // The request step's next UDPREQUEST, at the start and on each timeout.
    void request(MTcpSocket* conn);
    // UDPRESPONSE with number, from the UDP end `from` now names.
    void response(MAbstractSocket* from, int number);
    // UDPI:PBOUND, and each timeout of the copy step: the next DOYOUCOPY?.
    void copyStep(MTcpSocket* conn);
    // IDOCOPY with number; a client whose UDP is then confirmed and who has
    // identified goes to the ready hook.
    void copyAnswer(MAbstractSocket* from, int number);

private:
    Admission& m_admission;
    HandshakeTimers* m_timers;
    MUdpSocket* m_socket;
    Hook m_giveUp;
    Hook m_ready;
};
