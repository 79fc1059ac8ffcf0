#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;
class QUrl;

// The two exchanges with the address-publishing web service: "set" announces
// this machine (the service records where the request came from), "get"
// asks for the last announced address. Each answer is read whole; a service
// that fails or does not answer within the time-out is reported, so that the
// window can fall back to its configured server address. The publishing
// host may carry a port ("host:port", 80 by default). Owned by the window;
// GUI thread.
class DAddressPublisher : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DAddressPublisher)

public:
    static constexpr int kDefaultTimeoutMs = 10000;

    explicit DAddressPublisher(const QString& publishingHost, QObject* parent = nullptr);
    ~DAddressPublisher() override;

    void setTimeout(int ms) { m_timeoutMs = ms; }
    // The window's start: announces this machine when `announce`; with
    // `fetch` asks for the server's address, and serverAddressChosen follows
    // the answer; without, it follows at once with the configured address.
    void start(bool announce, bool fetch);

    // http://host[:port]/ip.php?set or /ip.php; invalid for an empty or
    // malformed host.
    static QUrl serviceUrl(const QString& publishingHost, bool announce);
    // The body of a "get" answer: an address, surrounded by white space.
    static bool parseAnswer(const QByteArray& body, QHostAddress& address);

signals:
    // An HTML status line for the chat area.
    void statusLine(const QString& html);
    void announced(bool ok);
    void addressReceived(const QHostAddress& address);
    void addressUnavailable();
    // After a "get" answer or a start without one: the address to connect
    // to, or a null address when the configured one stays.
    void serverAddressChosen(const QHostAddress& address);

public slots:
    void sendUSetRequest();
    void sendUGetRequest();

private slots:
    void uSetResponseReceived();
    void uGetResponseReceived();

private:
    QNetworkReply* get(bool announce);
    QString failureText(QNetworkReply* reply) const;

    QString m_host;
    QNetworkAccessManager* m_manager;
    int m_timeoutMs = kDefaultTimeoutMs;
};
