#include "addressservice.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

// A request head larger than this is not one of ours.
constexpr int kMaxHeadBytes = 8192;

QByteArray answer(int status, const QByteArray& reason, const QByteArray& body)
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason
        + "\r\nContent-Type: text/plain\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\nConnection: close\r\n\r\n" + body;
}

QString addressText(const QHostAddress& address)
{
    bool ok = false;
    const quint32 v4 = address.toIPv4Address(&ok);
    return ok ? QHostAddress(v4).toString() : address.toString();
}

} // namespace

AddressService::AddressService(QObject* parent) : QObject(parent), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &AddressService::newConnection);
}

AddressService::~AddressService() = default;

bool AddressService::listen(const QHostAddress& address, quint16 port)
{
    return m_server->listen(address, port);
}

quint16 AddressService::port() const
{
    return m_server->serverPort();
}

QString AddressService::errorString() const
{
    return m_server->errorString();
}

void AddressService::setReplyParts(int parts, int gapMs)
{
    m_parts = qMax(1, parts);
    m_gapMs = qMax(0, gapMs);
}

void AddressService::newConnection()
{
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequest(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void AddressService::readRequest(QTcpSocket* socket)
{
    if (socket->property("answered").toBool())
        return;
    QByteArray head = socket->property("head").toByteArray() + socket->readAll();
    const int end = head.indexOf("\r\n\r\n");
    if (end < 0) {
        if (head.size() > kMaxHeadBytes)
            socket->abort();
        else
            socket->setProperty("head", head);
        return;
    }
    socket->setProperty("answered", true);
    const QList<QByteArray> lines = head.left(end).split('\n');
    const QByteArray requestLine = lines.value(0).trimmed();
    QByteArray host;
    for (const QByteArray& line : lines) {
        if (line.toLower().startsWith("host:"))
            host = line.mid(5).trimmed();
    }
    m_requests << QString::fromLatin1(requestLine + "\nHost: " + host);
    if (m_silent)
        return;

    const QList<QByteArray> words = requestLine.split(' ');
    const QByteArray method = words.value(0);
    const QByteArray target = words.value(1);
    QByteArray reply;
    if (method != "GET") {
        reply = answer(405, "Method Not Allowed", QByteArray());
    } else if (target == "/ip.php?set") {
        m_recorded = addressText(socket->peerAddress());
        reply = answer(200, "OK", m_recorded.toLatin1() + "\r\n");
    } else if (target == "/ip.php") {
        reply = answer(200, "OK", m_recorded.toLatin1() + "\r\n");
    } else {
        reply = answer(404, "Not Found", QByteArray());
    }
    emit requestServed(QString::fromLatin1(requestLine));
    writeParts(socket, reply, 0);
}

void AddressService::writeParts(QTcpSocket* socket, const QByteArray& reply, int part)
{
    const int partSize = (reply.size() + m_parts - 1) / m_parts;
    socket->write(reply.mid(part * partSize, partSize));
    socket->flush();
    if (part + 1 >= m_parts || (part + 1) * partSize >= reply.size()) {
        socket->disconnectFromHost();
        return;
    }
    const QPointer<QTcpSocket> guard(socket);
    QTimer::singleShot(m_gapMs, this, [this, guard, reply, part] {
        if (guard)
            writeParts(guard, reply, part + 1);
    });
}
