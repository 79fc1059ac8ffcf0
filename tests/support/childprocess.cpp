#include "childprocess.h"

#include <cerrno>
#include <csignal>

#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QProcess>

namespace {

// True while pid is a child of this process that nobody has reaped yet:
// running, or ended and waiting to be collected. Qt reaps an ended child
// from its SIGCHLD handler before QProcess's state says so, and after that
// the id is free for any other process.
bool isUnreapedChild(pid_t pid)
{
    siginfo_t info {};
    return ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

// Sends the signal through a process descriptor opened before the check, so
// that the child being reaped in between cannot redirect it; without
// descriptors, the window left is too short for the id to be reused.
void signalChild(pid_t pid, int signalNumber)
{
#if defined(SYS_pidfd_open) && defined(SYS_pidfd_send_signal)
    const int descriptor = int(::syscall(SYS_pidfd_open, pid, 0));
    if (descriptor >= 0) {
        if (isUnreapedChild(pid))
            ::syscall(SYS_pidfd_send_signal, descriptor, signalNumber, nullptr, 0);
        ::close(descriptor);
        return;
    }
    if (errno == ESRCH)
        return;
#endif
    if (isUnreapedChild(pid))
        ::kill(pid, signalNumber);
}

} // namespace

namespace ChildProcess {

bool waitForEnd(QProcess& process, int timeoutMs)
{
    if (process.state() == QProcess::NotRunning)
        return true;
    return process.waitForFinished(timeoutMs) || process.state() == QProcess::NotRunning;
}

bool signalAndWait(QProcess& process, int signalNumber, int timeoutMs)
{
    const qint64 pid = process.state() == QProcess::NotRunning ? 0 : process.processId();
    if (pid > 0)
        signalChild(pid_t(pid), signalNumber);
    return waitForEnd(process, timeoutMs);
}

void stop(QProcess& process, int timeoutMs)
{
    if (!signalAndWait(process, SIGTERM, timeoutMs))
        signalAndWait(process, SIGKILL, 5000);
}

} // namespace ChildProcess
