#pragma once

#include "datagramseal.h"
#include "mudpsocket.h"

#include <memory>

// A client's side of sealed datagrams in a secure class. Until the server's "UDPKEY"
// arrives it refuses every datagram both ways, so a secure session never sends one
// unsealed; from then on it seals what goes to the server under that key (direction
// client to server) and opens what comes back through the replay window, counting drops
// and logging them at most once a second. Owned by MClientSession, which takes it off
// the UDP socket before it goes; owner's thread.
class WIRELIB_EXPORT ClientSealer : public DatagramSealer
{
public:
    ClientSealer();
    ~ClientSealer() override;

    // The argument of "UDPKEY" (8 + 64 hex digits); false leaves the sealer as it was.
    bool setKey(const QString& udpKeyArgument);
    bool hasKey() const { return m_channel != nullptr; }

    QByteArray seal(const QByteArray& plain, const QHostAddress& address, quint16 port) override;
    bool open(const QByteArray& sealed, const QHostAddress& address, quint16 port,
        QByteArray& plain) override;

    const DatagramDropLog& drops() const { return m_drops; }

private:
    std::unique_ptr<DatagramChannel> m_channel;
    DatagramDropLog m_drops;
};
