#include "daddresspublisher.h"

#include "chatformat.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include "assistantlog.h"

namespace {

constexpr int kDefaultHttpPort = 80;
// A "get" answer is one address; anything longer is not one.
constexpr int kMaxAnswerBytes = 4096;

} // namespace

DAddressPublisher::DAddressPublisher(const QString& publishingHost, QObject* parent)
    : QObject(parent), m_host(publishingHost.trimmed()), m_manager(new QNetworkAccessManager(this))
{
    // The service is asked directly, as a plain connection to it would be.
    m_manager->setProxy(QNetworkProxy::NoProxy);
}

DAddressPublisher::~DAddressPublisher() = default;

QUrl DAddressPublisher::serviceUrl(const QString& publishingHost, bool announce)
{
    const QString host = publishingHost.trimmed();
    if (host.isEmpty() || host.contains(QLatin1Char('/')))
        return QUrl();
    QUrl url(QStringLiteral("http://") + host);
    if (!url.isValid() || url.host().isEmpty())
        return QUrl();
    if (url.port() == -1)
        url.setPort(kDefaultHttpPort);
    url.setPath(QStringLiteral("/ip.php"));
    if (announce)
        url.setQuery(QStringLiteral("set"));
    return url;
}

bool DAddressPublisher::parseAnswer(const QByteArray& body, QHostAddress& address)
{
    if (body.size() > kMaxAnswerBytes)
        return false;
    QHostAddress parsed;
    if (!parsed.setAddress(QString::fromLatin1(body).trimmed()))
        return false;
    address = parsed;
    return true;
}

QNetworkReply* DAddressPublisher::get(bool announce)
{
    QNetworkRequest request(serviceUrl(m_host, announce));
    request.setTransferTimeout(m_timeoutMs);
    // The service answers one request per connection; nothing is cached.
    request.setAttribute(
        QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    return m_manager->get(request);
}

QString DAddressPublisher::failureText(QNetworkReply* reply) const
{
    if (reply->error() == QNetworkReply::OperationCanceledError)
        return QStringLiteral("no answer within %1 s").arg(m_timeoutMs / 1000.0);
    if (reply->error() != QNetworkReply::NoError)
        return reply->errorString();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status > 299)
        return QStringLiteral("the service answered %1").arg(status);
    return QString();
}

void DAddressPublisher::start(bool announce, bool fetch)
{
    if (announce)
        sendUSetRequest();
    if (fetch)
        sendUGetRequest();
    else
        emit serverAddressChosen(QHostAddress());
}

void DAddressPublisher::sendUSetRequest()
{
    emit statusLine(ChatFormat::noticeLine(QStringLiteral("Publishing Server IP address...")));
    QNetworkReply* reply = get(true);
    connect(reply, &QNetworkReply::finished, this, &DAddressPublisher::uSetResponseReceived);
}

void DAddressPublisher::uSetResponseReceived()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    reply->deleteLater();
    const QString failure = failureText(reply);
    if (!failure.isEmpty()) {
        qCDebug(lcAssistant).noquote()
            << "Publishing the server address at" << m_host << "failed:" << failure;
        emit statusLine(ChatFormat::noticeLine(
            QStringLiteral("Publishing the server IP address failed: %1.").arg(failure)));
        emit announced(false);
        return;
    }
    emit statusLine(ChatFormat::noticeLine(QStringLiteral("Server IP Announced.")));
    emit announced(true);
}

void DAddressPublisher::sendUGetRequest()
{
    emit statusLine(ChatFormat::noticeLine(QStringLiteral("Getting Server IP Address...")));
    QNetworkReply* reply = get(false);
    connect(reply, &QNetworkReply::finished, this, &DAddressPublisher::uGetResponseReceived);
}

void DAddressPublisher::uGetResponseReceived()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    reply->deleteLater();
    QString failure = failureText(reply);
    QHostAddress address;
    if (failure.isEmpty() && !parseAnswer(reply->readAll(), address))
        failure = QStringLiteral("the answer is no address");
    if (!failure.isEmpty()) {
        qCDebug(lcAssistant).noquote()
            << "Getting the server address from" << m_host << "failed:" << failure;
        emit statusLine(ChatFormat::noticeLine(QStringLiteral(
            "Getting the server IP address failed: %1. Using the configured address.")
                                                   .arg(failure)));
        emit addressUnavailable();
        // A service that fails or stays silent must not leave the window
        // waiting for ever: the configured address is used instead.
        emit serverAddressChosen(QHostAddress());
        return;
    }
    emit statusLine(ChatFormat::noticeLine(QStringLiteral("Server IP Received.")));
    emit addressReceived(address);
    emit serverAddressChosen(address);
}
