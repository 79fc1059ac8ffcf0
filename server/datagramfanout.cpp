#include "datagramfanout.h"

#ifdef Q_OS_LINUX
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <vector>
#endif

#include <QUdpSocket>

#ifdef Q_OS_LINUX

// The recipients in the socket's own address family, with one message header
// each, all pointing at one shared buffer description.
struct DatagramFanOut::Native
{
    int family = AF_UNSPEC;
    std::vector<sockaddr_storage> addresses;
    std::vector<mmsghdr> messages;
    iovec buffer {};
    // One description per message when each copy differs.
    std::vector<iovec> copies;

    bool toNative(const End& end, sockaddr_storage& out) const;
    bool sameEnd(const sockaddr_storage& a, const sockaddr_storage& b) const;
    int sendRun(int fd, int begin, int end);
    // Copies that differ (copyFor's), to every end but skip (null: none).
    int sendCopies(int fd, const sockaddr_storage* skip, const QByteArray& datagram,
        const QVector<End>& ends, const CopyFor& copyFor);
};

namespace {

// The kernel takes at most this many messages in one sendmmsg call.
constexpr int kMaxBatch = UIO_MAXIOV;
// Sealed copies are made and sent this many at a time. Sealing one costs some
// 0.6 us: in batches of 64 the first recipients get theirs some 40 us after the
// datagram came, not after a whole class's copies were sealed, for one more
// sendmmsg call per 64 copies.
constexpr int kSealedBatch = 64;
// A full send buffer is waited for this long before the remaining copies of
// one datagram are given up: voice that late is of no use.
constexpr int kFullBufferWaitMs = 5;

} // namespace

bool DatagramFanOut::Native::toNative(const End& end, sockaddr_storage& out) const
{
    std::memset(&out, 0, sizeof out);
    bool isV4 = false;
    const quint32 v4 = end.first.toIPv4Address(&isV4);
    if (family == AF_INET) {
        if (!isV4)
            return false;
        auto* in = reinterpret_cast<sockaddr_in*>(&out);
        in->sin_family = AF_INET;
        in->sin_port = htons(end.second);
        in->sin_addr.s_addr = htonl(v4);
        return true;
    }
    if (family == AF_INET6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&out);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(end.second);
        // An IPv4 end reached through a dual-stack socket takes its mapped
        // form, which is what toIPv6Address() gives for one.
        const Q_IPV6ADDR bytes = end.first.toIPv6Address();
        std::memcpy(&in6->sin6_addr, bytes.c, sizeof in6->sin6_addr);
        in6->sin6_scope_id = end.first.scopeId().toUInt();
        return true;
    }
    return false;
}

bool DatagramFanOut::Native::sameEnd(const sockaddr_storage& a, const sockaddr_storage& b) const
{
    if (family == AF_INET) {
        const auto& x = reinterpret_cast<const sockaddr_in&>(a);
        const auto& y = reinterpret_cast<const sockaddr_in&>(b);
        return x.sin_port == y.sin_port && x.sin_addr.s_addr == y.sin_addr.s_addr;
    }
    const auto& x = reinterpret_cast<const sockaddr_in6&>(a);
    const auto& y = reinterpret_cast<const sockaddr_in6&>(b);
    return x.sin6_port == y.sin6_port
        && std::memcmp(&x.sin6_addr, &y.sin6_addr, sizeof x.sin6_addr) == 0;
}

int DatagramFanOut::Native::sendRun(int fd, int begin, int end)
{
    int sent = 0;
    bool waited = false;
    while (begin < end) {
        const int count = std::min(end - begin, kMaxBatch);
        const int result = ::sendmmsg(fd, &messages[size_t(begin)], unsigned(count), 0);
        if (result > 0) {
            begin += result;
            sent += result;
            continue;
        }
        if (errno == EINTR)
            continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) && !waited) {
            waited = true;
            pollfd writable { fd, POLLOUT, 0 };
            if (::poll(&writable, 1, kFullBufferWaitMs) > 0)
                continue;
            return sent;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)
            return sent;
        // This recipient cannot be sent to (no route, for example); the
        // others still get their copy.
        ++begin;
    }
    return sent;
}

#else

struct DatagramFanOut::Native
{
};

#endif

DatagramFanOut::DatagramFanOut(QUdpSocket* socket) : m_socket(socket) { }

DatagramFanOut::~DatagramFanOut() = default;

