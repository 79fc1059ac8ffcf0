#include "voiceprocessingline.h"

#include <QDebug>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include "assistantlog.h"

namespace VoiceProcessingLine {

bool read(const QString& line, VoiceProcessing::Settings& settings)
{
    const QString text = line.trimmed();
    if (!text.startsWith(QLatin1String(kKeyword)))
        return false;
    const QString rest = text.mid(int(qstrlen(kKeyword)));
    if (!rest.isEmpty() && !rest.at(0).isSpace() && rest.at(0) != QLatin1Char(','))
        return false;
    VoiceProcessing::Settings parsed;
    const QStringList words
        = rest.toLower().split(QRegularExpression(QStringLiteral("[\\s,]+")), Qt::SkipEmptyParts);
    for (const QString& word : words) {
        if (word == QLatin1String("noise"))
            parsed.noiseSuppression = true;
        else if (word == QLatin1String("echo"))
            parsed.echoCancellation = true;
        else if (word == QLatin1String("gain"))
            parsed.gainControl = true;
        else if (word == QLatin1String("on") || word == QLatin1String("all"))
            parsed = { true, true, true };
        else if (word != QLatin1String("off"))
            qCDebug(lcAssistant).noquote()
                << "Configuration: unknown voice processing part" << word;
    }
    settings = parsed;
    return true;
}

} // namespace VoiceProcessingLine
