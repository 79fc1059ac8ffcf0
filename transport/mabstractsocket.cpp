#include "mabstractsocket.h"

#include "wireformat.h"

MAbstractSocket::~MAbstractSocket() = default;

qint64 MAbstractSocket::ourProtocolSendCommand(const QString& command)
{
    return ourProtocolSend(QByteArray(WireFormat::kCommandTag.data()), command.toUtf8());
}

qint64 MAbstractSocket::ourProtocolSendText(const QString& name, const QString& message)
{
    return ourProtocolSend(
        QByteArray(WireFormat::kTextTag.data()), encodeTextPacket(name, message));
}

qint64 MAbstractSocket::ourProtocolSendVoice(const QByteArray& voicePacket, int sequenceNumber)
{
    QByteArray payload = intToByteArray(quint32(sequenceNumber));
    payload.append(voicePacket);
    return ourProtocolSend(QByteArray(WireFormat::kVoiceTag.data()), payload);
}

qint64 MAbstractSocket::ourProtocolSendXData(const QByteArray& data, int first, int second)
{
    QByteArray payload = intToByteArray(quint32(first));
    payload.append(intToByteArray(quint32(second)));
    payload.append(data);
    return ourProtocolSend(QByteArray(WireFormat::kExtraDataTag.data()), payload);
}

qint64 MAbstractSocket::ourProtocolSendPData(const QByteArray& data)
{
    return ourProtocolSend(QByteArray(WireFormat::kPassThroughTag.data()), data);
}

QByteArray MAbstractSocket::intToByteArray(quint32 value)
{
    QByteArray bytes(4, '\0');
    bytes[0] = char((value >> 24) & 0xFF);
    bytes[1] = char((value >> 16) & 0xFF);
    bytes[2] = char((value >> 8) & 0xFF);
    bytes[3] = char(value & 0xFF);
    return bytes;
}

quint32 MAbstractSocket::byteArrayToInt(const QByteArray& bytes)
{
    if (bytes.size() < 4)
        return 0;
    const auto byte = [&bytes](int i) { return quint32(quint8(bytes.at(i))); };
    return (byte(0) << 24) | (byte(1) << 16) | (byte(2) << 8) | byte(3);
}

QByteArray MAbstractSocket::encodeTextPacket(const QString& name, const QString& message)
{
    const QByteArray nameBytes = name.toUtf8();
    QByteArray payload = intToByteArray(quint32(nameBytes.size()));
    payload.append(nameBytes);
    payload.append(message.toUtf8());
    return payload;
}

void MAbstractSocket::decodeTextPacket(const QByteArray& payload, QString& name, QString& message)
{
    if (payload.size() < 4)
        return;
    const quint32 nameSize = byteArrayToInt(payload);
    if (nameSize > quint32(payload.size() - 4))
        return;
    name = QString::fromUtf8(payload.constData() + 4, int(nameSize));
    message = QString::fromUtf8(payload.mid(4 + int(nameSize)));
}

MDataType MAbstractSocket::dataTypeFromTag(const QByteArray& tag)
{
    if (tag == WireFormat::kCommandTag.data())
        return CommandData;
    if (tag == WireFormat::kTextTag.data())
        return TextData;
    if (tag == WireFormat::kVoiceTag.data())
        return VoiceData;
    if (tag == WireFormat::kExtraDataTag.data())
        return ExtraData;
    return UnrecognisedData;
}

bool MAbstractSocket::parseAddressPort(const QString& text, QHostAddress& address, quint16& port)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return true;

    const int colon = text.indexOf(QLatin1Char(':'));
    QHostAddress parsed;
    if (colon < 0) {
        if (!parsed.setAddress(trimmed))
            return false;
        address = parsed;
        return true;
    }

    const bool addressOk = parsed.setAddress(text.left(colon).trimmed());
    if (addressOk)
        address = parsed;
    bool portOk = false;
    const qlonglong value = text.mid(colon + 1).trimmed().toLongLong(&portOk, 10);
    if (portOk)
        port = quint16(quint64(value) & 0xFFFF);
    return addressOk && portOk;
}

QString MAbstractSocket::getStateString(QAbstractSocket::SocketState state)
{
    switch (state) {
    case QAbstractSocket::UnconnectedState:
        return QStringLiteral("Disconnected");
    case QAbstractSocket::HostLookupState:
        return QStringLiteral("Resolving host...");
    case QAbstractSocket::ConnectingState:
        return QStringLiteral("Connecting...");
    case QAbstractSocket::ConnectedState:
        return QStringLiteral("Connected");
    case QAbstractSocket::BoundState:
        return QStringLiteral("Connected, Bound");
    case QAbstractSocket::ClosingState:
        return QStringLiteral("Closing...");
    default:
        return QStringLiteral("Unknown");
    }
}

QString MAbstractSocket::addressText(const QHostAddress& address, quint16 port)
{
    // Sockets bound to the dual-stack "any" address report IPv4 peers in their
    // mapped form; the wire always carries the plain a.b.c.d text.
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    const QString host = isIpv4 ? QHostAddress(ipv4).toString() : address.toString();
    return host + QLatin1Char(':') + QString::number(port);
}
