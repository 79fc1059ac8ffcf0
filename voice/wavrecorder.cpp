#include "wavrecorder.h"

#include <QDataStream>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include "voicelog.h"

namespace {

const int kRiffSizeOffset = 4;
const int kDataSizeOffset = 40;
// The RIFF size counts everything after its own field: the rest of the header.
const int kRiffSizeExtra = 36;

quintptr recorderNumber(const WavRecorder* recorder)
{
    return reinterpret_cast<quintptr>(recorder);
}

int blockAlign(const QAudioFormat& format)
{
    return format.sampleSize() * format.channelCount() / 8;
}

} // namespace

WavRecorder::WavRecorder(const QString& fileName, const QAudioFormat& format, QObject* parent)
    : QObject(parent), audioFormat(format), file(new QFile(chooseFileName(fileName), this))
{
    setDataLimit(kMaxDataBytes);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qCWarning(lcVoice).noquote() << "WavRecorder:: cannot create" << file->fileName() << ":"
                                     << file->errorString() << "; nothing will be recorded";
    } else if (file->write(header(audioFormat, 0)) != kHeaderBytes || !file->flush()) {
        qCWarning(lcVoice).noquote() << "WavRecorder:: cannot write to" << file->fileName() << ":"
                                     << file->errorString() << "; nothing will be recorded";
        file->close();
    }
    qCDebug(lcVoice) << "WAV RECORDER INITIALIZED " << recorderNumber(this);
}

WavRecorder::~WavRecorder()
{
    qCDebug(lcVoice) << "WAV RECORDER ~ " << recorderNumber(this);
    qCDebug(lcVoice) << "WavRecorder::~WavRecorder()" << m_dataBytes;
    if (file->isOpen()) {
        writeSizes();
        file->close();
    }
}

QString WavRecorder::chooseFileName(const QString& fileName)
{
    if (!QFileInfo::exists(fileName))
        return fileName;
    const QFileInfo info(fileName);
    const QString stem = info.path() + QDir::separator() + info.completeBaseName();
    const QString ending = QLatin1Char('.') + info.suffix();
    for (int n = 1;; ++n) {
        const QString candidate = stem + QString::number(n) + ending;
        if (!QFileInfo::exists(candidate))
            return candidate;
    }
}

QByteArray WavRecorder::header(const QAudioFormat& format, quint32 dataBytes)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(dataBytes + kRiffSizeExtra);
    out.writeRawData("WAVE", 4);
    out.writeRawData("fmt ", 4);
    out << quint32(16) << quint16(1) << quint16(format.channelCount())
        << quint32(format.sampleRate())
        << quint32((format.sampleSize() / 8) * format.channelCount() * format.sampleRate())
        << quint16(blockAlign(format)) << quint16(format.sampleSize());
    out.writeRawData("data", 4);
    out << quint32(dataBytes);
    return bytes;
}

void WavRecorder::appendAudio(const QByteArray& data)
{
    appendAudio(data.constData(), data.size());
}

void WavRecorder::appendAudio(const char* data, qint64 length)
{
    if (length <= 0 || !file->isOpen() || m_limitReached)
        return;
    qint64 bytes = length;
    if (m_dataBytes + bytes > m_dataLimit) {
        bytes = m_dataLimit - m_dataBytes;
        m_limitReached = true;
        qCWarning(lcVoice).noquote()
            << "WavRecorder::" << file->fileName() << "reached the WAV limit of" << m_dataLimit
            << "data bytes; the rest is not recorded";
    }
    if (bytes > 0) {
        const qint64 written = file->write(data, bytes);
        if (written != bytes) {
            qCWarning(lcVoice).noquote()
                << "WavRecorder:: writing" << file->fileName() << "failed:" << file->errorString()
                << "; recording stopped";
            m_dataBytes += qMax<qint64>(written, 0);
            writeSizes();
            file->close();
            return;
        }
        m_dataBytes += bytes;
    }
    writeSizes();
}

QString WavRecorder::fileName() const
{
    return file->fileName();
}

bool WavRecorder::isRecording() const
{
    return file->isOpen() && !m_limitReached;
}

void WavRecorder::setDataLimit(qint64 bytes)
{
    const int align = qMax(blockAlign(audioFormat), 1);
    m_dataLimit = qBound<qint64>(0, bytes, kMaxDataBytes);
    m_dataLimit -= m_dataLimit % align;
}

void WavRecorder::writeSizes()
{
    // Both sizes follow every append, so the file is valid whenever the
    // process stops; the data goes out before the sizes that count it.
    char size[4];
    const qint64 end = file->pos();
    file->flush();
    qToLittleEndian<quint32>(quint32(m_dataBytes + kRiffSizeExtra), size);
    file->seek(kRiffSizeOffset);
    file->write(size, 4);
    qToLittleEndian<quint32>(quint32(m_dataBytes), size);
    file->seek(kDataSizeOffset);
    file->write(size, 4);
    file->seek(end);
    file->flush();
}
