#include "dvoiceprocessingmenu.h"

#include "mvoicecapture.h"
#include "mvoiceplayback.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

namespace DVoiceProcessingMenu {

void attach(QMenuBar* menuBar, MVoicePlayback* playback, MVoiceCapture* capture,
    const VoiceProcessing::Settings& defaults)
{
    const bool off = VoiceProcessing::disabledByEnvironment();
    capture->setProcessingSettings(off ? VoiceProcessing::Settings() : defaults);
    playback->setFarEndTapped(!off);
    playback->setEchoCancelled(!off && defaults.echoCancellation);
    QObject::connect(
        playback, &MVoicePlayback::farEndPlayed, capture, &MVoiceCapture::farEndPlayed);

    QMenu* menu = menuBar->addMenu(QStringLiteral("&Voice"));
    menu->setObjectName(QStringLiteral("menuVoice"));
    struct Part
    {
        const char* name;
        const char* text;
        bool VoiceProcessing::Settings::*flag;
    };
    const Part parts[] = {
        { kNoiseActionName, "&Noise Suppression", &VoiceProcessing::Settings::noiseSuppression },
        { kEchoActionName, "&Echo Cancellation", &VoiceProcessing::Settings::echoCancellation },
        { kGainActionName, "&Gain Control", &VoiceProcessing::Settings::gainControl },
    };
    for (const Part& part : parts) {
        auto* action = new QAction(QLatin1String(part.text), menuBar);
        action->setObjectName(QLatin1String(part.name));
        action->setCheckable(true);
        action->setChecked(!off && defaults.*part.flag);
        action->setEnabled(!off);
        const auto flag = part.flag;
        QObject::connect(action, &QAction::toggled, capture, [capture, flag](bool checked) {
            VoiceProcessing::Settings settings = capture->processingSettings();
            settings.*flag = checked;
            capture->setProcessingSettings(settings);
        });
        if (flag == &VoiceProcessing::Settings::echoCancellation)
            QObject::connect(action, &QAction::toggled, playback,
                [playback](bool checked) { playback->setEchoCancelled(checked); });
        menu->addAction(action);
    }
}

} // namespace DVoiceProcessingMenu
