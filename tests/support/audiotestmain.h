#pragma once

#include <QApplication>
#include <QCoreApplication>
#include <QtTest>

// Main functions for tests that open audio devices. Qt's PulseAudio backend
// keeps a process-wide engine that is torn down during static destruction,
// and libpulse now and then asserts inside that teardown (mainloop.c,
// io_events_please_scan) after every test has passed. These mains run the
// tests, check for leaks while the engine is still alive, and leave without
// the static teardown.
namespace AudioTestMain {

[[noreturn]] void exitSkippingAudioTeardown(int result);

template <typename Application, typename TestObject> int run(int argc, char** argv)
{
    int result = 0;
    {
        Application app(argc, argv);
        app.setAttribute(Qt::AA_Use96Dpi, true);
        TestObject test;
        result = QTest::qExec(&test, argc, argv);
    }
    exitSkippingAudioTeardown(result);
}

} // namespace AudioTestMain

#define CLASSROOM_AUDIO_TEST_GUILESS_MAIN(TestObject)                                              \
    int main(int argc, char* argv[])                                                               \
    {                                                                                              \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return AudioTestMain::run<QCoreApplication, TestObject>(argc, argv);                       \
    }

#define CLASSROOM_AUDIO_TEST_MAIN(TestObject)                                                      \
    int main(int argc, char* argv[])                                                               \
    {                                                                                              \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return AudioTestMain::run<QApplication, TestObject>(argc, argv);                           \
    }
