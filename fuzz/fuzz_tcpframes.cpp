// Feeds arbitrary byte streams, cut into arbitrary pieces, to the TCP frame
// reassembly and checks that every frame it takes is exactly what was framed.
#include "mabstractsocket.h"
#include "tcpframereader.h"
#include "wireformat.h"

#include <QBuffer>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte chooses how the stream is split into arrivals.
    const int pieceSize = 1 + data[0] % 16;
    const QByteArray stream(reinterpret_cast<const char*>(data + 1), int(size - 1));

    QByteArray pending;
    for (int offset = 0; offset < stream.size(); offset += pieceSize) {
        pending.append(stream.mid(offset, pieceSize));
        QBuffer device(&pending);
        device.open(QIODevice::ReadOnly);
        for (;;) {
            QByteArray tag;
            QByteArray payload;
            quint32 length = 0;
            const auto status = TcpFrameReader::readFrame(device, tag, payload, length);
            if (status == TcpFrameReader::BadLength) {
                if (length >= quint32(WireFormat::kMinTcpFrameLength)
                    && length <= WireFormat::kMaxTcpFrameLength)
                    abort();
                return 0;
            }
            if (status == TcpFrameReader::Incomplete)
                break;
            if (tag.size() != WireFormat::kTagSize
                || quint32(payload.size() + WireFormat::kTcpHeaderSize) != length)
                abort();
        }
        const qint64 consumed = device.pos();
        device.close();
        pending.remove(0, int(consumed));
    }
    return 0;
}
