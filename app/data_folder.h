#pragma once
// The launcher's own folder, <local application data>\RealmPorter: the log,
// the journals, the pack cache and the cached background live there. Every
// caller finds it here, wide, whatever the system's code page.
#include <string>

// The folder, created when it is missing; empty when the application-data
// folder cannot be found.
std::wstring LauncherDataFolder();
// The folder's path without creating it (the log writes only where the
// folder already is); empty when the application-data folder cannot be found.
std::wstring LauncherDataFolderPath();
