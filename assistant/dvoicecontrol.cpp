#include "dvoicecontrol.h"

#include "chatformat.h"
#include "mclientsession.h"
#include "mdecoder.h"
#include "mm.h"
#include "mopusadvanceddecoder.h"
#include "mopusencoder.h"
#include "mtcpsocket.h"
#include "mudpsocket.h"
#include "mvoicecapture.h"
#include "mvoiceplayback.h"
#include "sessioncommands.h"

#include <QDebug>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QStatusBar>

#include "assistantlog.h"

namespace {

const QString kSpeakerOn = QStringLiteral(":/img/sp-on.png");
const QString kSpeakerOff = QStringLiteral(":/img/sp-off.png");
const QString kMicOn = QStringLiteral(":/img/mic-on.png");
const QString kMicOff = QStringLiteral(":/img/mic-off.png");

// Encoder settings of the assistant's outgoing voice.
constexpr int kEncoderComplexity = 10;
constexpr int kEncoderBitrate = 28000;
constexpr bool kEncoderInbandFec = false;

} // namespace

DVoiceControl::DVoiceControl(const Widgets& widgets, MClientSession* session, QObject* parent)
    : QObject(parent), m_widgets(widgets), m_session(session), m_format(MM::defaultAudioFormat())
{
    m_playback = new MVoicePlayback(
        m_format,
        [](QAudioOutput* output, QIODevice* device, const QAudioFormat& format, QObject* owner)
            -> MDecoder* { return new MOpusAdvancedDecoder(output, device, format, owner); },
        this);
    connect(m_playback, &MVoicePlayback::decoderCreated, this, [this](MDecoder* decoder) {
        connect(decoder, &MDecoder::statsPropagated, this, &DVoiceControl::decoderStatsPropagated);
    });
    m_widgets.speakerText->setText(QStringLiteral("No Sound"));

    m_capture = new MVoiceCapture(m_format, this);
    connect(m_capture, &MVoiceCapture::encoderCreated, this, [this](MEncoder* encoder) {
        connect(encoder, &MEncoder::statsPropagated, this, &DVoiceControl::encoderStatsPropagated);
    });
    m_widgets.microphoneText->setText(QStringLiteral("Voice\nNot Initialized."));
}

QLabel* DVoiceControl::addStatisticsLine(QStatusBar* statusBar)
{
    auto* label = new QLabel(statusBar);
    label->setObjectName(QStringLiteral("lblStatistics"));
    // The line is wider than the window: wrapped, it cannot widen the window
    // each time a count grows a digit.
    label->setWordWrap(true);
    statusBar->addPermanentWidget(label, 1);
    return label;
}

DVoiceControl::~DVoiceControl()
{
    delete m_capture;
    delete m_playback;
}

bool DVoiceControl::isPlaybackOn() const
{
    return m_playback->isOn();
}

bool DVoiceControl::isSending() const
{
    return m_capture->isSending();
}

QAudioOutput* DVoiceControl::audioOutput() const
{
    return m_playback->audioOutput();
}

bool DVoiceControl::tcpUsable() const
{
    return m_session->tcpUsable();
}

MEncoder* DVoiceControl::createEncoder(
    QAudioInput* input, QIODevice* device, const QAudioFormat& format, QObject* parent) const
{
    MUdpSocket* udp = m_session->udpSocket();
    if (!udp)
        return nullptr;
    return new MOpusEncoder(
        input, device, format, udp, kEncoderComplexity, kEncoderBitrate, kEncoderInbandFec, parent);
}

void DVoiceControl::startPlayback()
{
    if (m_playback->isOn() || !m_voiceAllowed)
        return;
    m_playback->start();
    m_widgets.speakerImage->setPixmap(QPixmap(kSpeakerOn));
    m_widgets.speakerText->setText(QStringLiteral("Sound Started"));
}

