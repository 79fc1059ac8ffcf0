#pragma once

// A real loopback UDP link for encoder tests: the encoder sends on `sender`,
// and every voice packet that arrives on `receiver` is kept in order.

#include "mudpsocket.h"

#include <QByteArray>
#include <QList>
#include <QTest>

namespace VoiceTestData {

struct VoiceLink
{
    MUdpSocket receiver;
    MUdpSocket sender;
    QList<QByteArray> received;
    int sentinels = 0;

    VoiceLink()
    {
        receiver.bind(QHostAddress(QHostAddress::LocalHost), 0);
        QObject::connect(&receiver, &MUdpSocket::packetReceived, &receiver,
            [this](MAbstractSocket*, MDataType type, const QByteArray& data) {
                if (type == VoiceData)
                    received << data;
                else if (type == CommandData && data == kSentinel)
                    ++sentinels;
            });
        sender.setPeerHostAndPort(QHostAddress::LocalHost, receiver.localPort());
    }

    // Sends a sentinel command on `sender` once every call already queued for
    // `context` (an encoder's next send step) has run, and waits for it to
    // arrive. Loopback keeps one socket's datagrams in order, so whatever was
    // sent before it has then been received: a packet that should not have
    // been sent would be in `received` by now.
    bool roundTrip(QObject* context, int timeoutMs = 5000)
    {
        const int before = sentinels;
        QMetaObject::invokeMethod(
            context, [this] { sender.ourProtocolSendCommand(QString::fromLatin1(kSentinel)); },
            Qt::QueuedConnection);
        return QTest::qWaitFor([&] { return sentinels > before; }, timeoutMs);
    }

    // The payloads of everything received, one after the other.
    QByteArray payloads() const
    {
        QByteArray all;
        for (const QByteArray& packet : received)
            all += packet.mid(4);
        return all;
    }

    static constexpr const char* kSentinel = "SENTINEL";
};

} // namespace VoiceTestData
