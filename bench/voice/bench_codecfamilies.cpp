// Cost per 20 ms block of each codec family of the library against the bare
// work it wraps, measured side by side in one run on the test speech:
//   raw (MRawDecoder)                     memcpy of the payload
//   raw collectors (notification paced)   memcpy into a buffer and out again
//   zlib pair (MZLibEncoder/MZLibDecoder) zlib's compress2/uncompress
//   Opus (MOpusDecoder, MOpusDecoderWN)   opus_decode
// The decoders run offline (a packet and one period per block) into a device
// that takes everything; the zlib encoder sends real UDP datagrams. Prints
// "name: value unit" lines; the ratios are path time / bare time.

#include "benchcommon.h"
#include "mm.h"
#include "mopusdecoder.h"
#include "mopusdecoderwn.h"
#include "mrawcollectordecoderwn2.h"
#include "mrawcollectordecoderwn2withlock.h"
#include "mrawcollectorwithnotificationdecoder.h"
#include "mrawdecoder.h"
#include "mudpsocket.h"
#include "mzlibdecoder.h"
#include "mzlibencoder.h"
#include "opusencoderwrapper.h"

#include <opus.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>

using namespace VoiceBench;

namespace {

int g_rounds = 7;
volatile unsigned g_sink = 0;

using Blocks = std::vector<QByteArray>;

// Best time per block, in ns, of `rounds` runs of `run` over `count` blocks.
double bestNs(int count, const std::function<void()>& run)
{
    double best = 1e18;
    for (int round = 0; round < g_rounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        run();
        best = qMin(best, double(timer.nsecsElapsed()) / double(count));
    }
    return best;
}

Blocks voicePackets(const Blocks& payloads)
{
    Blocks packets;
    for (size_t i = 0; i < payloads.size(); ++i)
        packets.push_back(MAbstractSocket::intToByteArray(quint32(i + 1)) + payloads[i]);
    return packets;
}

void report(const char* name, double pathNs, double bareNs)
{
    std::printf("%s_path: %.2f us/block\n", name, pathNs / 1000.0);
    std::printf("%s_bare: %.2f us/block\n", name, bareNs / 1000.0);
    std::printf("%s_ratio: %.3f x\n", name, pathNs / bareNs);
}

template <typename Decoder, typename... Args>
double pacedDecoderNs(const Blocks& packets, const QAudioFormat& format, Args... args)
{
    return bestNs(int(packets.size()), [&] {
        SinkDevice sink(false);
        Decoder decoder(kFrameBytes, &sink, format, args...);
        for (const QByteArray& packet : packets) {
            decoder.voicePacketReceived(packet);
            decoder.playPeriod();
        }
    });
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    const QStringList args = app.arguments();
    const int roundsAt = int(args.indexOf(QStringLiteral("--rounds")));
    if (roundsAt > 0 && roundsAt + 1 < args.size())
        g_rounds = qMax(1, args.at(roundsAt + 1).toInt());
    const QByteArray pcm = speech();
    if (pcm.isEmpty()) {
        std::fprintf(stderr, "bench_codecfamilies: no test speech at %s\n", CLASSROOM_SPEECH_RAW);
        return 1;
    }
    const QAudioFormat format = MM::deviceAudioFormat(MM::defaultAudioFormat());
    Blocks raw;
    for (int offset = 0; offset < pcm.size(); offset += kFrameBytes)
        raw.push_back(pcm.mid(offset, kFrameBytes));
    const Blocks rawPackets = voicePackets(raw);
    const int count = int(raw.size());
    std::printf("codec_blocks_measured: %d blocks\n", count);

    // Raw: the payload copied to the output.
    {
        std::vector<char> out(kFrameBytes);
        const double bare = bestNs(count, [&] {
            for (const QByteArray& packet : rawPackets) {
                std::memcpy(out.data(), packet.constData() + 4, size_t(packet.size() - 4));
                g_sink += unsigned(out[size_t(g_sink % kFrameBytes)]);
            }
        });
        const double path = bestNs(count, [&] {
            SinkDevice sink(false);
            MRawDecoder decoder(&sink, format);
            for (const QByteArray& packet : rawPackets)
                decoder.voicePacketReceived(packet);
        });
        report("codec_raw", path, bare);
    }

    // Raw collectors: into a growing buffer and one period out per block.
    {
        const double bare = bestNs(count, [&] {
            std::vector<char> collector;
            collector.reserve(size_t(count + 200) * kFrameBytes);
            std::vector<char> out(kFrameBytes);
            size_t readPos = 0;
            for (const QByteArray& packet : rawPackets) {
                collector.insert(collector.end(), packet.constData() + 4,
                    packet.constData() + packet.size());
                std::memcpy(out.data(), collector.data() + readPos, kFrameBytes);
                readPos += kFrameBytes;
                g_sink += unsigned(out[size_t(g_sink % kFrameBytes)]);
            }
        });
        report("codec_raw_collector_wn",
            pacedDecoderNs<MRawCollectorWithNotificationDecoder>(rawPackets, format, 0.5f), bare);
        report("codec_raw_collector_wn2",
            pacedDecoderNs<MRawCollectorDecoderWN2>(rawPackets, format, 0.5f), bare);
        report("codec_raw_collector_wn2_lock",
            pacedDecoderNs<MRawCollectorDecoderWN2WithLock>(rawPackets, format, 0.5f), bare);
    }

    // zlib pair, at the library's default level.
    {
        std::vector<unsigned char> packed(size_t(compressBound(kFrameBytes)) + 4);
        const double bareCompress = bestNs(count, [&] {
            for (const QByteArray& block : raw) {
                uLongf size = uLongf(packed.size());
                compress2(packed.data(), &size,
                    reinterpret_cast<const Bytef*>(block.constData()), uLong(block.size()),
                    Z_DEFAULT_COMPRESSION);
                g_sink += unsigned(size);
            }
        });
        MUdpSocket receiver;
        receiver.bind(QHostAddress(QHostAddress::LocalHost), 0);
        MUdpSocket sender;
        sender.setPeerHostAndPort(QHostAddress::LocalHost, receiver.localPort());
        Blocks compressed;
        const double pathCompress = bestNs(count, [&] {
            PcmPipe pipe;
            MZLibEncoder encoder(&pipe, format, &sender, -1);
            for (const QByteArray& block : raw)
                pipe.push(block);
            while (receiver.hasPendingDatagrams())
                receiver.readDatagram(nullptr, 0);
        });
        report("codec_zlib_encode", pathCompress, bareCompress);

        for (const QByteArray& block : raw)
            compressed.push_back(qCompress(block, -1));
        const Blocks zlibPackets = voicePackets(compressed);
        std::vector<unsigned char> unpacked(kFrameBytes);
        const double bareUncompress = bestNs(count, [&] {
            for (const QByteArray& block : compressed) {
                uLongf size = kFrameBytes;
                uncompress(unpacked.data(), &size,
                    reinterpret_cast<const Bytef*>(block.constData()) + 4,
                    uLong(block.size() - 4));
                g_sink += unsigned(size);
            }
        });
        const double pathUncompress = bestNs(count, [&] {
            SinkDevice sink(false);
            MZLibDecoder decoder(&sink, format);
            for (const QByteArray& packet : zlibPackets)
                decoder.voicePacketReceived(packet);
        });
        report("codec_zlib_decode", pathUncompress, bareUncompress);
    }

    // Opus, 28 kbit/s as the assistant sends.
    {
        OpusEncoderWrapper encoder;
        encoder.initializeEncoder(48000, 2, 10, 28000, false);
        Blocks opus;
        unsigned char packet[8192];
        for (const QByteArray& block : raw) {
            const int n = encoder.encode(block.constData(), block.size(), packet, sizeof packet);
            opus.push_back(QByteArray(reinterpret_cast<const char*>(packet), qMax(n, 0)));
        }
        const Blocks opusPackets = voicePackets(opus);
        std::vector<opus_int16> out(24576 / 2);
        const double bare = bestNs(count, [&] {
            int error = 0;
            OpusDecoder* decoder = opus_decoder_create(48000, 2, &error);
            for (const QByteArray& payload : opus)
                g_sink += unsigned(opus_decode(decoder,
                    reinterpret_cast<const unsigned char*>(payload.constData()), payload.size(),
                    out.data(), 24576 / 4, 0));
            opus_decoder_destroy(decoder);
        });
        const double direct = bestNs(count, [&] {
            SinkDevice sink(false);
            MOpusDecoder decoder(nullptr, &sink, format);
            for (const QByteArray& voice : opusPackets)
                decoder.voicePacketReceived(voice);
        });
        report("codec_opus_direct", direct, bare);
        report("codec_opus_collector_wn", pacedDecoderNs<MOpusDecoderWN>(opusPackets, format), bare);
    }
    return g_sink == 0xFFFFFFFFu ? 1 : 0;
}