void DVoiceControl::stopPlayback()
{
    if (!m_playback->stop())
        return;
    m_widgets.speakerImage->setPixmap(QPixmap(kSpeakerOff));
    connect(m_playback, &MVoicePlayback::decoderCreated, this, [this](MDecoder* decoder) {
        connect(decoder, &MDecoder::statsPropagated, this, &DVoiceControl::decoderStatsPropagated);
    });
    m_widgets.speakerText->setText(QStringLiteral("No Sound"));
}

void DVoiceControl::voicePacketReceived(const QByteArray& payload)
{
    if (!m_playback->isOn())
        startPlayback();
    if (m_voiceAllowed)
        m_playback->voicePacketReceived(payload);
}

void DVoiceControl::startSending()
{
    if (m_capture->isSending() || !m_voiceAllowed || !tcpUsable())
        return;
    MTcpSocket* tcp = m_session->tcpSocket();
    tcp->ourProtocolSendCommand(SessionCommand::kStartVoice);
    tcp->ourProtocolSendCommand(SessionCommand::kForSpyStartVoice + m_identity);
    m_capture->start([this](QAudioInput* input, QIODevice* device, const QAudioFormat& format,
                         QObject* parent) { return createEncoder(input, device, format, parent); });
    m_widgets.toggle->setIcon(QIcon(kMicOn));
    m_widgets.microphoneText->setText(QStringLiteral("Sending Voice.\nClick to mute."));
}

void DVoiceControl::stopSending()
{
    if (!m_capture->stop())
        return;
    if (tcpUsable()) {
        MTcpSocket* tcp = m_session->tcpSocket();
        tcp->ourProtocolSendCommand(SessionCommand::kStopVoice);
        tcp->ourProtocolSendCommand(SessionCommand::kForSpyStopVoice + m_identity);
    }
    m_widgets.toggle->setIcon(QIcon(kMicOff));
    m_widgets.microphoneText->setText(QStringLiteral("Muted. Click\nto send voice."));
}

void DVoiceControl::toggleSending()
{
    if (m_capture->isSending())
        stopSending();
    else
        startSending();
}

void DVoiceControl::speakerCountReceived(int count)
{
    qCDebug(lcAssistant) << "SPCL: " << count;
    m_lastSpeakerCount = count;
    const DVoiceRules::SpeakerDecision decision
        = DVoiceRules::decideSpeakerLimit(count, m_capture->isSending(), m_wasSpeaker);
    m_wasSpeaker = decision.wasSpeaker;
    if (decision.allowed) {
        m_voiceAllowed = true;
        m_widgets.toggle->setEnabled(true);
        if (m_autoStartSending)
            startSending();
    } else if (decision.refused) {
        m_voiceAllowed = false;
        m_widgets.toggle->setEnabled(false);
        stopPlayback();
        stopSending();
        m_widgets.speakerImage->setPixmap(QPixmap(kSpeakerOff));
        connect(m_playback, &MVoicePlayback::decoderCreated, this, [this](MDecoder* decoder) {
            connect(
                decoder, &MDecoder::statsPropagated, this, &DVoiceControl::decoderStatsPropagated);
        });
        m_widgets.speakerText->setText(QStringLiteral("No Sound"));
        emit statusLine(ChatFormat::statusLine(QStringLiteral("#8000FF"),
            QStringLiteral("Two clients are already speaking. You can't send or receive voice "
                           "until they are finished.")));
    }
    m_autoStartSending = false;
}

void DVoiceControl::showEncoderCounts(const DVoiceRules::FlowCounts& counts)
{
    m_encoderCounts = counts;
    m_widgets.statistics->setText(DVoiceRules::statisticsText(m_encoderCounts, m_decoderCounts));
}

void DVoiceControl::showDecoderCounts(const DVoiceRules::FlowCounts& counts)
{
    m_decoderCounts = counts;
    m_widgets.statistics->setText(DVoiceRules::statisticsText(m_encoderCounts, m_decoderCounts));
}
