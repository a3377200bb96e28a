#include "ui/folder_picker.h"

#include <commctrl.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "download/save_folder.h"
#include "net/text.h"
#include "ui/ui_state.h"
#include "ui/window_services.h"

namespace {

// The picker's texts in the bundled font: under a system without Chinese
// fonts its own would show squares.
BOOL CALLBACK UseUiFont(HWND child, LPARAM) {
  if (UiFont) SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(UiFont), TRUE);
  return TRUE;
}

void FontForDialog(HWND dialog) {
  if (!dialog || !UiFont) return;
  EnumChildWindows(dialog, UseUiFont, 0);
  InvalidateRect(dialog, nullptr, TRUE);
}

// Sets the bundled font once the dialog's window exists (its first folder).
class PickerEvents : public IFileDialogEvents {
 public:
  IFACEMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == IID_IFileDialogEvents) {
      *out = static_cast<IFileDialogEvents*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  IFACEMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  IFACEMETHODIMP_(ULONG) Release() override { return --refs_; }  // lives on the caller's stack
  IFACEMETHODIMP OnFileOk(IFileDialog*) override { return S_OK; }
  IFACEMETHODIMP OnFolderChanging(IFileDialog*, IShellItem*) override { return S_OK; }
  IFACEMETHODIMP OnFolderChange(IFileDialog* dialog) override {
    if (done_) return S_OK;
    IOleWindow* window = nullptr;
    if (SUCCEEDED(dialog->QueryInterface(IID_PPV_ARGS(&window)))) {
      HWND hwnd = nullptr;
      if (SUCCEEDED(window->GetWindow(&hwnd)) && hwnd) {
        FontForDialog(hwnd);
        done_ = true;
      }
      window->Release();
    }
    return S_OK;
  }
  IFACEMETHODIMP OnSelectionChange(IFileDialog*) override { return S_OK; }
  IFACEMETHODIMP OnShareViolation(IFileDialog*, IShellItem*, FDE_SHAREVIOLATION_RESPONSE*) override { return S_OK; }
  IFACEMETHODIMP OnTypeChange(IFileDialog*) override { return S_OK; }
  IFACEMETHODIMP OnOverwrite(IFileDialog*, IShellItem*, FDE_OVERWRITE_RESPONSE*) override { return S_OK; }

 private:
  ULONG refs_ = 1;
  bool done_ = false;
};

// false when the modern picker is not there; `*folder` empty on cancel.
bool PickModern(HWND owner, const std::wstring& instruction, const std::wstring& start, std::wstring* folder) {
  IFileOpenDialog* dialog = nullptr;
  if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&dialog))))
    return false;
  FILEOPENDIALOGOPTIONS options = 0;
  dialog->GetOptions(&options);
  if (FAILED(dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST))) {
    dialog->Release();
    return false;
  }
  dialog->SetTitle(instruction.c_str());
  IShellItem* at = nullptr;
  if (!start.empty() && SUCCEEDED(SHCreateItemFromParsingName(start.c_str(), nullptr, IID_PPV_ARGS(&at)))) {
    dialog->SetFolder(at);
    at->Release();
  }
  PickerEvents events;
  DWORD cookie = 0;
  const bool advised = SUCCEEDED(dialog->Advise(&events, &cookie));
  if (SUCCEEDED(dialog->Show(owner))) {
    IShellItem* chosen = nullptr;
    if (SUCCEEDED(dialog->GetResult(&chosen))) {
      PWSTR path = nullptr;
      if (SUCCEEDED(chosen->GetDisplayName(SIGDN_FILESYSPATH, &path)) && path) {
        *folder = path;
        CoTaskMemFree(path);
      }
      chosen->Release();
    }
  }
  if (advised) dialog->Unadvise(cookie);
  dialog->Release();
  return true;
}

// What the folder browser's path field held when OK was pressed: Wine's
// browser asks for the field but never reads it, and returns the tree's
// selection whatever the player typed.
struct BrowseState {
  const wchar_t* start = nullptr;
  std::wstring typed;
  bool fieldRead = false;
};

LRESULT CALLBACK ReadFieldOnOk(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR data) {
  if (msg == WM_COMMAND && LOWORD(wp) == IDOK) {
    auto* state = reinterpret_cast<BrowseState*>(data);
    if (HWND field = FindWindowExW(hwnd, nullptr, L"Edit", nullptr)) {
      wchar_t text[MAX_PATH] = {};
      GetWindowTextW(field, text, MAX_PATH);
      state->typed = text;
      state->fieldRead = true;
    }
  }
  return DefSubclassProc(hwnd, msg, wp, lp);
}

int CALLBACK BrowseCallback(HWND hwnd, UINT msg, LPARAM, LPARAM data) {
  if (msg == BFFM_INITIALIZED) {
    auto* state = reinterpret_cast<BrowseState*>(data);
    FontForDialog(hwnd);
    SetWindowSubclass(hwnd, ReadFieldOnOk, 1, reinterpret_cast<DWORD_PTR>(state));
    if (state->start && *state->start)
      SendMessageW(hwnd, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(state->start));
  }
  return 0;
}

std::wstring PickWithBrowser(HWND owner, const std::wstring& instruction, const std::wstring& start) {
  BrowseState state;
  state.start = start.c_str();
  BROWSEINFOW bi = {};
  bi.hwndOwner = owner;
  bi.lpszTitle = instruction.c_str();
  bi.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE | BIF_EDITBOX;
  bi.lpfn = BrowseCallback;
  bi.lParam = reinterpret_cast<LPARAM>(&state);
  PIDLIST_ABSOLUTE item = SHBrowseForFolderW(&bi);
  if (!item) return {};
  wchar_t folder[MAX_PATH] = {};
  BOOL hasPath = SHGetPathFromIDListW(item, folder);
  CoTaskMemFree(item);
  const std::wstring selected = hasPath ? std::wstring(folder) : std::wstring();
  if (!state.fieldRead) return selected;
  std::wstring chosen = ChooseTypedFolder(state.typed, selected);
  if (chosen.empty())
    ShowGbkBox(owner,
               Gbk(u8"无法识别输入的文件夹：") + GbkFromWide(state.typed) +
                   Gbk(u8"\n\n请输入完整路径（例如 D:\\Games），或在列表中选择文件夹。"),
               Gbk(u8"提示"), MB_ICONWARNING);
  return chosen;
}

// Wine's modern picker does not give a folder back from its Open button
// while the name field is empty (seen with Wine 8 under Xvfb: the button
// does nothing), so under Wine the folder browser is used.
bool UnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

}  // namespace

std::wstring PickFolder(HWND owner, const std::wstring& instruction, const std::wstring& start) {
  std::wstring folder;
  if (!UnderWine() && PickModern(owner, instruction, start, &folder)) return folder;
  return PickWithBrowser(owner, instruction, start);
}
