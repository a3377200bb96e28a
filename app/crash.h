#pragma once
// Crash reports: an exception that no code handles, on any thread, leaves a
// minidump and the last lines of the log in <local app data>\RealmPorter\crash
// (crash-<date>-<time>.dmp and .log), at most five reports, and a log line
// naming it. The next start says once where the report is.
#include <string>

// Installs the process-wide handler; after KeepDllSearchToSystem.
void InstallCrashHandler();

// The report of a crash since the last start (its .dmp path), once: the
// note is gone when this returns. Empty when there is none.
std::wstring TakeUnannouncedCrashReport();

// Test builds: REALMPORTER_TEST_CRASH=main crashes the calling thread,
// =thread a thread of its own. Release builds do nothing.
void CrashOnPurposeIfAsked();
