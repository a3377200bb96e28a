#pragma once
// The launcher loads only Windows' own DLLs, whatever lies beside the exe or
// in the current folder: players start it from their Downloads folder.
#include <windows.h>

// Takes the exe's folder and the current folder out of the DLL search of the
// whole process: System32 only where Windows offers that (Windows 8 and
// later, Windows 7 with KB2533623), otherwise at least not the current
// folder. Installs the loading of the delay-loaded DLLs. Runs first in
// WinMain, before anything loads a library.
void KeepDllSearchToSystem();

// A DLL of System32 by its name ("Shcore.dll"), never one found elsewhere;
// null when System32 has none.
HMODULE LoadSystemDll(const wchar_t* name);
