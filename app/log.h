#pragma once
// The launcher's diary of technical failures and milestones for support
// staff: <local app data>\RealmPorter\launcher.log, one time-stamped line per
// call, rotated to launcher.log.old at 5 MiB. Callable from any thread; it
// never fails and never throws (a line that cannot be written is dropped).
#include <cstdint>
#include <string>

#include "app/data_folder.h"

inline constexpr std::uint64_t kLogRotateBytes = 5242880;

void LogWrite(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(gnu_printf, 1, 2)))
#endif
    ;

// Creates the log's folder when it is missing and returns the log file's
// path (empty when the application-data folder cannot be found). The
// launcher's loader makes the folder at start-up; a tool calls this first.
std::wstring PrepareLogFolder();
