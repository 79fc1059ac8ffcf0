#pragma once

#include "dvoicerules.h"

#include <QAudio>
#include <QAudioFormat>
#include <QObject>
#include <QString>

class QAudioInput;
class QAudioOutput;
class QIODevice;
class QLabel;
class QPushButton;
class QStatusBar;
class MClientSession;
class MEncoder;
class MVoiceCapture;
class MVoicePlayback;

// The assistant's voice: playback of what the class says and capture of its
// own microphone under the two-speaker limit, with the controls that show
// them (the microphone button and text, the speaker picture and text, the
// statistics line). The chat window owns it, hands it those widgets and its
// session, and calls it from its voice slots; the voice objects live in
// MVoicePlayback and MVoiceCapture. GUI thread.
class DVoiceControl : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DVoiceControl)

public:
    struct Widgets
    {
        QPushButton* toggle;
        QLabel* microphoneText;
        QLabel* speakerImage;
        QLabel* speakerText;
        QLabel* statistics;
    };

    DVoiceControl(const Widgets& widgets, MClientSession* session, QObject* parent);
    // The statistics line at the bar's right, taking its spare width.
    static QLabel* addStatisticsLine(QStatusBar* statusBar);
    // Capture first: the encoder's destructor waits on the session's UDP socket.
    ~DVoiceControl() override;

    // The name the voice announcements carry.
    void setIdentity(const QString& identity) { m_identity = identity; }

    bool isPlaybackOn() const;
    bool isSending() const;
    bool isVoiceAllowed() const { return m_voiceAllowed; }
    bool hasBeenSpeaker() const { return m_wasSpeaker; }
    int lastSpeakerCount() const { return m_lastSpeakerCount; }
    MVoicePlayback* playback() const { return m_playback; }
    QAudioOutput* audioOutput() const;
    MVoiceCapture* capture() const { return m_capture; }

    // Playback runs only while voice is allowed.
    void startPlayback();
    void stopPlayback();
    // A voice packet: playback starts by itself, the decoder gets it when
    // voice is allowed.
    void voicePacketReceived(const QByteArray& payload);
    // "STARTVOICE" and the speaker announcement go first; needs a usable TCP
    // socket and voice allowed.
    void startSending();
    // "STOPVOICE" and its announcement while the TCP socket is usable.
    void stopSending();
    void toggleSending();
    // The server's speaker count, under the two-speaker limit; the first one
    // after joining starts sending when allowed.
    void speakerCountReceived(int count);
    void showEncoderCounts(const DVoiceRules::FlowCounts& counts);
    void showDecoderCounts(const DVoiceRules::FlowCounts& counts);

signals:
    void statusLine(const QString& html);
    void encoderStatsPropagated(
        int sFlowPacketCount, int sFlowPacketSize, int sSuccessfulPackets, int sFailedPackets);
    void decoderStatsPropagated(
        int sFlowPacketCount, int sFlowPacketSize, int sSuccessfulPackets, int sFailedPackets);

private:
    MEncoder* createEncoder(
        QAudioInput* input, QIODevice* device, const QAudioFormat& format, QObject* parent) const;
    bool tcpUsable() const;

    Widgets m_widgets;
    MClientSession* m_session;
    QString m_identity;
    QAudioFormat m_format;
    MVoicePlayback* m_playback = nullptr;
    MVoiceCapture* m_capture = nullptr;
    bool m_autoStartSending = true;
    bool m_voiceAllowed = false;
    bool m_wasSpeaker = false;
    int m_lastSpeakerCount = -1;
    DVoiceRules::FlowCounts m_encoderCounts;
    DVoiceRules::FlowCounts m_decoderCounts;
};
