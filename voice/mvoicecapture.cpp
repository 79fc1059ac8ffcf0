#include "mvoicecapture.h"

#include "audiobuffers.h"
#include "buildvariant.h"
#include "mcapturegate.h"
#include "mencoder.h"
#include "mm.h"
#include "mstatistics.h"
#include "mvoiceprocessingdevice.h"
#include "mvoiceprocessor.h"

#include <QAudioInput>
#include <QDebug>

#include "voicelog.h"

MVoiceCapture::MVoiceCapture(const QAudioFormat& format, QObject* parent)
    : QObject(parent), m_format(format),
      m_input(new QAudioInput(MM::deviceAudioFormat(format), this)),
      m_processing(VoiceBuild::kVoiceProcessingByDefault ? VoiceProcessing::allOn()
                                                         : VoiceProcessing::Settings())
{ }

MVoiceCapture::~MVoiceCapture()
{
    stop();
    delete m_input;
}

bool MVoiceCapture::start(const MEncoderFactory& factory)
{
    if (m_sending)
        return false;
    m_sending = true;
    m_bufferBytes = AudioBuffers::applyTo(m_input);
    m_device = m_input->start();
    const int period = m_input->periodSize();
    if (!m_device || period <= 0 || !factory) {
        qCWarning(lcVoice) << "The microphone could not be started (error" << m_input->error()
                           << "); no voice will be sent.";
        return true;
    }
    // The gate keeps at most kBacklogMs of audio (never less than two capture
    // periods) between the microphone and the encoder, which takes one period
    // per readyRead().
    const int backlog = qMax(AudioBuffers::bytesFor(m_format, kBacklogMs), 2 * period);
    QIODevice* source = m_device;
    if (!VoiceProcessing::disabledByEnvironment()) {
        m_processor = std::make_unique<MVoiceProcessor>(m_format, m_processing);
        m_processingDevice = new MVoiceProcessingDevice(
            m_device, m_processor.get(), AudioBuffers::bytesFor(m_format, 1), this);
        source = m_processingDevice;
    }
    m_gate = new MCaptureGate(source, backlog, m_format.bytesPerFrame(), this);
    m_gate->setReadChunk(period);
    m_encoder = factory(m_input, m_gate, m_format, this);
    connect(m_gate, &MCaptureGate::overran, this, &MVoiceCapture::gateOverran);
    if (m_encoder)
        emit encoderCreated(m_encoder);
    return true;
}

bool MVoiceCapture::stop()
{
    if (!m_sending)
        return false;
    m_sending = false;
    m_input->stop();
    m_device = nullptr;
    // Deleted at once: an encoder's destructor waits on its socket, which
    // must still be open, and neither object is ever on the call stack when
    // sending stops.
    delete m_encoder;
    m_encoder = nullptr;
    if (m_gate)
        m_pastOverruns += m_gate->overruns();
    delete m_gate;
    m_gate = nullptr;
    delete m_processingDevice;
    m_processingDevice = nullptr;
    m_processor.reset();
    return true;
}

int MVoiceCapture::overruns() const
{
    return m_pastOverruns + (m_gate ? m_gate->overruns() : 0);
}

void MVoiceCapture::setProcessingSettings(const VoiceProcessing::Settings& settings)
{
    m_processing = settings;
    if (m_processor)
        m_processor->setSettings(settings);
}

void MVoiceCapture::farEndPlayed(const QByteArray& pcm, int delayMs)
{
    if (m_processor)
        m_processor->addFarEnd(pcm.constData(), pcm.size(), delayMs);
}

void MVoiceCapture::gateOverran()
{
    if (m_encoder)
        ++m_encoder->statisticsObject()->overruns;
    qCDebug(lcVoice) << "Audio input overrun" << overruns() << "-" << m_gate->droppedBytes()
                     << "bytes dropped so far";
}
