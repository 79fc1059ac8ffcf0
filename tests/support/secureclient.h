#pragma once

#include "mabstractsocket.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTemporaryDir>

#include <memory>

class DatagramSealer;
class MTcpSocket;
class MUdpSocket;

// A scripted client of a secure class over real loopback sockets, standing for
// whoever connects: TLS pinned to the fingerprint it is given (or no TLS at all,
// as a plain client), "CLASSCODE" before "IDENTIFY" when it has a code, and,
// once "UDPKEY" arrives, the UDP handshake sealed under that key. It records
// every frame and every datagram that opened. Main thread; owned by its parent.
class SecureClient : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(SecureClient)

public:
    struct Packet
    {
        bool overUdp = false;
        MDataType type = UnrecognisedData;
        QByteArray data;
    };

    // A null code sends no "CLASSCODE" at all.
    SecureClient(const QString& name, const QString& code, QObject* parent = nullptr);
    ~SecureClient() override;

    // Plain: no TLS and no code, as the plain protocol speaks (set before connecting).
    void setPlain(bool plain) { m_plain = plain; }
    // Connects from localAddress (null: any) to the server's loopback ends. The
    // known-servers file lives in a folder of the client's own.
    void connectTo(quint16 tcpPort, quint16 udpPort, const QString& fingerprint,
        const QHostAddress& localAddress = QHostAddress());

    qint64 sendCommand(const QString& command);
    qint64 sendText(const QString& message);
    qint64 sendXData(const QByteArray& data, int first, int second);
    // Sealed under the client's key (plain for a plain client).
    qint64 sendVoice(const QByteArray& voice, int sequenceNumber);
    // A datagram exactly as given, to the server's UDP port.
    qint64 sendRawUdp(const QByteArray& datagram);

    bool isReady() const { return m_ready; }
    bool isConnected() const;
    bool wasClosed() const { return m_closed; }
    bool isEncrypted() const;
    quint32 keyId() const { return m_keyId; }
    QByteArray key() const { return m_key; }
    MTcpSocket* tcpSocket() const { return m_tcp; }
    MUdpSocket* udpSocket() const { return m_udp; }

    QStringList commands() const;
    QList<QByteArray> payloads(MDataType type, bool overUdp) const;
    // The last TCP command starting with keyword, without it; null when none.
    QString lastArgument(QLatin1String keyword) const;

signals:
    void packetArrived();

private:
    void onConnected();
    void onPacket(MAbstractSocket* connection, MDataType type, const QByteArray& data);
    void useKey(const QString& argument);

    QString m_name;
    QString m_code;
    bool m_plain = false;
    MTcpSocket* m_tcp = nullptr;
    MUdpSocket* m_udp = nullptr;
    std::unique_ptr<DatagramSealer> m_sealer;
    quint16 m_serverUdpPort = 0;
    QTemporaryDir m_knownServersFolder;
    bool m_ready = false;
    bool m_closed = false;
    quint32 m_keyId = 0;
    QByteArray m_key;
    QList<Packet> m_received;
};
