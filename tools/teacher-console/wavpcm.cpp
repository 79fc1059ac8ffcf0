#include "wavpcm.h"

#include <QFile>
#include <QtEndian>

namespace WavPcm {

namespace {

constexpr int kRiffHeaderBytes = 12;
constexpr int kChunkHeaderBytes = 8;
constexpr int kFmtBytes = 16;
constexpr quint16 kPcmFormat = 1;
constexpr quint16 kExtensibleFormat = 0xFFFE;

QByteArray fail(QString* error, const QString& why)
{
    if (error)
        *error = why;
    return QByteArray();
}

} // namespace

QByteArray parse(const QByteArray& file, QString* error)
{
    if (file.size() < kRiffHeaderBytes || !file.startsWith("RIFF") || file.mid(8, 4) != "WAVE")
        return fail(error, QStringLiteral("not a WAV file"));
    bool formatOk = false;
    qint64 offset = kRiffHeaderBytes;
    while (offset + kChunkHeaderBytes <= file.size()) {
        const QByteArray id = file.mid(int(offset), 4);
        const quint32 size = qFromLittleEndian<quint32>(file.constData() + offset + 4);
        const qint64 body = offset + kChunkHeaderBytes;
        const qint64 available = qMin<qint64>(size, file.size() - body);
        if (id == "fmt ") {
            if (available < kFmtBytes)
                return fail(error, QStringLiteral("short format chunk"));
            const char* fmt = file.constData() + body;
            const quint16 tag = qFromLittleEndian<quint16>(fmt);
            const quint16 channels = qFromLittleEndian<quint16>(fmt + 2);
            const quint32 rate = qFromLittleEndian<quint32>(fmt + 4);
            const quint16 bits = qFromLittleEndian<quint16>(fmt + 14);
            if ((tag != kPcmFormat && tag != kExtensibleFormat) || channels != 2 || rate != 48000
                || bits != 16)
                return fail(error,
                    QStringLiteral("%1 Hz, %2 channels, %3 bits: 48000 Hz stereo 16-bit PCM "
                                   "is needed (sox IN -r 48000 -c 2 -b 16 OUT.wav)")
                        .arg(rate)
                        .arg(channels)
                        .arg(bits));
            formatOk = true;
        } else if (id == "data") {
            if (!formatOk)
                return fail(error, QStringLiteral("data before the format chunk"));
            const qint64 whole = available / 4 * 4;
            return file.mid(int(body), int(whole));
        }
        // Chunks are padded to an even size.
        offset = body + size + (size & 1);
    }
    return fail(error, QStringLiteral("no data chunk"));
}

QByteArray read(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(error, file.errorString());
    return parse(file.readAll(), error);
}

} // namespace WavPcm
