#pragma once

#include "wirelib_global.h"

#include <QByteArray>

class QIODevice;

// Takes whole TCP packet frames from a device's read buffer. Works on any
// QIODevice so the reassembly can be exercised without a network; MTcpSocket
// runs it on its own socket. Nothing is consumed until a frame is complete.
class WIRELIB_EXPORT TcpFrameReader
{
public:
    enum Status {
        Incomplete, // fewer bytes than the next frame needs; nothing consumed
        FrameRead, // one frame consumed into tag and payload
        BadLength // the length field cannot be a frame; nothing consumed
    };

    static Status readFrame(
        QIODevice& device, QByteArray& tag, QByteArray& payload, quint32& length);
};
