#pragma once

// Shared material of the voice and window tests and the voice benchmarks: the
// synthesised test speech, Opus packets made from it with the real codec, and
// voice packet framing.

#include "mabstractsocket.h"
#include "opusdecoderwrapper.h"
#include "opusencoderwrapper.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QRandomGenerator>
#include <QtEndian>

namespace VoiceTestData {

constexpr int kFrameBytes = 3840; // 20 ms at 48000 Hz, stereo, 16-bit

inline QByteArray speech()
{
    QFile file(qEnvironmentVariable("CLASSROOM_TEST_DATA") + QStringLiteral("/speech48k.raw"));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// `seconds` of speech (looped), with low-level noise added so that no two
// decoded frames are alike and no decoded frame is digital silence: every
// frame can then be told apart from the others and from inserted silence.
inline QByteArray markedSpeech(int seconds, quint32 seed)
{
    const QByteArray source = speech();
    if (source.isEmpty())
        return QByteArray();
    QByteArray pcm(seconds * 50 * kFrameBytes, Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (int i = 0; i + 1 < pcm.size(); i += 2) {
        const qint16 sample = qFromLittleEndian<qint16>(source.constData() + (i % source.size()));
        const int marked = qBound(-32768, int(sample) + int(random.bounded(-300, 301)), 32767);
        qToLittleEndian<qint16>(qint16(marked), pcm.data() + i);
    }
    return pcm;
}

inline QList<QByteArray> opusPackets(const QByteArray& pcm, int bitrate, bool inbandFec)
{
    OpusEncoderWrapper encoder;
    QList<QByteArray> packets;
    if (encoder.initializeEncoder(48000, 2, 10, bitrate, inbandFec) != 0)
        return packets;
    unsigned char packet[8192];
    for (int offset = 0; offset + kFrameBytes <= pcm.size(); offset += kFrameBytes) {
        const int n = encoder.encode(pcm.constData() + offset, kFrameBytes, packet, sizeof packet);
        packets << QByteArray(reinterpret_cast<const char*>(packet), qMax(n, 0));
    }
    return packets;
}

inline QByteArray voicePacket(int seq, const QByteArray& payload)
{
    return MAbstractSocket::intToByteArray(quint32(seq)) + payload;
}

// Voice packets as a client sends them: sequence numbers from 1, each before
// the Opus packet of one 20 ms frame at 28 kbit/s without in-band FEC.
inline QList<QByteArray> voicePackets(const QByteArray& pcm)
{
    QList<QByteArray> packets;
    int seq = 0;
    for (const QByteArray& payload : opusPackets(pcm, 28000, false))
        packets << voicePacket(++seq, payload);
    return packets;
}

// What a decoder fed every packet in order produces for each of them.
inline QList<QByteArray> referenceDecode(const QList<QByteArray>& packets)
{
    OpusDecoderWrapper decoder;
    decoder.initializeDecoder(48000, 2);
    QList<QByteArray> frames;
    QByteArray pcm(24576, '\0');
    for (const QByteArray& packet : packets) {
        const int n = decoder.decode(reinterpret_cast<const unsigned char*>(packet.constData()),
            packet.size(), reinterpret_cast<unsigned char*>(pcm.data()), pcm.size());
        frames << pcm.left(qMax(n, 0));
    }
    return frames;
}

// Drops stereo sample frames that are silent in both channels, so that
// played audio can be compared with decoded frames whatever silence the
// output inserted between them.
inline QByteArray withoutSilence(const QByteArray& pcm)
{
    QByteArray out;
    out.reserve(pcm.size());
    for (int i = 0; i + 4 <= pcm.size(); i += 4) {
        if (qFromLittleEndian<quint32>(pcm.constData() + i) != 0)
            out.append(pcm.constData() + i, 4);
    }
    return out;
}

} // namespace VoiceTestData
