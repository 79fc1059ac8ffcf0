#pragma once

// A real loopback UDP link for encoder tests: the encoder sends on `sender`,
// and every voice packet that arrives on `receiver` is kept in order.

#include "mudpsocket.h"

#include <QByteArray>
#include <QList>

namespace VoiceTestData {

struct VoiceLink
{
    MUdpSocket receiver;
    MUdpSocket sender;
    QList<QByteArray> received;

    VoiceLink()
    {
        receiver.bind(QHostAddress(QHostAddress::LocalHost), 0);
        QObject::connect(&receiver, &MUdpSocket::packetReceived, &receiver,
            [this](MAbstractSocket*, MDataType type, const QByteArray& data) {
                if (type == VoiceData)
                    received << data;
            });
        sender.setPeerHostAndPort(QHostAddress::LocalHost, receiver.localPort());
    }

    // The payloads of everything received, one after the other.
    QByteArray payloads() const
    {
        QByteArray all;
        for (const QByteArray& packet : received)
            all += packet.mid(4);
        return all;
    }
};

} // namespace VoiceTestData
