#include "tcpframereader.h"

#include "mabstractsocket.h"
#include "wireformat.h"

#include <QIODevice>

TcpFrameReader::Status TcpFrameReader::readFrame(
    QIODevice& device, QByteArray& tag, QByteArray& payload, quint32& length)
{
    if (device.bytesAvailable() < WireFormat::kNumberSize)
        return Incomplete;
    length = MAbstractSocket::byteArrayToInt(device.peek(WireFormat::kNumberSize));
    if (length < quint32(WireFormat::kMinTcpFrameLength) || length > WireFormat::kMaxTcpFrameLength)
        return BadLength;
    if (device.bytesAvailable() < qint64(length))
        return Incomplete;

    device.skip(WireFormat::kNumberSize);
    tag = device.read(WireFormat::kTagSize);
    payload = device.read(qint64(length) - WireFormat::kTcpHeaderSize);
    return FrameRead;
}
