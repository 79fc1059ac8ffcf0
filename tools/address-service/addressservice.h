#pragma once

#include <QHostAddress>
#include <QObject>
#include <QStringList>

class QTcpServer;
class QTcpSocket;

// A stand-in for the address-publishing web service that lies outside the
// classroom system: "GET /ip.php?set" records the requester's address,
// "GET /ip.php" answers the last recorded one as the body. For tests it can
// split its answers over several writes or stay silent. Used in-process by
// the tests and as the address-service program for a local demonstration.
// Owned by its parent; main thread.
class AddressService : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(AddressService)

public:
    explicit AddressService(QObject* parent = nullptr);
    ~AddressService() override;

    bool listen(const QHostAddress& address, quint16 port);
    quint16 port() const;
    QString errorString() const;

    QString recordedAddress() const { return m_recorded; }
    void setRecordedAddress(const QString& address) { m_recorded = address; }
    // Each answer goes out in this many writes, gapMs apart.
    void setReplyParts(int parts, int gapMs);
    // Requests are read and never answered.
    void setSilent(bool silent) { m_silent = silent; }
    // Request heads received, each as its request line and Host line.
    QStringList requests() const { return m_requests; }

signals:
    void requestServed(const QString& requestLine);

private:
    void newConnection();
    void readRequest(QTcpSocket* socket);
    void writeParts(QTcpSocket* socket, const QByteArray& answer, int part);

    QTcpServer* m_server;
    QString m_recorded;
    int m_parts = 1;
    int m_gapMs = 0;
    bool m_silent = false;
    QStringList m_requests;
};
