#include "servercertificate.h"

#include <memory>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace {

struct OpenSslFree
{
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    void operator()(X509* certificate) const { X509_free(certificate); }
    void operator()(BIO* bio) const { BIO_free(bio); }
    void operator()(BIGNUM* number) const { BN_free(number); }
};
template <typename T> using OpenSslPtr = std::unique_ptr<T, OpenSslFree>;

// Self-signed, so validity matters only to peers that check dates: a client pins the
// certificate itself. Twenty years outlive any installation; the hour of back-dating
// covers clocks that lag the server's.
constexpr long kValiditySeconds = 20L * 365 * 24 * 3600;
constexpr long kBackdateSeconds = 3600;
const char kCommonName[] = "Classroom server";

void setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
}

QByteArray bioContents(BIO* bio)
{
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, int(size));
}

// Makes the key pair and certificate as PEM texts; false when OpenSSL fails.
bool makeIdentity(QByteArray& certificatePem, QByteArray& keyPem)
{
    OpenSslPtr<EVP_PKEY> key(EVP_EC_gen("P-256"));
    OpenSslPtr<X509> certificate(X509_new());
    OpenSslPtr<BIGNUM> serial(BN_new());
    if (!key || !certificate || !serial)
        return false;
    // A random 127-bit serial, positive as the certificate format wants it.
    if (X509_set_version(certificate.get(), 2) != 1
        || BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1
        || !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate.get()))
        || !X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -kBackdateSeconds)
        || !X509_gmtime_adj(X509_getm_notAfter(certificate.get()), kValiditySeconds)
        || X509_set_pubkey(certificate.get(), key.get()) != 1)
        return false;
    X509_NAME* name = X509_get_subject_name(certificate.get());
    if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
            reinterpret_cast<const unsigned char*>(kCommonName), -1, -1, 0)
            != 1
        || X509_set_issuer_name(certificate.get(), name) != 1
        || X509_sign(certificate.get(), key.get(), EVP_sha256()) <= 0)
        return false;
    OpenSslPtr<BIO> certificateBio(BIO_new(BIO_s_mem()));
    OpenSslPtr<BIO> keyBio(BIO_new(BIO_s_mem()));
    if (!certificateBio || !keyBio
        || PEM_write_bio_X509(certificateBio.get(), certificate.get()) != 1
        || PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr)
            != 1)
        return false;
    certificatePem = bioContents(certificateBio.get());
    keyPem = bioContents(keyBio.get());
    return true;
}

// Writes a file that never exists with wider permissions than mode, not even for a
// moment: a fresh file is created with the mode, filled, flushed and renamed into place.
bool writeFile(const QString& path, const QByteArray& data, mode_t mode, QString* error)
{
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temporary = target + ".new";
    ::unlink(temporary.constData());
    const int fd
        = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        setError(error, QStringLiteral("Cannot create %1.").arg(QFile::decodeName(temporary)));
        return false;
    }
    // The umask may have taken bits the mode asks for; it can never have added any.
    bool ok = ::fchmod(fd, mode) == 0;
    qint64 done = 0;
    while (ok && done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        ok = n > 0;
        done += ok ? n : 0;
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temporary.constData(), target.constData()) != 0) {
        ::unlink(temporary.constData());
        setError(error, QStringLiteral("Cannot write %1.").arg(path));
        return false;
    }
    return true;
}

bool readFile(const QString& path, QByteArray& data)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    data = file.readAll();
    return true;
}

// The certificate and key must belong together, or the TLS handshake would fail on
// every connection with nothing in the log to say why.
bool keyMatchesCertificate(const QByteArray& certificatePem, const QByteArray& keyPem)
{
    OpenSslPtr<BIO> certificateBio(
        BIO_new_mem_buf(certificatePem.constData(), certificatePem.size()));
    OpenSslPtr<BIO> keyBio(BIO_new_mem_buf(keyPem.constData(), keyPem.size()));
    if (!certificateBio || !keyBio)
        return false;
    OpenSslPtr<X509> certificate(
        PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr));
    OpenSslPtr<EVP_PKEY> key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    return certificate && key && X509_check_private_key(certificate.get(), key.get()) == 1;
}

} // namespace

bool ServerCertificate::loadOrCreate(const QString& stateFolder, QString* error)
{
    m_certificate = QSslCertificate();
    m_key = QSslKey();
    const QString certificateFile = certificatePath(stateFolder);
    const QString keyFile = keyPath(stateFolder);
    QByteArray certificatePem;
    QByteArray keyPem;

    if (!QFileInfo::exists(certificateFile)) {
        // No certificate was ever completed here, so no client can have pinned one: a key
        // left alone by an interrupted first start is replaced with the new pair.
        if (!QDir().mkpath(stateFolder)) {
            setError(error, QStringLiteral("Cannot create the state folder %1.").arg(stateFolder));
            return false;
        }
        QFile::setPermissions(
            stateFolder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        if (!makeIdentity(certificatePem, keyPem)) {
            setError(error, QStringLiteral("Cannot make the server's certificate."));
            return false;
        }
        // The key first: a certificate on disk always has its key beside it.
        if (!writeFile(keyFile, keyPem, 0600, error)
            || !writeFile(certificateFile, certificatePem, 0644, error))
            return false;
    } else {
        struct stat keyStat
        {
        };
        if (::stat(QFile::encodeName(keyFile).constData(), &keyStat) != 0) {
            setError(error,
                QStringLiteral("%1 has no private key beside it (%2).")
                    .arg(certificateFile, keyFile));
            return false;
        }
        if (keyStat.st_mode & (S_IRWXG | S_IRWXO)) {
            setError(error,
                QStringLiteral("%1 may be read by others (mode %2): it must be 0600.")
                    .arg(keyFile)
                    .arg(keyStat.st_mode & 07777, 4, 8, QLatin1Char('0')));
            return false;
        }
        if (!readFile(certificateFile, certificatePem) || !readFile(keyFile, keyPem)) {
            setError(error, QStringLiteral("Cannot read %1 or %2.").arg(certificateFile, keyFile));
            return false;
        }
    }

    if (!keyMatchesCertificate(certificatePem, keyPem)) {
        setError(error,
            QStringLiteral("%1 and %2 are damaged or do not belong together.")
                .arg(certificateFile, keyFile));
        return false;
    }
    const QSslCertificate certificate(certificatePem, QSsl::Pem);
    const QSslKey key(keyPem, QSsl::Ec, QSsl::Pem, QSsl::PrivateKey);
    if (certificate.isNull() || key.isNull()) {
        setError(error,
            QStringLiteral("%1 or %2 cannot be read as an EC certificate and key.")
                .arg(certificateFile, keyFile));
        return false;
    }
    m_certificate = certificate;
    m_key = key;
    return true;
}

QString ServerCertificate::fingerprintOf(const QSslCertificate& certificate)
{
    if (certificate.isNull())
        return QString();
    return QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex());
}

QString ServerCertificate::certificatePath(const QString& stateFolder)
{
    return stateFolder + QStringLiteral("/server-certificate.pem");
}

QString ServerCertificate::keyPath(const QString& stateFolder)
{
    return stateFolder + QStringLiteral("/server-key.pem");
}

QString ServerCertificate::defaultStateFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/classroom/server");
}
