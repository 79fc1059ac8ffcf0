#include "dvoicerules.h"

namespace DVoiceRules {

namespace {

constexpr int kSpeakersWithMe = 2;
constexpr int kSpeakersWithoutMe = 1;

QString sideText(const QString& name, const FlowCounts& counts)
{
    QString text = QStringLiteral("%1: %2 packets, %3 bytes")
                       .arg(name, QString::number(counts.packets), QString::number(counts.bytes));
    const double attempts = double(counts.successful) + double(counts.failed);
    if (attempts > 0)
        text += QStringLiteral(", %1% success")
                    .arg(QString::number(100.0 * counts.successful / attempts, 'f', 2));
    return text;
}

} // namespace

SpeakerDecision decideSpeakerLimit(int speakerCount, bool sending, bool wasSpeaker)
{
    SpeakerDecision decision;
    const bool speakingWithinLimit = sending && speakerCount <= kSpeakersWithMe;
    decision.wasSpeaker = wasSpeaker || speakingWithinLimit;
    decision.allowed = speakingWithinLimit || (!sending && speakerCount <= kSpeakersWithoutMe);
    decision.refused = !decision.allowed && !decision.wasSpeaker;
    return decision;
}

QString statisticsText(const FlowCounts& encoder, const FlowCounts& decoder)
{
    return sideText(QStringLiteral("Encoder"), encoder) + QStringLiteral("; ")
        + sideText(QStringLiteral("Decoder"), decoder) + QLatin1Char('.');
}

} // namespace DVoiceRules
