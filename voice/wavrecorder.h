#pragma once

#include "voicepipe_global.h"

#include <QAudioFormat>
#include <QObject>

class QFile;

// Records PCM into a WAV file for the recording codecs. The file gets a
// number added when the name is taken (talk.wav, talk1.wav, ...). Audio is
// written as it comes and the header's sizes are kept up to date, so a
// recording cut short by a crash or a kill is still a valid file of what
// was recorded; memory use stays flat. A file that cannot be created and a
// recording that reaches the format's 4 GiB limit are reported, never
// silently lost or corrupted. Child of its codec; owner's thread.
class VOICEPIPE_EXPORT WavRecorder : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(WavRecorder)

public:
    static constexpr int kHeaderBytes = 44;
    // The RIFF size field (data + 36) is 32 bits wide.
    static constexpr qint64 kMaxDataBytes = 0xFFFFFFFFll - 36;

    WavRecorder(const QString& fileName, const QAudioFormat& format, QObject* parent = nullptr);
    ~WavRecorder() override;

    // fileName itself when no such file exists, otherwise the stem (folder,
    // separator, name without its last suffix) with 1, 2, ... and "." plus
    // the last suffix: the first name that does not exist.
    static QString chooseFileName(const QString& fileName);
    // The 44-byte header for dataBytes bytes of format.
    static QByteArray header(const QAudioFormat& format, quint32 dataBytes);

    void appendAudio(const QByteArray& data);
    void appendAudio(const char* data, qint64 length);

    QString fileName() const;
    bool isRecording() const;
    qint64 recordedBytes() const { return m_dataBytes; }
    // Lowers the data limit (tests); it is rounded down to whole sample frames.
    void setDataLimit(qint64 bytes);

private:
    void writeSizes();

    QAudioFormat audioFormat;
    QFile* file;
    qint64 m_dataBytes = 0;
    qint64 m_dataLimit = kMaxDataBytes;
    bool m_limitReached = false;
};
