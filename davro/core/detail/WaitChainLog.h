// Internal to the library: the wait chain log that a deadlock report writes beside its line,
// and the log lock that both logs share. Not exported.
#pragma once

#include <davro/platform/Win32.h>

#include <string>
#include <vector>

namespace davro::detail {

// The process-wide lock of the deadlock log (DeadlockLog.cpp): held while one report is
// written to either log, never across a wait.
davro::win32::CRITICAL_SECTION& deadlockLogLock();

// Called by a deadlock report on the reporting thread, after its line is written and the log
// lock is left. With DAVRO_WAIT_CHAIN_LOG=<path> set, it starts a short-lived thread that
// waits (at most about a second) until the reporter is blocked again in its next watchdog
// slice, takes the reporter's wait chain with GetThreadWaitChain and rewrites the file at
// <path> (mapped like the deadlock log) under the log lock; then the thread ends. The
// reporter itself cannot be the one to look: while it reports it runs, and a chain through
// a running thread ends there. Without the variable it does nothing. Never blocks; a file
// that cannot be written loses the report.
void reportWaitChain();

// The text of the chain file for `count` nodes of a chain (`isCycle` as GetThreadWaitChain
// set it): one line per node, then "cycle: thread A -> thread B -> thread A" when the chain
// comes back to a thread. Lines:
//   thread <id> <status>[ for <ms> ms][ in process <pid>]
//   <kind> "<name>" <status>[ by thread <id>]
// with the kinds and statuses of WCT_OBJECT_TYPE and WCT_OBJECT_STATUS in lower case and
// hyphenated (critical-section, not-owned, ...), "by thread" naming the next node's thread.
std::vector<std::string> waitChainLines(const davro::win32::WAITCHAIN_NODE_INFO* nodes,
                                        davro::win32::DWORD count, bool isCycle);

}  // namespace davro::detail
