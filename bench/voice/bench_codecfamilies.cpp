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
#include "wireformat.h"

#include <opus.h>
#include <zlib.h>

#include <cstdio>
#include <ctime>
#include <cstring>
#include <functional>
#include <vector>

#include <QCoreApplication>

using namespace VoiceBench;

namespace {

int g_rounds = 9;
volatile unsigned g_sink = 0;

using Blocks = std::vector<QByteArray>;

// A device that copies what it is given, as an audio output's buffer does,
// into a fixed area (so that no allocation is measured).
class CopySink : public QIODevice
{
public:
    CopySink() : m_area(1 << 16) { open(QIODevice::WriteOnly | QIODevice::Unbuffered); }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override
    {
        const size_t n = size_t(qMin<qint64>(size, qint64(m_area.size())));
        if (m_offset + n > m_area.size())
            m_offset = 0;
        std::memcpy(m_area.data() + m_offset, data, n);
        m_offset += n;
        g_sink += unsigned(m_area[m_offset - 1]);
        return size;
    }

private:
    std::vector<char> m_area;
    size_t m_offset = 0;
};

// CPU time of this thread: the machine is shared, and time spent waiting
// for a core says nothing about the code.
qint64 threadCpuNs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double timeNs(int count, const std::function<void()>& run)
{
    const qint64 start = threadCpuNs();
    run();
    return double(threadCpuNs() - start) / double(count);
}

// Best CPU time per block, in ns, of the bare work and of our path over `count`
// blocks, the two run alternately so that a change of load hits both; prints
// both and their ratio.
void compare(const char* name, int count, const std::function<void()>& bare,
    const std::function<void()>& path)
{
    double bareNs = 1e18, pathNs = 1e18;
    for (int round = 0; round < g_rounds; ++round) {
        bareNs = qMin(bareNs, timeNs(count, bare));
        pathNs = qMin(pathNs, timeNs(count, path));
    }
    std::printf("%s_path: %.2f us/block\n", name, pathNs / 1000.0);
    std::printf("%s_bare: %.2f us/block\n", name, bareNs / 1000.0);
    std::printf("%s_ratio: %.3f x\n", name, pathNs / bareNs);
}

Blocks voicePackets(const Blocks& payloads)
{
    Blocks packets;
    for (size_t i = 0; i < payloads.size(); ++i)
        packets.push_back(MAbstractSocket::intToByteArray(quint32(i + 1)) + payloads[i]);
    return packets;
}

// A paced decoder fed a packet and asked for one period per block.
template <typename Decoder, typename... Args>
std::function<void()> pacedDecoder(const Blocks& packets, const QAudioFormat& format, Args... args)
{
    return [&packets, format, args...] {
        CopySink sink;
        Decoder decoder(kFrameBytes, &sink, format, args...);
        for (const QByteArray& packet : packets) {
            decoder.voicePacketReceived(packet);
            decoder.playPeriod();
        }
    };
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    g_rounds = quietRounds(app, g_rounds);
    const QByteArray pcm = speechFor("bench_codecfamilies");
    if (pcm.isEmpty())
        return 1;
    const QAudioFormat format = MM::deviceAudioFormat(MM::defaultAudioFormat());
    Blocks raw;
    for (int offset = 0; offset < pcm.size(); offset += kFrameBytes)
        raw.push_back(pcm.mid(offset, kFrameBytes));
    const Blocks rawPackets = voicePackets(raw);
    const int count = int(raw.size());
    std::printf("codec_blocks_measured: %d blocks\n", count);

    // Raw: the payload copied into the output's buffer.
    compare(
        "codec_raw", count,
        [&] {
            CopySink sink;
            for (const QByteArray& packet : rawPackets)
                sink.write(packet.constData() + WireFormat::kVoiceHeaderSize,
                    packet.size() - WireFormat::kVoiceHeaderSize);
        },
        [&] {
            CopySink sink;
            MRawDecoder decoder(&sink, format);
            for (const QByteArray& packet : rawPackets)
                decoder.voicePacketReceived(packet);
        });

    // Raw collectors: into a growing buffer, one period out to the output,
    // from as far behind as the decoder starts (the bare side is a delay
    // line of the same depth: its reads miss the cache as often).
    const auto bareCollector = [&](int lagPeriods) {
        return [&, lagPeriods] {
            CopySink sink;
            std::vector<char> collector(size_t(lagPeriods) * kFrameBytes);
            collector.reserve(size_t(count + lagPeriods) * kFrameBytes);
            size_t readPos = 0;
            for (const QByteArray& packet : rawPackets) {
                collector.insert(collector.end(), packet.constData() + WireFormat::kVoiceHeaderSize,
                    packet.constData() + packet.size());
                sink.write(collector.data() + readPos, kFrameBytes);
                readPos += kFrameBytes;
            }
        };
    };
    compare("codec_raw_collector_wn", count, bareCollector(3),
        pacedDecoder<MRawCollectorWithNotificationDecoder>(rawPackets, format, 0.5f));
    compare("codec_raw_collector_wn2", count, bareCollector(100),
        pacedDecoder<MRawCollectorDecoderWN2>(rawPackets, format, 0.5f));
    compare("codec_raw_collector_wn2_lock", count, bareCollector(100),
        pacedDecoder<MRawCollectorDecoderWN2WithLock>(rawPackets, format, 0.5f));

    // zlib pair at the library's default level; the encoder also sends each
    // block as a UDP datagram, which the bare side does not.
    std::vector<unsigned char> packed(size_t(compressBound(kFrameBytes)) + 4);
    MUdpSocket receiver;
    receiver.bind(QHostAddress(QHostAddress::LocalHost), 0);
    MUdpSocket sender;
    sender.setPeerHostAndPort(QHostAddress::LocalHost, receiver.localPort());
    compare(
        "codec_zlib_encode", count,
        [&] {
            for (const QByteArray& block : raw) {
                uLongf size = uLongf(packed.size());
                compress2(packed.data(), &size, reinterpret_cast<const Bytef*>(block.constData()),
                    uLong(block.size()), Z_DEFAULT_COMPRESSION);
                g_sink += unsigned(size);
            }
        },
        [&] {
            PcmPipe pipe;
            MZLibEncoder encoder(&pipe, format, &sender, -1);
            for (const QByteArray& block : raw) {
                pipe.push(block);
                // Keeps the receive buffer from overflowing; a few reads.
                while (receiver.hasPendingDatagrams())
                    receiver.readDatagram(nullptr, 0);
            }
        });

    Blocks compressed;
    for (const QByteArray& block : raw)
        compressed.push_back(qCompress(block, -1));
    const Blocks zlibPackets = voicePackets(compressed);
    std::vector<unsigned char> unpacked(kFrameBytes);
    compare(
        "codec_zlib_decode", count,
        [&] {
            CopySink sink;
            for (const QByteArray& block : compressed) {
                uLongf size = kFrameBytes;
                uncompress(unpacked.data(), &size,
                    reinterpret_cast<const Bytef*>(block.constData()) + 4, uLong(block.size() - 4));
                sink.write(reinterpret_cast<const char*>(unpacked.data()), qint64(size));
            }
        },
        [&] {
            CopySink sink;
            MZLibDecoder decoder(&sink, format);
            for (const QByteArray& packet : zlibPackets)
                decoder.voicePacketReceived(packet);
        });

    // Opus at 28 kbit/s, as the assistant sends.
    OpusEncoderWrapper encoder;
    encoder.initializeEncoder(48000, 2, 10, 28000, false);
    Blocks opus;
    unsigned char packet[8192];
    for (const QByteArray& block : raw) {
        const int n = encoder.encode(block.constData(), block.size(), packet, sizeof packet);
        opus.push_back(QByteArray(reinterpret_cast<const char*>(packet), qMax(n, 0)));
    }
    const Blocks opusPackets = voicePackets(opus);
    std::vector<opus_int16> pcmOut(24576 / 2);
    const auto bareOpus = [&] {
        CopySink sink;
        int error = 0;
        OpusDecoder* decoder = opus_decoder_create(48000, 2, &error);
        for (const QByteArray& payload : opus) {
            const int samples
                = opus_decode(decoder, reinterpret_cast<const unsigned char*>(payload.constData()),
                    payload.size(), pcmOut.data(), 24576 / 4, 0);
            sink.write(reinterpret_cast<const char*>(pcmOut.data()), qMax(samples, 0) * 4);
        }
        opus_decoder_destroy(decoder);
    };
    compare("codec_opus_direct", count, bareOpus, [&] {
        CopySink sink;
        MOpusDecoder decoder(nullptr, &sink, format);
        for (const QByteArray& voice : opusPackets)
            decoder.voicePacketReceived(voice);
    });
    compare("codec_opus_collector_wn", count, bareOpus,
        pacedDecoder<MOpusDecoderWN>(opusPackets, format));
    return g_sink == 0xFFFFFFFFu ? 1 : 0;
}
