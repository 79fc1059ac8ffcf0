#pragma once

#include "clientconfig.h"
#include "voiceprocessing.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QVector>

struct ServerSettings;

// podium's configuration, settled once at start-up from built-in defaults, the
// command line, the identity file "IDA.DAT" and a configuration file, all in
// the program's configuration folder (ProgramFiles). main owns it; the chat window copies it and
// never writes back. Plain data plus the readers that fill it; main thread only.
struct AssistantConfig : ClientConfig
{
    AssistantConfig();

    bool internalServer = false;
    bool publishAddress = false;
    bool fetchAddress = false;
    QString publishingHost;

    // "-n": no window and no display; the program is a server box.
    bool headless = false;
    // "-l": where the internal server's TCP listener and UDP socket live.
    QHostAddress listenAddress { QHostAddress::AnyIPv4 };
    quint16 listenPort;

    // The window's voice-processing settings at start (a "VOICEPROCESSING"
    // line of the configuration file); all on unless it says otherwise.
    VoiceProcessing::Settings voiceProcessing { true, true, true };

    // A secure class: the staff code ("-m", a "STAFFCODE" line) beside the
    // students' code; with -s either makes the internal server secure. The
    // window joins with the staff code when there is one, else with the
    // students' code. plainAddresses ("-w", a "PLAINADDRESSES" line, commas
    // between addresses): plain connections a secure server still admits, as staff.
    QString staffCode;
    QVector<QHostAddress> plainAddresses;
    // Where a secure internal server keeps its certificate: a service's state
    // folder ($STATE_DIRECTORY, systemd's StateDirectory=), else empty for the
    // user's default (ServerCertificate::defaultStateFolder()).
    QString stateFolder;
    QString joinCode() const { return staffCode.isEmpty() ? studentCode : staffCode; }
    // Whether the window joins a secure class (a code or a fingerprint given).
    bool joinsSecurely() const { return !joinCode().isEmpty() || !serverFingerprint.isEmpty(); }

    // Defaults, then the command line, the identity file and the configuration
    // file of configDir, in that order, and the service's state folder.
    // arguments exclude the program name.
    void load(const QStringList& arguments, const QString& configDir);

    // podium's options: the shared ones and "-s", "-n", "-l", "-m", "-w". They change this
    // record; a bare argument names the configuration file.
    ProgramOptions::Table optionTable();

    // Each reader changes only what its source names.
    void readCommandLine(const QStringList& arguments, QString& configPath);
    void readIdentityFile(const QString& path);
    void readConfigurationFile(const QString& configPath, const QString& configDir);

    // The internal server's settings: defaults, the listen option and the probe switch.
    ServerSettings serverSettings() const;

    // One line that says what was settled, for the log.
    QString describe() const;

    // Whether the arguments ask for "-n", known before the application exists.
    static bool headlessRequested(int argc, char** argv);
    // The secure class's settings a service gives through its environment
    // (PODIUM_STAFF_CODE, PODIUM_STUDENT_CODE, PODIUM_PLAIN_ADDRESSES), as the
    // options -m, -k and -w, to go before the command line's own arguments:
    // the command line wins, and a code never shows in the process list.
    static QStringList environmentArguments();
    // The host behind "<def>", "<def2>", "<def3>"; any other text is a host name.
    static QString publishingHostFor(const QString& keyword);
    // Address that ".external" selects.
    static QHostAddress defaultExternalServer();
};
