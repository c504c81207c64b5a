// kelgate under a service manager: log lines without timestamps of their own
// when standard error goes to the journal (which stamps every line), and the
// readiness and stopping notices systemd waits for with Type=notify.
#pragma once

#include <string>

namespace kelgate {

// True when systemd's JOURNAL_STREAM names the very stream that standard
// error is (device:inode), as systemd sets it for a service's output. A
// variable inherited by a program whose standard error was redirected
// elsewhere does not count.
bool StderrIsJournal();

// What begins a log line: "2026-12-08 23:14:52.123 kelgate: " (local time),
// or nothing when standard error is the journal.
std::string LogPrefix();

// Tells the service manager that the gateway serves (READY=1 with a STATUS
// line), or that it stops. Nothing happens outside a service (no
// NOTIFY_SOCKET).
void NotifyReady(const std::string& status);
void NotifyStopping();

}  // namespace kelgate
