#pragma once

#include "wirelib_global.h"

#include <QSslCertificate>
#include <QSslKey>
#include <QString>

// A secure server's identity: an ECDSA P-256 self-signed certificate and its private key,
// made with OpenSSL at the first start and kept in the server's state folder, so that
// the fingerprint clients pin stays the same across restarts. The folder holds
// "server-certificate.pem" (mode 0644) and "server-key.pem" (mode 0600, refused when
// anyone but the owner may read it). A plain value; the server keeps one.
class WIRELIB_EXPORT ServerCertificate
{
public:
    // Loads the pair from stateFolder, or makes it when the folder has no certificate
    // (the folder is created with mode 0700). A certificate without its key, a damaged
    // file or a key others may read is an error: the pair is then never replaced
    // silently, since every client that pinned it would refuse the new one.
    bool loadOrCreate(const QString& stateFolder, QString* error = nullptr);

    bool isNull() const { return m_certificate.isNull() || m_key.isNull(); }
    QSslCertificate certificate() const { return m_certificate; }
    QSslKey privateKey() const { return m_key; }
    // 64 lowercase hex digits: SHA-256 of the DER certificate.
    QString fingerprint() const { return fingerprintOf(m_certificate); }

    static QString fingerprintOf(const QSslCertificate& certificate);
    static QString certificatePath(const QString& stateFolder);
    static QString keyPath(const QString& stateFolder);
    // Where a server keeps its identity when nothing else is configured.
    static QString defaultStateFolder();

private:
    QSslCertificate m_certificate;
    QSslKey m_key;
};
