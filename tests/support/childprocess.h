#pragma once

class QProcess;

// Ends and awaits the test's own child processes. An earlier event loop
// (qWait, QTRY_*, QSignalSpy::wait) may already have seen the child end:
// QProcess::waitForFinished() then returns false, and processId() is 0, so
// that a bare kill() would signal the whole process group. These helpers
// signal only a child that is still ours and count an ended one as ended.
namespace ChildProcess {

// True when the child is not running, or ends within timeoutMs.
bool waitForEnd(QProcess& process, int timeoutMs = 30000);

// Sends signalNumber to the child if it is still running, then waits as
// waitForEnd() does. Never signals a process id <= 0.
bool signalAndWait(QProcess& process, int signalNumber, int timeoutMs = 30000);

// For destructors: SIGTERM, then SIGKILL if the child outlives the wait.
void stop(QProcess& process, int timeoutMs = 10000);

} // namespace ChildProcess
