#include "daudiodevices.h"

#include <QAudioDeviceInfo>
#include <QDebug>
#include <QStringList>

#include "assistantlog.h"

namespace DAudioDevices {

void logDefaults()
{
    const auto describe = [](const char* what, const QAudioDeviceInfo& info) {
        QStringList rates;
        for (int r : info.supportedSampleRates())
            rates << QString::number(r);
        QStringList channels;
        for (int c : info.supportedChannelCounts())
            channels << QString::number(c);
        QStringList sizes;
        for (int s : info.supportedSampleSizes())
            sizes << QString::number(s);
        QStringList types;
        for (QAudioFormat::SampleType t : info.supportedSampleTypes())
            types << QString::number(int(t));
        QStringList orders;
        for (QAudioFormat::Endian e : info.supportedByteOrders())
            orders << QString::number(int(e));
        qCDebug(lcAssistant).noquote()
            << what << info.deviceName() << "rates" << rates.join(QLatin1Char(',')) << "channels"
            << channels.join(QLatin1Char(',')) << "sizes" << sizes.join(QLatin1Char(',')) << "types"
            << types.join(QLatin1Char(',')) << "codecs"
            << info.supportedCodecs().join(QLatin1Char(',')) << "byte orders"
            << orders.join(QLatin1Char(','));
    };
    describe("Default output device:", QAudioDeviceInfo::defaultOutputDevice());
    describe("Default input device:", QAudioDeviceInfo::defaultInputDevice());
}

} // namespace DAudioDevices
