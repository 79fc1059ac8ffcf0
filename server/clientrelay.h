#pragma once

#include "clientlimits.h"
#include "floodguard.h"
#include "mabstractsocket.h"
#include "readyclient.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QPair>

#include <functional>
#include <memory>

class DatagramFanOut;
class MTcpSocket;
class MUdpSocket;
class QByteArray;

// The classroom server's relay and budgets: judges what each client sends
// against what one client may cost the others (TCP frames and bytes per
// connection, voice per ready UDP end, handshake answers from everybody
// together), sends the relayed traffic to the ready clients, has a client
// that stops reading dropped, and logs dropped traffic at most once a second.
// Plain class kept by MStudentServer, which owns the ready clients, their
// sockets and the UDP socket it sends on; main thread.
class ClientRelay
{
public:
    using ReadyClients = QHash<MTcpSocket*, ReadyClient>;
    // Removes a ready client; called when its unsent data grew past the bound.
    using DropClient = std::function<void(MTcpSocket*)>;

    // dropFlooder removes a connection (ready or waiting) far beyond its budget.
    ClientRelay(MUdpSocket* socket, const ReadyClients& readyClients, bool udpTextProbe,
        DropClient dropSlowClient, DropClient dropFlooder);
    ~ClientRelay();
    ClientRelay(const ClientRelay&) = delete;
    ClientRelay& operator=(const ClientRelay&) = delete;

    // TCP connections, from their arrival until they leave.
    void addConnection(MTcpSocket* conn);
    void removeConnection(MTcpSocket* conn);
    // A frame with this payload arrived on conn: Pass, Drop, or Disconnect
    // for a connection far beyond its budget (logged; the caller closes it).
    FloodGuard::Verdict judgeFrame(MTcpSocket* conn, int payloadBytes);
    // Whether a frame with this payload is handled: false when it is dropped,
    // and when conn was dropped and aborted for flooding.
    bool admitFrame(MTcpSocket* conn, int payloadBytes);

    // Whether a ready client's TCP packet goes on to the classroom, and as
    // what: commands as they are, text under the name the client identified
    // with (a client cannot speak under another name), extra data only with
    // its two header numbers; anything else is dropped.
    bool fromReadyClient(MTcpSocket* conn, MDataType type, QByteArray& data) const;

    // UDP ends of ready clients; two clients may share one.
    void addReadyEnd(const QHostAddress& address, quint16 port);
    void removeReadyEnd(const QHostAddress& address, quint16 port);

    // Whether a handshake answer over UDP may be handled.
    bool admitHandshakeAnswer(const MAbstractSocket* from, int bytes);
    // Whether a voice datagram's payload may be relayed: only from a ready
    // client's UDP end, with a sequence number, within the end's budget.
    bool admitVoice(const MAbstractSocket* from, const QByteArray& payload);
    // A text datagram as the UDP text probe relays it, marked as confirmed by
    // the server; false when the probe is off.
    bool confirmUdpText(QByteArray& data) const;
    // To every usable ready client other than except (null: nobody left out).
    void sendCommand(const QString& command, MTcpSocket* except);
    void sendText(const QString& name, const QString& message, MTcpSocket* except);
    // An extra-data payload, split into its two numbers and its data.
    void sendXData(const QByteArray& data, MTcpSocket* except);
    // Sends the voice packet to every ready UDP end other than the sender's.
    void sendVoice(
        const QByteArray& voice, int sequenceNumber, const QHostAddress& address, quint16 port);

    // Voice datagrams from ready clients dropped for exceeding the voice limit.
    qint64 droppedVoiceDatagrams() const { return m_droppedVoice; }
    // Whether a line about dropped traffic may be logged now (one a second in all).
    bool mayLogDrop();

private:
    using UdpEnd = QPair<QHostAddress, quint16>;

    // What the server keeps per ready UDP end: how many ready clients share it
    // and the voice budget of whoever sends from it.
    struct UdpEndState
    {
        int clients = 0;
        FloodGuard voice { ClientLimits::kVoicePerSecond, ClientLimits::kVoiceBurst };
    };
    struct TcpBudget
    {
        FloodGuard guard { ClientLimits::kFramesPerSecond, ClientLimits::kFrameBurst,
            ClientLimits::kBytesPerSecond, ClientLimits::kByteBurst };
    };

    void logDroppedDatagram(const char* reason, const MAbstractSocket* from);
    // Drops a ready client whose unsent data has grown past the bound.
    void checkBacklog(MTcpSocket* conn);

    MUdpSocket* m_socket;
    const ReadyClients& m_readyClients;
    bool m_udpTextProbe;
    DropClient m_dropSlowClient;
    DropClient m_dropFlooder;

    QHash<UdpEnd, UdpEndState> m_readyUdpEnds;
    // Rebuilt from the ready ends before the first voice after they changed.
    std::unique_ptr<DatagramFanOut> m_fanOut;
    bool m_fanOutStale = true;
    QHash<MTcpSocket*, TcpBudget> m_tcpBudgets;
    FloodGuard m_handshakeAnswers { ClientLimits::kHandshakeAnswersPerSecond,
        ClientLimits::kHandshakeAnswerBurst };
    QElapsedTimer m_clock;
    qint64 m_lastDropLogMs = -1;
    qint64 m_droppedVoice = 0;
};
