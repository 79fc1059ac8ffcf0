#include "udpbinding.h"

#include "handshaketimers.h"
#include "mtcpsocket.h"
#include "mudpsocket.h"
#include "serverlog.h"

#include <QDebug>

using namespace ServerLog;

UdpBinding::UdpBinding(
    Admission& admission, HandshakeTimers* timers, MUdpSocket* socket, Hook giveUp, Hook ready)
    : m_admission(admission), m_timers(timers), m_socket(socket), m_giveUp(std::move(giveUp)),
      m_ready(std::move(ready))
{ }

void UdpBinding::carryOut(MTcpSocket* conn, const Admission::Reply& reply)
{
    for (const QString& command : reply.tcpCommands)
        conn->ourProtocolSendCommand(command);
    if (!reply.udpCommand.isEmpty()) {
        m_socket->setPeerHostAndPort(reply.udpAddress, reply.udpPort);
        m_socket->ourProtocolSendCommand(reply.udpCommand);
    }
    m_timers->follow(conn, reply);
}

void UdpBinding::request(MTcpSocket* conn)
{
    qCDebug(lcServerFrames) << kTag << "sendUDPRequestToClient1";
    if (!m_admission.contains(conn))
        return;
    qCDebug(lcServerFrames) << kTag << "sendUDPRequestToClient2";

    const Admission::Reply reply = m_admission.requestStep(conn);
    if (reply.firstOfStep)
        qCDebug(lcServerFrames) << kTag << "sendUDPRequestToClient3";
    if (reply.result == Admission::Reply::GaveUp) {
        qCDebug(lcServerFrames) << kTag << "sendUDPRequestToClient4";
        m_giveUp(conn);
        return;
    }
    if (reply.result != Admission::Reply::Done)
        return;
    qCDebug(lcServerFrames) << kTag << "sendUDPRequestToClient5";
    carryOut(conn, reply);
}

void UdpBinding::response(MAbstractSocket* from, int number)
{
    qCDebug(lcServerFrames) << kTag << "udpRequestResponseReceived1";
    const Admission::Reply reply
        = m_admission.udpResponse(number, from->peerAddress(), from->peerPort());
    auto* found = static_cast<MTcpSocket*>(reply.client);
    qCDebug(lcServerFrames) << kTag << "udpRequestResponseReceived2" << found;
    if (!found)
        return;
    qCDebug(lcServerFrames) << kTag << "udpRequestResponseReceived3";
    if (reply.result != Admission::Reply::Done)
        return;
    qCDebug(lcServerFrames) << kTag << "udpRequestResponseReceived4 -- His connection is: "
                            << from->PeerIpAndPort() << from->LocalIpAndPort();
    carryOut(found, reply);
}

void UdpBinding::copyStep(MTcpSocket* conn)
{
    qCDebug(lcServerFrames) << kTag << "tryConnectToClientUdp";
    const Admission::Reply reply = m_admission.copyStep(conn);
    if (reply.result == Admission::Reply::Ignored) {
        qCDebug(lcServer) << kTag << "UDPI:PBOUND ignored in udpState"
                          << int(m_admission.find(conn)->udpState);
    } else if (reply.result == Admission::Reply::GaveUp) {
        m_giveUp(conn);
    } else if (reply.result == Admission::Reply::Done) {
        carryOut(conn, reply);
    }
}

void UdpBinding::copyAnswer(MAbstractSocket* from, int number)
{
    const Admission::Reply reply
        = m_admission.copyAnswer(number, from->peerAddress(), from->peerPort());
    if (reply.result == Admission::Reply::Foreign) {
        qCDebug(lcServer) << kTag << "Copy answer ignored, it came from" << from->PeerIpAndPort()
                          << "and not from"
                          << MAbstractSocket::addressText(reply.udpAddress, reply.udpPort);
        return;
    }
    qCDebug(lcServerFrames) << kTag << "udpCopyResponseReceived";
    if (reply.result != Admission::Reply::Done)
        return;
    auto* found = static_cast<MTcpSocket*>(reply.client);
    carryOut(found, reply);
    if (reply.ready)
        m_ready(found);
}
