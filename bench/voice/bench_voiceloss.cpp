// Speech through MOpusEncoder -> PacketLossSimulator -> UDP loopback ->
// MOpusAdvancedDecoder, paced offline (one output period per 20 ms of
// sender time). Reports how close the played audio stays to the loss-free
// playback: segmental SNR over the speech segments, per loss rate and burst
// length, with the codec's in-band FEC off and on. Prints "name: value unit".

#include "benchcommon.h"
#include "mm.h"
#include "mopusadvanceddecoder.h"
#include "mopusencoder.h"
#include "mudpsocket.h"
#include "packetlosssimulator.h"
#include "wireformat.h"

#include <cstdio>
#include <map>

#include <QAudioInput>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QtEndian>

using namespace VoiceBench;

namespace {

struct Run
{
    QByteArray played;
    int sent = 0;
    int delivered = 0;
};

Run runThrough(const QByteArray& pcm, QAudioInput* input, const QAudioFormat& format, bool fec,
    int lossPercent, int burst, quint32 seed)
{
    MUdpSocket receiver;
    receiver.bind(QHostAddress(QHostAddress::LocalHost), 0);
    MUdpSocket sender;
    sender.setPeerHostAndPort(QHostAddress::LocalHost, receiver.localPort());

    // FEC needs the bitrate to carry its redundancy; 28 kbit/s is what the
    // assistant sends without it.
    const int bitrate = fec ? 40000 : 28000;
    PcmPipe pipe;
    MOpusEncoder encoder(input, &pipe, format, &sender, 10, bitrate, fec);
    PacketLossSimParams params;
    params.lossPercent = lossPercent;
    params.burstLength = burst;
    PacketLossSimulator simulator(params);
    simulator.setSeed(seed);
    encoder.installPacketLossSimulator(&simulator);

    Run run;
    SinkDevice sink(true);
    MOpusAdvancedDecoder decoder(kFrameBytes, &sink, format);
    for (int offset = 0; offset < pcm.size(); offset += kFrameBytes) {
        pipe.push(pcm.mid(offset, kFrameBytes));
        ++run.sent;
        while (receiver.hasPendingDatagrams()) {
            QByteArray datagram(int(receiver.pendingDatagramSize()), Qt::Uninitialized);
            receiver.readDatagram(datagram.data(), datagram.size());
            decoder.voicePacketReceived(datagram.mid(WireFormat::kTagSize));
            ++run.delivered;
        }
        decoder.playPeriod();
    }
    // Play out what is still queued.
    for (int i = 0; i < MOpusAdvancedDecoder::kRingSlots; ++i)
        decoder.playPeriod();
    run.played = sink.data();
    return run;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false\ndefault.warning=false"));
    const QByteArray pcm = speechFor("bench_voiceloss");
    if (pcm.isEmpty())
        return 1;
    const QAudioFormat format = MM::deviceAudioFormat(MM::defaultAudioFormat());
    QAudioInput input(format);
    input.setBufferSize(kFrameBytes);
    input.start();
    if (input.periodSize() <= 0) {
        std::fprintf(stderr, "bench_voiceloss: no audio input (run inside with-pulse.sh)\n");
        return 1;
    }
    input.stop();

    const quint32 seed = 20261207;
    for (const bool fec : { false, true }) {
        const Run clean = runThrough(pcm, &input, format, fec, 0, 1, seed);
        const char* fecName = fec ? "on" : "off";
        for (const int burst : { 1, 3 }) {
            for (const int percent : { 0, 5, 10, 20 }) {
                if (percent == 0 && burst == 3)
                    continue;
                const Run lossy = runThrough(pcm, &input, format, fec, percent, burst, seed);
                const double lost = 100.0 * (lossy.sent - lossy.delivered) / lossy.sent;
                std::printf("voice_loss_fec_%s_%dpct_burst%d_lost: %.1f %%\n", fecName, percent,
                    burst, lost);
                std::printf("voice_loss_fec_%s_%dpct_burst%d_segsnr: %.1f dB\n", fecName, percent,
                    burst, segmentalSnr(clean.played, lossy.played));
            }
        }
    }
    return 0;
}
