#include "mrawcollectordecoderwn2withlock.h"

MRawCollectorDecoderWN2WithLock::MRawCollectorDecoderWN2WithLock(QAudioOutput* output,
    QIODevice* device, const QAudioFormat& format, float seconds, QObject* parent)
    : MRawCollectorDecoderWN2(
        output, device, format, seconds, true, "MRawCollectorDecoderWN2WithLock", parent)
{ }

MRawCollectorDecoderWN2WithLock::MRawCollectorDecoderWN2WithLock(
    int period, QIODevice* device, const QAudioFormat& format, float seconds, QObject* parent)
    : MRawCollectorDecoderWN2(
        period, device, format, seconds, true, "MRawCollectorDecoderWN2WithLock", parent)
{ }

MRawCollectorDecoderWN2WithLock::~MRawCollectorDecoderWN2WithLock() = default;
