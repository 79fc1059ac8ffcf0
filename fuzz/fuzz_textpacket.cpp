// Decodes arbitrary text payloads: never reads out of bounds, and a payload
// that decodes re-encodes to the same name length prefix.
#include "mabstractsocket.h"
#include "wireformat.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray payload(reinterpret_cast<const char*>(data), int(size));
    const QString unset = QStringLiteral("\x01unset");
    QString name = unset;
    QString message = unset;
    MAbstractSocket::decodeTextPacket(payload, name, message);
    if ((name == unset) != (message == unset))
        abort();
    if (name != unset && size >= size_t(WireFormat::kNumberSize)) {
        const quint32 declared = MAbstractSocket::byteArrayToInt(payload);
        if (declared > quint32(payload.size() - WireFormat::kNumberSize))
            abort();
    }
    // Round trip of whatever came out must decode to the same strings.
    if (name != unset) {
        QString again;
        QString againMessage;
        MAbstractSocket::decodeTextPacket(
            MAbstractSocket::encodeTextPacket(name, message), again, againMessage);
        if (again != name || againMessage != message)
            abort();
    }
    return 0;
}
