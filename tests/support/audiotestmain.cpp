#include "audiotestmain.h"

#include <cstdio>

#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__) && __has_include(<sanitizer/lsan_interface.h>)
#include <sanitizer/lsan_interface.h>
#define CLASSROOM_HAVE_LSAN 1
#endif

void AudioTestMain::exitSkippingAudioTeardown(int result)
{
#if defined(CLASSROOM_HAVE_LSAN)
    // _exit skips the sanitizer's own exit-time check; run it here instead.
    // A leak report ends the process with the sanitizer's exit code.
    __lsan_do_leak_check();
#endif
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(result);
}
