// podium's voice-processing settings: the configuration line that sets the
// defaults, and the window's three checkable actions that switch each part of
// the capture's processing (offscreen widgets, podium's build of the voice
// classes).

#include "assistantconfig.h"
#include "dvoiceprocessingmenu.h"
#include "mm.h"
#include "mvoicecapture.h"
#include "mvoiceplayback.h"
#include "voiceprocessingline.h"

#include "audiotestmain.h"

#include <QAction>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(VoiceProcessing::Settings)

namespace QTest {
template <> char* toString(const VoiceProcessing::Settings& settings)
{
    return qstrdup(qPrintable(VoiceProcessing::describe(settings)));
}
} // namespace QTest

class TestVoiceProcessingSettings : public QObject
{
    Q_OBJECT

private slots:
    void configurationFile_data();
    void configurationFile();
    void actionsSwitchEachPart_data();
    void actionsSwitchEachPart();
    void environmentOffDisablesTheActions();
};

void TestVoiceProcessingSettings::configurationFile_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<VoiceProcessing::Settings>("expected");
    QTest::addColumn<QString>("identity");

    QTest::newRow("no line keeps all three on")
        << QByteArray("127.0.0.1:4060\n") << VoiceProcessing::Settings { true, true, true }
        << QString();
    QTest::newRow("a line after the identity names the parts that run")
        << QByteArray("127.0.0.1:4060\nIDENTIFY Ann\nVOICEPROCESSING noise echo\n")
        << VoiceProcessing::Settings { true, true, false } << QStringLiteral("Ann");
    QTest::newRow("the second line may be the processing line")
        << QByteArray("127.0.0.1:4060\nVOICEPROCESSING gain, echo\n")
        << VoiceProcessing::Settings { false, true, true } << QString();
    QTest::newRow("off turns every part off")
        << QByteArray(".internal\nIDENTIFY Bo\nVOICEPROCESSING off\n")
        << VoiceProcessing::Settings { false, false, false } << QStringLiteral("Bo");
    QTest::newRow("on means all three, after an off")
        << QByteArray("127.0.0.1:4060\nVOICEPROCESSING off, on\n")
        << VoiceProcessing::Settings { true, true, true } << QString();
    QTest::newRow("the keyword alone means none")
        << QByteArray("127.0.0.1:4060\nVOICEPROCESSING\n")
        << VoiceProcessing::Settings { false, false, false } << QString();
    QTest::newRow("unknown words are skipped")
        << QByteArray("127.0.0.1:4060\nVOICEPROCESSING loud noise\n")
        << VoiceProcessing::Settings { true, false, false } << QString();
    QTest::newRow("a longer keyword is not the line")
        << QByteArray("127.0.0.1:4060\nVOICEPROCESSINGX off\n")
        << VoiceProcessing::Settings { true, true, true } << QString();
    QTest::newRow("the first line is never the processing line")
        << QByteArray("VOICEPROCESSING off\n") << VoiceProcessing::Settings { true, true, true }
        << QString();
}

void TestVoiceProcessingSettings::configurationFile()
{
    QFETCH(QByteArray, file);
    QFETCH(VoiceProcessing::Settings, expected);
    QFETCH(QString, identity);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile config(dir.filePath(QStringLiteral("CL3.DAT")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(file);
    config.close();

    AssistantConfig settings;
    settings.identity.clear();
    settings.readConfigurationFile(config.fileName(), dir.path());
    QCOMPARE(settings.voiceProcessing, expected);
    QCOMPARE(settings.identity, identity);
}

void TestVoiceProcessingSettings::actionsSwitchEachPart_data()
{
    QTest::addColumn<VoiceProcessing::Settings>("defaults");
    QTest::addColumn<QString>("action");
    QTest::addColumn<VoiceProcessing::Settings>("after");

    const VoiceProcessing::Settings all = VoiceProcessing::Settings { true, true, true };
    QTest::newRow("unchecking noise suppression")
        << all << DVoiceProcessingMenu::kNoiseActionName
        << VoiceProcessing::Settings { false, true, true };
    QTest::newRow("unchecking echo cancellation")
        << all << DVoiceProcessingMenu::kEchoActionName
        << VoiceProcessing::Settings { true, false, true };
    QTest::newRow("unchecking gain control") << all << DVoiceProcessingMenu::kGainActionName
                                             << VoiceProcessing::Settings { true, true, false };
    QTest::newRow("checking gain control with the others off")
        << VoiceProcessing::Settings { false, false, false }
        << DVoiceProcessingMenu::kGainActionName
        << VoiceProcessing::Settings { false, false, true };
}

void TestVoiceProcessingSettings::actionsSwitchEachPart()
{
    QFETCH(VoiceProcessing::Settings, defaults);
    QFETCH(QString, action);
    QFETCH(VoiceProcessing::Settings, after);
    qunsetenv(VoiceProcessing::kEnvironmentVariable);

    QMenuBar bar;
    MVoicePlayback playback(MM::defaultAudioFormat(), MDecoderFactory());
    MVoiceCapture capture(MM::defaultAudioFormat());
    DVoiceProcessingMenu::attach(&bar, &playback, &capture, defaults);
    QCOMPARE(capture.processingSettings(), defaults);
    QCOMPARE(playback.isEchoCancelled(), defaults.echoCancellation);

    auto* toggled = bar.findChild<QAction*>(action);
    QVERIFY(toggled);
    QVERIFY(toggled->isCheckable());
    QVERIFY(toggled->isEnabled());
    toggled->trigger();
    QCOMPARE(capture.processingSettings(), after);
    QCOMPARE(playback.isEchoCancelled(), after.echoCancellation);
    toggled->trigger();
    QCOMPARE(capture.processingSettings(), defaults);
    QCOMPARE(playback.isEchoCancelled(), defaults.echoCancellation);
}

void TestVoiceProcessingSettings::environmentOffDisablesTheActions()
{
    qputenv(VoiceProcessing::kEnvironmentVariable, VoiceProcessing::kOffValue);
    QMenuBar bar;
    MVoicePlayback playback(MM::defaultAudioFormat(), MDecoderFactory());
    MVoiceCapture capture(MM::defaultAudioFormat());
    DVoiceProcessingMenu::attach(
        &bar, &playback, &capture, VoiceProcessing::Settings { true, true, true });
    qunsetenv(VoiceProcessing::kEnvironmentVariable);
    QCOMPARE(capture.processingSettings(), VoiceProcessing::Settings());
    QVERIFY(!playback.isEchoCancelled());
    for (const char* name : { DVoiceProcessingMenu::kNoiseActionName,
             DVoiceProcessingMenu::kEchoActionName, DVoiceProcessingMenu::kGainActionName }) {
        auto* action = bar.findChild<QAction*>(QLatin1String(name));
        QVERIFY(action);
        QVERIFY(!action->isEnabled());
        QVERIFY(!action->isChecked());
    }
}

CLASSROOM_AUDIO_TEST_MAIN(TestVoiceProcessingSettings)
#include "tst_voiceprocessingsettings.moc"
