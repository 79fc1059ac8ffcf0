#pragma once

// Shared pieces of the voice benchmarks: the test speech, a pipe that plays
// the part of a started audio input's device, a device that takes
// whatever it is given (an audio output that is never full), and the
// segmental SNR that compares played audio with a reference.

#include <cmath>
#include <cstdio>

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QIODevice>
#include <QLoggingCategory>
#include <QStringList>
#include <QtEndian>

#include "pcmpipe.h"

namespace VoiceBench {

constexpr int kFrameBytes = 3840; // 20 ms at 48000 Hz, stereo, 16-bit

inline QByteArray speech()
{
    QFile file(QStringLiteral(CLASSROOM_SPEECH_RAW));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    const QByteArray pcm = file.readAll();
    return pcm.left(pcm.size() / kFrameBytes * kFrameBytes);
}

// The test speech, or empty after a line on stderr that names the benchmark.
inline QByteArray speechFor(const char* bench)
{
    const QByteArray pcm = speech();
    if (pcm.isEmpty())
        std::fprintf(stderr, "%s: no test speech at %s\n", bench, CLASSROOM_SPEECH_RAW);
    return pcm;
}

// The value of "--rounds N" on the command line (1 under callgrind), or
// `fallback`.
inline int roundsArgument(const QStringList& args, int fallback)
{
    const int at = int(args.indexOf(QStringLiteral("--rounds")));
    if (at > 0 && at + 1 < args.size())
        return qMax(1, args.at(at + 1).toInt());
    return fallback;
}

// A timed benchmark's start: the library's debug lines off, so that only the
// figures are printed, and its --rounds.
inline int quietRounds(const QCoreApplication& app, int fallback)
{
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    return roundsArgument(app.arguments(), fallback);
}

class SinkDevice : public QIODevice
{
public:
    explicit SinkDevice(bool keep) : m_keep(keep)
    {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }
    const QByteArray& data() const { return m_data; }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override
    {
        if (m_keep)
            m_data.append(data, int(size));
        return size;
    }

private:
    bool m_keep;
    QByteArray m_data;
};

// Segmental SNR of `test` against `reference` over 20 ms segments of speech
// (segments quieter than -50 dBFS in the reference are left out), each
// segment's figure clamped to [-10, 35] dB as usual for this measure.
inline double segmentalSnr(const QByteArray& reference, const QByteArray& test)
{
    const int samplesPerSegment = kFrameBytes / 2;
    const int segments = qMin(reference.size(), test.size()) / kFrameBytes;
    const double quiet = samplesPerSegment * std::pow(32768.0 * std::pow(10.0, -50.0 / 20.0), 2);
    double sum = 0;
    int counted = 0;
    for (int s = 0; s < segments; ++s) {
        double signal = 0, noise = 0;
        for (int i = 0; i < samplesPerSegment; ++i) {
            const int at = s * kFrameBytes + i * 2;
            const double r = qFromLittleEndian<qint16>(reference.constData() + at);
            const double t = qFromLittleEndian<qint16>(test.constData() + at);
            signal += r * r;
            noise += (r - t) * (r - t);
        }
        if (signal < quiet)
            continue;
        const double snr = noise > 0 ? 10.0 * std::log10(signal / noise) : 35.0;
        sum += qBound(-10.0, snr, 35.0);
        ++counted;
    }
    return counted ? sum / counted : 0.0;
}

} // namespace VoiceBench
