#include "decodertable.h"

#include "mopusadvanceddecoder.h"
#include "mopusdecoder.h"
#include "mopusdecoderwn.h"
#include "mrawcollectordecoderwn2.h"
#include "mrawcollectordecoderwn2withlock.h"
#include "mrawcollectorwithnotificationdecoder.h"
#include "mrawdecoder.h"
#include "mrawsimplecollectordecoder.h"
#include "mwavrecordercollectordecoder.h"
#include "mwavrecorderdecoder.h"
#include "mzlibdecoder.h"

namespace DecoderTable {

namespace {

const char* const kItemTexts[kRowCount] = {
    "Raw",
    "Raw Collector (Broken)",
    "Raw Collector w/ Notifications",
    "Save to A#.wav",
    "Save to A#.was w/ Collector",
    "zlib",
    "Opus",
    "Opus w/ Collector w/ Notif.s",
    "Raw Collector WN 2",
    "Raw Collector WN 2 w/ Lock",
    "Opus Advanced",
};

QString recordingName()
{
    return QStringLiteral("A.wav");
}

} // namespace

QString itemText(int index)
{
    if (index < 0 || index >= kRowCount)
        return QString();
    return QString::fromLatin1(kItemTexts[index]);
}

MDecoder* create(int index, QAudioOutput* output, QIODevice* device, const QAudioFormat& format,
    QObject* parent)
{
    switch (index) {
    case 0:
        return new MRawDecoder(device, format, parent);
    case 1:
        return new MRawSimpleCollectorDecoder(device, format, kCollectSeconds, parent);
    case 2:
        return new MRawCollectorWithNotificationDecoder(
            output, device, format, kCollectSeconds, parent);
    case 3:
        return new MWavRecorderDecoder(device, format, recordingName(), parent);
    case 4:
        return new MWavRecorderCollectorDecoder(
            device, format, recordingName(), kCollectSeconds, parent);
    case 5:
        return new MZLibDecoder(device, format, parent);
    case 6:
        return new MOpusDecoder(output, device, format, parent);
    case 7:
        return new MOpusDecoderWN(output, device, format, parent);
    case 8:
        return new MRawCollectorDecoderWN2(output, device, format, kCollectSeconds, parent);
    case 9:
        return new MRawCollectorDecoderWN2WithLock(
            output, device, format, kCollectSeconds, parent);
    case 10:
        return new MOpusAdvancedDecoder(output, device, format, parent);
    default:
        return nullptr;
    }
}

} // namespace DecoderTable
