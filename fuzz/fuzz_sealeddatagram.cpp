// Opens arbitrary bytes as sealed datagrams, at a client's channel and through the
// server's key table: each is opened or dropped, never read past its end, and
// nothing opens unless it was sealed under the key. The first byte chooses whether
// the input is sent as it is or first sealed and then changed in one byte.
#include "datagramseal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

const QByteArray kKey(SealedDatagram::kKeySize, '\x42');
constexpr quint32 kKeyId = 0x01020304;

// Every run drops something into a fresh table, whose first drop is logged.
void quiet(QtMsgType, const QMessageLogContext&, const QString&) { }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const auto previous = qInstallMessageHandler(quiet);
    Q_UNUSED(previous)
    if (size < 1)
        return 0;
    const uint8_t mode = data[0];
    QByteArray input(reinterpret_cast<const char*>(data + 1), int(size - 1));
    bool changed = true;
    if (mode & 1) {
        // A real datagram under the key, with at most one byte changed.
        const quint64 counter = mode >> 1;
        input = SealedDatagram::seal(
            kKey, kKeyId, SealedDatagram::Direction::ClientToServer, counter, input);
        changed = (mode & 2) && input.size() > 0;
        if (changed) {
            const int at = int(size) % input.size();
            input[at] = char(input[at] ^ (1 + (mode >> 2)));
        }
    }
    // Exactly the datagram's bytes on the heap, no terminator: a read past the end is
    // caught by the address sanitizer.
    const size_t length = size_t(input.size());
    std::unique_ptr<char[]> exact(new char[length ? length : 1]);
    std::memcpy(exact.get(), input.constData(), length);
    const QByteArray datagram = QByteArray::fromRawData(exact.get(), int(length));

    DatagramChannel server(kKeyId, kKey, DatagramChannel::ServerSide);
    QByteArray plain;
    const SealedDatagram::OpenResult result = server.open(datagram, plain);
    if (result == SealedDatagram::OpenResult::Opened) {
        if (changed)
            abort(); // a changed datagram (or random bytes) passed authentication
        if (plain.size() != int(length) - SealedDatagram::kOverhead)
            abort();
        // The same counter again is a replay.
        QByteArray again;
        if (server.open(datagram, again) != SealedDatagram::OpenResult::Replayed)
            abort();
    } else if (!plain.isEmpty()) {
        abort(); // a dropped datagram handed something on
    }

    DatagramKeyTable table;
    table.add(kKeyId, kKey);
    quint32 keyId = 0;
    QByteArray fromTable;
    if (table.open(datagram, fromTable, keyId, QString()) != result)
        abort();
    return 0;
}
