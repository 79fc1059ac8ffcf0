#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QPair>
#include <QVector>

#include <functional>
#include <memory>

class QUdpSocket;

// Sends one datagram to many UDP ends from one socket. On Linux the copies go
// to the kernel in as few calls as possible (sendmmsg on the socket's
// descriptor, the datagram bytes shared by every message); elsewhere one
// writeDatagram each. Receiving stays with the socket. The socket must outlive
// this object; MStudentServer owns both.
class DatagramFanOut
{
public:
    using End = QPair<QHostAddress, quint16>;

    explicit DatagramFanOut(QUdpSocket* socket);
    ~DatagramFanOut();
    DatagramFanOut(const DatagramFanOut&) = delete;
    DatagramFanOut& operator=(const DatagramFanOut&) = delete;

    // The recipients, in sending order; duplicates are sent to twice.
    void setEnds(const QVector<End>& ends);
    // Sends the datagram to every end other than skip; gives the copies that
    // were handed to the kernel.
    int send(const QByteArray& datagram, const End& skip);
    // The copy an end gets (a secure class seals each under its recipient's
    // key); an empty copy is not sent.
    using CopyFor = std::function<QByteArray(const QByteArray& datagram, const End& end)>;
    // As send, with each copy made by copyFor; made and handed to the kernel a
    // batch at a time.
    int send(const QByteArray& datagram, const End& skip, const CopyFor& copyFor);

private:
    struct Native;

    int sendPortable(const QByteArray& datagram, const End& skip, const CopyFor& copyFor);

    QUdpSocket* m_socket;
    QVector<End> m_ends;
    std::unique_ptr<Native> m_native;
};
