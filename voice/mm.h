#pragma once

#include "voicepipe_global.h"

#include <QAudioFormat>
#include <QByteArray>
#include <QString>

// Static helpers for the system's one default audio format and its byte and
// text forms. The default format keeps its documented values (16-bit
// UnSignedInt), but no audio device accepts that: every QAudioInput and
// QAudioOutput of the system must be created with deviceAudioFormat(format)
// (16-bit samples as SignedInt, the PCM that actually flows). Any thread.
class VOICEPIPE_EXPORT MM
{
public:
    MM() = default;
    MM(const MM&) = default;
    MM& operator=(const MM&) { return *this; }

    static QAudioFormat defaultAudioFormat();

    // The format to open audio devices with: 16-bit samples become SignedInt;
    // everything else (8-bit unsigned included) is left as it is.
    static QAudioFormat deviceAudioFormat(const QAudioFormat& format);

    // 20 bytes: rate, channels, sample size, sample type, byte order, each
    // 32-bit big-endian. The codec is not stored.
    static QByteArray serializeAudioFormat(const QAudioFormat& format);
    // A byte form shorter than 20 bytes gives an invalid (default) format.
    static QAudioFormat deSerializeAudioFormat(const QByteArray& bytes);

    // "rate|channels|size|type|order", e.g. 48000|2|16|2|1.
    static QString serializeAudioFormatToString(const QAudioFormat& format);
    // Anything but exactly five parts gives an invalid (default) format.
    static QAudioFormat deSerializeAudioFormatFromString(const QString& text);
};
