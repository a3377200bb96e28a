# Files that do not include <windows.h>: decision logic on std::string and
# numbers. They go into the Windows program and into the native test build.
set(RP_PURE_SOURCES
  config/serverlist.cpp
  config/paths.cpp
  game/gamedir.cpp
  game/realmfile.cpp
  manifest/json_scan.cpp
  manifest/canonical.cpp
  manifest/digest_text.cpp
  manifest/client_manifest.cpp
  manifest/progress.cpp
  manifest/install_paths.cpp
  net/url.cpp
  download/pool.cpp
)

# Thin Win32 layers around the pure files, and the program's own Win32 code.
set(RP_WIN_SOURCES
  app/log.cpp
  app/messages.cpp
  config/serverlist_sources.cpp
  manifest/sha256_cng.cpp
  manifest/progress_win.cpp
  manifest/install_paths_win.cpp
  manifest/fetch_manifest.cpp
  net/http.cpp
  net/download.cpp
  net/reader.cpp
  download/transfer.cpp
  download/job.cpp
  app/startup.cpp
  config/settings.cpp
  game/gamedir_win.cpp
  game/housekeeping.cpp
  game/launch.cpp
  net/text.cpp
  ui/font.cpp
)
