#include "clientsealer.h"

ClientSealer::ClientSealer() = default;

ClientSealer::~ClientSealer() = default;

bool ClientSealer::setKey(const QString& udpKeyArgument)
{
    quint32 keyId = 0;
    QByteArray key;
    if (!SealedDatagram::parseUdpKeyArgument(udpKeyArgument, keyId, key))
        return false;
    auto channel = std::make_unique<DatagramChannel>(keyId, key, DatagramChannel::ClientSide);
    if (!channel->isValid())
        return false;
    m_channel = std::move(channel);
    return true;
}

QByteArray ClientSealer::seal(const QByteArray& plain, const QHostAddress&, quint16)
{
    return m_channel ? m_channel->seal(plain) : QByteArray();
}

bool ClientSealer::open(
    const QByteArray& sealed, const QHostAddress& address, quint16 port, QByteArray& plain)
{
    const SealedDatagram::OpenResult result
        = m_channel ? m_channel->open(sealed, plain) : SealedDatagram::OpenResult::UnknownKey;
    if (result == SealedDatagram::OpenResult::Opened)
        return true;
    m_drops.record(result, MAbstractSocket::addressText(address, port));
    return false;
}
