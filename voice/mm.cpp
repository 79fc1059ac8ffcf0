#include "mm.h"

#include "mabstractsocket.h"

#include <QStringList>

namespace {

const int kByteFormSize = 20;

int fieldAt(const QByteArray& bytes, int offset)
{
    return int(MAbstractSocket::byteArrayToInt(bytes.mid(offset, 4)));
}

} // namespace

QAudioFormat MM::defaultAudioFormat()
{
    QAudioFormat format;
    format.setSampleRate(48000);
    format.setChannelCount(2);
    format.setSampleSize(16);
    format.setSampleType(QAudioFormat::UnSignedInt);
    format.setCodec(QStringLiteral("audio/pcm"));
    format.setByteOrder(QAudioFormat::LittleEndian);
    return format;
}

QAudioFormat MM::deviceAudioFormat(const QAudioFormat& format)
{
    // Devices refuse 16-bit UnSignedInt (start() fails, period size 0), and the
    // PCM that flows through the system is signed 16-bit anyway.
    QAudioFormat device = format;
    if (device.sampleSize() == 16)
        device.setSampleType(QAudioFormat::SignedInt);
    return device;
}

QByteArray MM::serializeAudioFormat(const QAudioFormat& format)
{
    QByteArray bytes;
    bytes.reserve(kByteFormSize);
    bytes += MAbstractSocket::intToByteArray(quint32(format.sampleRate()));
    bytes += MAbstractSocket::intToByteArray(quint32(format.channelCount()));
    bytes += MAbstractSocket::intToByteArray(quint32(format.sampleSize()));
    bytes += MAbstractSocket::intToByteArray(quint32(format.sampleType()));
    bytes += MAbstractSocket::intToByteArray(quint32(format.byteOrder()));
    return bytes;
}

QAudioFormat MM::deSerializeAudioFormat(const QByteArray& bytes)
{
    QAudioFormat format;
    if (bytes.size() < kByteFormSize)
        return format;
    format.setSampleRate(fieldAt(bytes, 0));
    format.setChannelCount(fieldAt(bytes, 4));
    format.setSampleSize(fieldAt(bytes, 8));
    format.setSampleType(QAudioFormat::SampleType(fieldAt(bytes, 12)));
    format.setCodec(QStringLiteral("audio/pcm"));
    format.setByteOrder(QAudioFormat::Endian(fieldAt(bytes, 16)));
    return format;
}

QString MM::serializeAudioFormatToString(const QAudioFormat& format)
{
    return QString::number(format.sampleRate()) % QLatin1Char('|')
        % QString::number(format.channelCount()) % QLatin1Char('|')
        % QString::number(format.sampleSize()) % QLatin1Char('|')
        % QString::number(int(format.sampleType())) % QLatin1Char('|')
        % QString::number(int(format.byteOrder()));
}

QAudioFormat MM::deSerializeAudioFormatFromString(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char('|'), Qt::KeepEmptyParts);
    QAudioFormat format;
    if (parts.size() != 5)
        return format;
    format.setSampleRate(parts.at(0).toInt());
    format.setChannelCount(parts.at(1).toInt());
    format.setSampleSize(parts.at(2).toInt());
    format.setSampleType(QAudioFormat::SampleType(parts.at(3).toInt()));
    format.setCodec(QStringLiteral("audio/pcm"));
    format.setByteOrder(QAudioFormat::Endian(parts.at(4).toInt()));
    return format;
}
