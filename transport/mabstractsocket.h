#pragma once

#include "wirelib_global.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QIODevice>
#include <QMetaType>
#include <QString>

// Packet data type, derived from a frame's 4-byte tag.
enum MDataType {
    UnrecognisedData = 0,
    CommandData = 1,
    TextData = 2,
    VoiceData = 3,
    ExtraData = 4
};
Q_DECLARE_METATYPE(MDataType)

// The packet socket interface shared by MTcpSocket and MUdpSocket. A concrete
// socket derives first from its Qt socket and second from this class, so the
// same object is a Qt socket (owned through its QObject parent) and a packet
// socket. Every operation runs on the owning thread.
class WIRELIB_EXPORT MAbstractSocket
{
public:
    virtual ~MAbstractSocket();

    virtual int socketType() = 0;
    virtual QString LocalIpAndPort() const = 0;
    virtual QString PeerIpAndPort() const = 0;
    virtual bool usable() const = 0;
    virtual QHostAddress peerAddress() const = 0;
    virtual quint16 peerPort() const = 0;
    virtual QAbstractSocket::SocketState state() const = 0;
    virtual void connectToHost(
        const QHostAddress& address, quint16 port, QIODevice::OpenMode mode = QIODevice::ReadWrite)
        = 0;
    virtual void close() = 0;

    // Each sender builds its payload and returns what ourProtocolSend returns:
    // the bytes handed to the network, or -1.
    qint64 ourProtocolSendCommand(const QString& command);
    qint64 ourProtocolSendText(const QString& name, const QString& message);
    qint64 ourProtocolSendVoice(const QByteArray& voicePacket, int sequenceNumber);
    qint64 ourProtocolSendXData(const QByteArray& data, int first, int second);
    qint64 ourProtocolSendPData(const QByteArray& data);

    static QByteArray intToByteArray(quint32 value);
    // Gives 0 for fewer than 4 bytes; bytes after the fourth are ignored.
    static quint32 byteArrayToInt(const QByteArray& bytes);
    static QByteArray encodeTextPacket(const QString& name, const QString& message);
    // Leaves both outputs unchanged when the payload is short or inconsistent.
    static void decodeTextPacket(const QByteArray& payload, QString& name, QString& message);
    static MDataType dataTypeFromTag(const QByteArray& tag);
    static bool parseAddressPort(const QString& text, QHostAddress& address, quint16& port);
    static QString getStateString(QAbstractSocket::SocketState state);
    // "address:port", the address always in its IPv4 form when it has one.
    static QString addressText(const QHostAddress& address, quint16 port);

protected:
    virtual qint64 ourProtocolSend(const QByteArray& tag, const QByteArray& payload) = 0;
    virtual void processReadyRead() { }
    virtual void packetReceived(
        MAbstractSocket* connection, MDataType dataType, const QByteArray& data)
        = 0;
};

Q_DECLARE_INTERFACE(MAbstractSocket, "MAbstractSocket")
Q_DECLARE_METATYPE(MAbstractSocket*)
