#pragma once

#include "wirelib_global.h"

#include <QString>

// A client's decision about a secure server's certificate. Given a fingerprint ("-f"),
// only that certificate is accepted and the known-servers file is left alone. Without
// one, the first certificate met for an address is trusted and remembered in the
// known-servers file, and a different one for that address is later refused with a
// message naming both fingerprints. The file has one line per server, its address text
// and fingerprint separated by a blank ("192.0.2.7:4060 <64 hex digits>"); blank lines
// and lines starting with "#" are skipped, a damaged line is logged and skipped. A plain
// value, socket-free; MTcpSocket consults it during the TLS handshake.
class WIRELIB_EXPORT ServerTrust
{
public:
    enum Decision {
        Known, // the pinned or remembered certificate
        FirstMeeting, // nothing known for this address: accept, then remember()
        Refused // another certificate than the one pinned or remembered
    };
    struct Verdict
    {
        Decision decision = Refused;
        // Why a certificate was refused, naming both fingerprints.
        QString message;
    };

    ServerTrust() = default;
    explicit ServerTrust(const QString& knownServersPath, const QString& pinnedFingerprint = {});

    Verdict check(const QString& serverAddress, const QString& fingerprint) const;
    // Appends the server's line to the known-servers file, creating it (and its folder,
    // mode 0700) when needed. Call only once the handshake has proved the certificate.
    bool remember(
        const QString& serverAddress, const QString& fingerprint, QString* error = nullptr) const;

    QString knownServersPath() const { return m_knownServersPath; }
    QString pinnedFingerprint() const { return m_pinned; }

    // 64 lowercase hex digits from a fingerprint in either case, colons (as some tools
    // print it) ignored; empty when the text is no SHA-256 fingerprint.
    static QString normalizedFingerprint(const QString& text);
    // The known-servers file both programs share when nothing else is configured.
    static QString defaultKnownServersPath();

private:
    QString m_knownServersPath;
    QString m_pinned;
    // A "-f" that was given but is no fingerprint: every certificate is refused.
    QString m_badPin;
};