void DatagramFanOut::setEnds(const QVector<End>& ends)
{
    m_ends = ends;
    m_native.reset();
#ifdef Q_OS_LINUX
    const qintptr fd = m_socket->socketDescriptor();
    if (fd < 0)
        return;
    sockaddr_storage local {};
    socklen_t length = sizeof local;
    if (::getsockname(int(fd), reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return;
    auto native = std::make_unique<Native>();
    native->family = local.ss_family;
    if (native->family != AF_INET && native->family != AF_INET6)
        return;
    native->addresses.resize(size_t(ends.size()));
    native->messages.resize(size_t(ends.size()));
    const socklen_t nameLength
        = native->family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    for (int i = 0; i < ends.size(); ++i) {
        // An end the socket cannot reach (IPv6 on an IPv4 socket) leaves the
        // whole list to the portable path, which reports it as Qt does.
        if (!native->toNative(ends.at(i), native->addresses[size_t(i)]))
            return;
        msghdr& header = native->messages[size_t(i)].msg_hdr;
        header = {};
        header.msg_name = &native->addresses[size_t(i)];
        header.msg_namelen = nameLength;
        header.msg_iov = &native->buffer;
        header.msg_iovlen = 1;
    }
    m_native = std::move(native);
#endif
}

int DatagramFanOut::send(const QByteArray& datagram, const End& skip)
{
    return send(datagram, skip, CopyFor());
}

int DatagramFanOut::send(const QByteArray& datagram, const End& skip, const CopyFor& copyFor)
{
#ifdef Q_OS_LINUX
    const qintptr fd = m_socket->socketDescriptor();
    if (!m_native || fd < 0)
        return sendPortable(datagram, skip, copyFor);
    Native& native = *m_native;
    native.buffer.iov_base = const_cast<char*>(datagram.constData());
    native.buffer.iov_len = size_t(datagram.size());
    sockaddr_storage skipped {};
    const bool canSkip = native.toNative(skip, skipped);
    const int count = int(native.addresses.size());
    if (copyFor)
        return native.sendCopies(int(fd), canSkip ? &skipped : nullptr, datagram, m_ends, copyFor);
    int sent = 0;
    int runStart = 0;
    for (int i = 0; i <= count; ++i) {
        if (i < count && !(canSkip && native.sameEnd(native.addresses[size_t(i)], skipped)))
            continue;
        sent += native.sendRun(int(fd), runStart, i);
        runStart = i + 1;
    }
    return sent;
#else
    return sendPortable(datagram, skip, copyFor);
#endif
}

#ifdef Q_OS_LINUX
int DatagramFanOut::Native::sendCopies(int fd, const sockaddr_storage* skip,
    const QByteArray& datagram, const QVector<End>& ends, const CopyFor& copyFor)
{
    const int count = int(addresses.size());
    copies.resize(size_t(count));
    // The copies of a batch live until it is sent; the sender and an end
    // without a copy get none.
    QVector<QByteArray> made(std::min(count, kSealedBatch));
    bool leftOut[kSealedBatch];
    int sent = 0;
    for (int first = 0; first < count; first += kSealedBatch) {
        const int last = std::min(count, first + kSealedBatch);
        for (int i = first; i < last; ++i) {
            QByteArray& copy = made[i - first];
            copy = skip && sameEnd(addresses[size_t(i)], *skip) ? QByteArray()
                                                                : copyFor(datagram, ends.at(i));
            leftOut[i - first] = copy.isEmpty();
            copies[size_t(i)] = { const_cast<char*>(copy.constData()), size_t(copy.size()) };
            messages[size_t(i)].msg_hdr.msg_iov = &copies[size_t(i)];
        }
        int runStart = first;
        for (int i = first; i <= last; ++i) {
            if (i < last && !leftOut[i - first])
                continue;
            sent += sendRun(fd, runStart, i);
            runStart = i + 1;
        }
    }
    for (mmsghdr& message : messages)
        message.msg_hdr.msg_iov = &buffer;
    return sent;
}
#endif

int DatagramFanOut::sendPortable(
    const QByteArray& datagram, const End& skip, const CopyFor& copyFor)
{
    int sent = 0;
    for (const End& end : qAsConst(m_ends)) {
        if (end == skip)
            continue;
        const QByteArray copy = copyFor ? copyFor(datagram, end) : datagram;
        if (copy.isEmpty())
            continue;
        if (m_socket->writeDatagram(copy, end.first, end.second) == copy.size())
            ++sent;
    }
    return sent;
}
