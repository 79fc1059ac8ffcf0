#include "mvoiceplayback.h"

#include "audiobuffers.h"
#include "mdecoder.h"
#include "mm.h"
#include "mplaybacktap.h"
#include "mstatistics.h"
#include "wireformat.h"

#include <QAudioOutput>
#include <QDebug>
#include <QTimer>

#include "voicelog.h"

MVoicePlayback::MVoicePlayback(
    const QAudioFormat& format, const MDecoderFactory& factory, QObject* parent)
    : QObject(parent), m_format(format), m_factory(factory),
      m_output(new QAudioOutput(MM::deviceAudioFormat(format), this)),
      m_stallTimer(new QTimer(this))
{
    connect(m_output, &QAudioOutput::stateChanged, this, &MVoicePlayback::onOutputStateChanged);
    m_stallTimer->setInterval(kStallCheckMs);
    connect(m_stallTimer, &QTimer::timeout, this, &MVoicePlayback::checkOutputProgress);
}

MVoicePlayback::~MVoicePlayback()
{
    // The decoder follows the output: it goes first.
    disconnect(m_output, nullptr, this, nullptr);
    delete m_decoder;
    m_decoder = nullptr;
    delete m_output;
}

void MVoicePlayback::setDecoderFactory(const MDecoderFactory& factory)
{
    m_factory = factory;
}

bool MVoicePlayback::start()
{
    if (m_on)
        return false;
    m_on = true;
    // Set before every start: the backend reads it when it opens the stream.
    m_bufferBytes = AudioBuffers::applyTo(m_output, m_echoCancelled);
    m_device = m_output->start();
    m_lastProcessedUs = -1;
    m_sinceProgress.start();
    m_stallTimer->start();
    if (!m_device || !m_factory) {
        qCWarning(lcVoice) << "The audio output could not be started (error" << m_output->error()
                           << "); no voice will be played.";
        return true;
    }
    QIODevice* device = m_device;
    if (m_farEndTapped) {
        m_tap = new MPlaybackTap(m_device, this);
        connect(m_tap, &MPlaybackTap::played, this, &MVoicePlayback::tapPlayed);
        device = m_tap;
    }
    m_decoder = m_factory(m_output, device, m_format, this);
    if (m_decoder)
        emit decoderCreated(m_decoder);
    return true;
}

bool MVoicePlayback::stop()
{
    if (!m_on)
        return false;
    m_on = false;
    m_stallTimer->stop();
    // Deleted at once, not deferred, and before the output stops: the decoder
    // follows the output and would otherwise write into its old device after
    // a stop and restart. It is never on the call stack here (playback stops
    // from socket packets, timers and the user).
    delete m_decoder;
    m_decoder = nullptr;
    m_output->stop();
    m_device = nullptr;
    delete m_tap;
    m_tap = nullptr;
    return true;
}

void MVoicePlayback::setEchoCancelled(bool cancelled)
{
    if (cancelled == m_echoCancelled)
        return;
    m_echoCancelled = cancelled;
    // The buffer is the stream's, set when it opens. Switched by the user,
    // never from the decoder's own call stack.
    if (m_on) {
        stop();
        start();
    }
}

void MVoicePlayback::tapPlayed(const QByteArray& pcm)
{
    // What the output still holds in front of this PCM: its buffer minus the
    // free space, less what was just written. The device's own latency
    // beyond the stream buffer is not known here.
    const int queued = m_output->bufferSize() - int(m_output->bytesFree()) - pcm.size();
    const int bytesPerMs = qMax(1, m_format.bytesForDuration(1000));
    emit farEndPlayed(pcm, qMax(0, queued) / bytesPerMs);
}

void MVoicePlayback::voicePacketReceived(const QByteArray& packet)
{
    // A voice packet starts with its 4-byte sequence number; anything shorter
    // carries nothing to play.
    if (m_decoder && packet.size() >= WireFormat::kVoiceHeaderSize) {
        m_sinceVoice.start();
        m_decoder->voicePacketReceived(packet);
    }
}

void MVoicePlayback::checkOutputProgress()
{
    if (!m_on || !m_device)
        return;
    const qint64 processed = m_output->processedUSecs();
    if (processed != m_lastProcessedUs) {
        m_lastProcessedUs = processed;
        m_sinceProgress.start();
        return;
    }
    // A stopped output is the error recovery's. One that plays, or ran dry
    // and is fed again as voice comes, yet takes nothing while voice arrives
    // is dead without saying so.
    const QAudio::State state = m_output->state();
    if ((state != QAudio::ActiveState && state != QAudio::IdleState) || !m_sinceVoice.isValid()
        || m_sinceVoice.elapsed() > kStalledOutputMs
        || m_sinceProgress.elapsed() < kStalledOutputMs)
        return;
    qCWarning(lcVoice) << "The audio output has taken no data for" << m_sinceProgress.elapsed()
                       << "ms while voice arrives; restarting it.";
    restart();
}

void MVoicePlayback::onOutputStateChanged(QAudio::State state)
{
    const QAudio::Error error = m_output->error();
    if (state == QAudio::ActiveState)
        m_activeSinceError = true;
    if (m_on && state == QAudio::IdleState && error == QAudio::UnderrunError) {
        ++m_underruns;
        if (m_decoder)
            ++m_decoder->statisticsObject()->underruns;
        qCDebug(lcVoice) << "Audio output underrun" << m_underruns;
    }
    emit outputStateChanged(state, error);
    if (error != QAudio::NoError) {
        m_activeSinceError = false;
        QTimer::singleShot(
            kRestartDelayMs, this, &MVoicePlayback::startAudioOutputIfNotAlreadyStarted);
    }
}

void MVoicePlayback::startAudioOutputIfNotAlreadyStarted()
{
    if (!m_on)
        return;
    // A stopped output is dead; one that went idle at the error and has not
    // played since ran dry and was never fed again. Both get a fresh device
    // and decoder.
    const QAudio::State state = m_output->state();
    const bool dead = state == QAudio::StoppedState;
    const bool dry = state == QAudio::IdleState && !m_activeSinceError;
    if (!dead && !dry)
        return;
    qCDebug(lcVoice) << "Restarting the audio output from state" << state << "error"
                     << m_output->error();
    restart();
}

void MVoicePlayback::restart()
{
    stop();
    start();
    ++m_restarts;
    emit restarted();
}
