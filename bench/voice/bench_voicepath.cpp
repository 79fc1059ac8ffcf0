// Cost per 20 ms frame of the whole voice paths against bare libopus on the
// same audio in the same run: MOpusEncoder's step (read, re-chunk, encode,
// number, count, send one UDP datagram) against opus_encode, and
// MOpusAdvancedDecoder's packet plus one output notification (sequence
// tracking, decode into the ring, hand the period to the output) against
// opus_decode. Prints "name: value unit" lines.

#include "benchcommon.h"
#include "mm.h"
#include "mopusadvanceddecoder.h"
#include "mopusencoder.h"
#include "mstatistics.h"
#include "mudpsocket.h"
#include "wireformat.h"

#include <opus.h>

#include <cstdio>
#include <vector>

#include <QAudioInput>
#include <QCoreApplication>
#include <QElapsedTimer>

using namespace VoiceBench;

namespace {

// Best of this many rounds; "--rounds N" changes it (1 under callgrind).
int g_rounds = 5;
// Results land here so that the bare codec calls are not optimised away.
volatile int g_sink = 0;

struct Packets
{
    std::vector<QByteArray> opus;
};

double bareEncodeNs(const QByteArray& pcm)
{
    int error = 0;
    OpusEncoder* encoder = opus_encoder_create(48000, 2, OPUS_APPLICATION_VOIP, &error);
    opus_encoder_ctl(encoder, OPUS_SET_COMPLEXITY(10));
    opus_encoder_ctl(encoder, OPUS_SET_BITRATE(28000));
    opus_encoder_ctl(encoder, OPUS_SET_SIGNAL(OPUS_AUTO));
    opus_encoder_ctl(encoder, OPUS_SET_LSB_DEPTH(16));
    opus_encoder_ctl(encoder, OPUS_SET_PACKET_LOSS_PERC(10));
    unsigned char packet[8192];
    QElapsedTimer timer;
    timer.start();
    int bytes = 0;
    for (int offset = 0; offset < pcm.size(); offset += kFrameBytes)
        bytes += opus_encode(encoder, reinterpret_cast<const opus_int16*>(pcm.constData() + offset),
            960, packet, sizeof packet);
    const double ns = double(timer.nsecsElapsed());
    g_sink += bytes;
    opus_encoder_destroy(encoder);
    return ns / double(pcm.size() / kFrameBytes);
}

double pathEncodeNs(const QByteArray& pcm, QAudioInput* input, const QAudioFormat& format,
    MUdpSocket* sender, Packets* packets, MUdpSocket* receiver)
{
    PcmPipe pipe;
    MOpusEncoder encoder(input, &pipe, format, sender, 10, 28000, false);
    QElapsedTimer timer;
    timer.start();
    for (int offset = 0; offset < pcm.size(); offset += kFrameBytes)
        pipe.push(pcm.mid(offset, kFrameBytes));
    const double ns = double(timer.nsecsElapsed());
    if (packets) {
        // Collected afterwards so that receiving is not part of the figure.
        while (receiver->hasPendingDatagrams()) {
            QByteArray datagram(int(receiver->pendingDatagramSize()), Qt::Uninitialized);
            receiver->readDatagram(datagram.data(), datagram.size());
            // Without the tag: the decoders take the sequence number first.
            packets->opus.push_back(datagram.mid(WireFormat::kTagSize));
        }
    } else {
        while (receiver->hasPendingDatagrams())
            receiver->readDatagram(nullptr, 0);
    }
    return ns / double(pcm.size() / kFrameBytes);
}

double bareDecodeNs(const Packets& packets)
{
    int error = 0;
    OpusDecoder* decoder = opus_decoder_create(48000, 2, &error);
    std::vector<opus_int16> pcm(24576 / 2);
    QElapsedTimer timer;
    timer.start();
    int samples = 0;
    for (const QByteArray& packet : packets.opus) {
        samples += opus_decode(decoder,
            reinterpret_cast<const unsigned char*>(packet.constData())
                + WireFormat::kVoiceHeaderSize,
            packet.size() - WireFormat::kVoiceHeaderSize, pcm.data(), 24576 / 4, 0);
    }
    const double ns = double(timer.nsecsElapsed());
    g_sink += samples;
    opus_decoder_destroy(decoder);
    return ns / double(packets.opus.size());
}

double pathDecodeNs(const Packets& packets, const QAudioFormat& format)
{
    SinkDevice sink(false);
    MOpusAdvancedDecoder decoder(kFrameBytes, &sink, format);
    QElapsedTimer timer;
    timer.start();
    for (const QByteArray& packet : packets.opus) {
        decoder.voicePacketReceived(packet);
        decoder.playPeriod();
    }
    const double ns = double(timer.nsecsElapsed());
    return ns / double(packets.opus.size());
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    g_rounds = quietRounds(app, g_rounds);
    const QByteArray pcm = speechFor("bench_voicepath");
    if (pcm.isEmpty())
        return 1;
    const QAudioFormat format = MM::deviceAudioFormat(MM::defaultAudioFormat());

    // The encoder takes its period from a started audio input: a whole
    // frame (buffer of 3840 bytes) and Qt's default 4092-byte period.
    QAudioInput wholeFrameInput(format);
    wholeFrameInput.setBufferSize(kFrameBytes);
    wholeFrameInput.start();
    QAudioInput defaultInput(format);
    defaultInput.start();
    if (wholeFrameInput.periodSize() <= 0 || defaultInput.periodSize() <= 0) {
        std::fprintf(stderr, "bench_voicepath: no audio input (run inside with-pulse.sh)\n");
        return 1;
    }
    wholeFrameInput.stop();
    defaultInput.stop();

    MUdpSocket receiver;
    receiver.bind(QHostAddress(QHostAddress::LocalHost), 0);
    MUdpSocket sender;
    sender.setPeerHostAndPort(QHostAddress::LocalHost, receiver.localPort());

    // Encoding speech in a burst can outrun the receive buffer; send in
    // slices so that every datagram is collected for the decode half.
    Packets packets;
    double bareEnc = 1e18, pathEnc = 1e18, pathEncRechunk = 1e18;
    const int slice = 50 * kFrameBytes;
    for (int round = 0; round < g_rounds; ++round) {
        double bare = 0, path = 0, rechunk = 0;
        int slices = 0;
        for (int offset = 0; offset < pcm.size(); offset += slice, ++slices) {
            const QByteArray part = pcm.mid(offset, slice);
            bare += bareEncodeNs(part);
            path += pathEncodeNs(part, &wholeFrameInput, format, &sender,
                round == 0 ? &packets : nullptr, &receiver);
            rechunk += pathEncodeNs(part, &defaultInput, format, &sender, nullptr, &receiver);
        }
        bareEnc = qMin(bareEnc, bare / slices);
        pathEnc = qMin(pathEnc, path / slices);
        pathEncRechunk = qMin(pathEncRechunk, rechunk / slices);
    }
    // Each slice restarts its sequence numbers at 1; renumber for the decoder.
    for (size_t i = 0; i < packets.opus.size(); ++i)
        packets.opus[i] = MAbstractSocket::intToByteArray(quint32(i + 1)) + packets.opus[i];

    double bareDec = 1e18, pathDec = 1e18;
    for (int round = 0; round < g_rounds; ++round) {
        bareDec = qMin(bareDec, bareDecodeNs(packets));
        pathDec = qMin(pathDec, pathDecodeNs(packets, format));
    }

    std::printf("voice_frames_measured: %zu frames\n", packets.opus.size());
    std::printf("voice_encode_bare_opus: %.1f us/frame\n", bareEnc / 1000.0);
    std::printf("voice_encode_path: %.1f us/frame\n", pathEnc / 1000.0);
    std::printf("voice_encode_path_overhead: %.1f %%\n", (pathEnc / bareEnc - 1.0) * 100.0);
    std::printf("voice_encode_path_rechunked_4092: %.1f us/frame\n", pathEncRechunk / 1000.0);
    std::printf("voice_encode_path_rechunked_overhead: %.1f %%\n",
        (pathEncRechunk / bareEnc - 1.0) * 100.0);
    std::printf("voice_decode_bare_opus: %.1f us/frame\n", bareDec / 1000.0);
    std::printf("voice_decode_path: %.1f us/frame\n", pathDec / 1000.0);
    std::printf("voice_decode_path_overhead: %.1f %%\n", (pathDec / bareDec - 1.0) * 100.0);
    return 0;
}
