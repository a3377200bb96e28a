#include "ui/accessible.h"

#include <commctrl.h>
#include <oleacc.h>

#include <string>

#include "app/system_dlls.h"
#include "net/text.h"
#include "ui/ids.h"

namespace {

using CreateStdFn = HRESULT(WINAPI*)(HWND, LONG, REFIID, void**);
using LresultFn = LRESULT(WINAPI*)(REFIID, WPARAM, LPUNKNOWN);

// oleacc is loaded on the first question from a screen reader, from System32.
bool Oleacc(CreateStdFn* create, LresultFn* lresult) {
  static HMODULE dll = LoadSystemDll(L"oleacc.dll");
  if (!dll) return false;
  *create = reinterpret_cast<CreateStdFn>(reinterpret_cast<void*>(GetProcAddress(dll, "CreateStdAccessibleObject")));
  *lresult = reinterpret_cast<LresultFn>(reinterpret_cast<void*>(GetProcAddress(dll, "LresultFromObject")));
  return *create && *lresult;
}

std::wstring TextOf(HWND w) {
  wchar_t text[512] = {};
  GetWindowTextW(w, text, 512);
  return text;
}

struct Look {
  LONG role;
  std::wstring name, value;
};

// The role and words of a control, read afresh on every question.
Look LookOf(HWND control) {
  switch (GetDlgCtrlID(control)) {
    case kIdMinimize: return {ROLE_SYSTEM_PUSHBUTTON, UiText(u8"最小化"), {}};
    case kIdClose: return {ROLE_SYSTEM_PUSHBUTTON, UiText(u8"关闭"), {}};
    case kIdPathBox: {
      std::wstring path = TextOf(control);
      return {ROLE_SYSTEM_TEXT, UiText(u8"游戏路径"), path.empty() ? UiText(u8"未选择") : path};
    }
    case kIdServerList: {
      const int sel = static_cast<int>(SendMessageW(control, CB_GETCURSEL, 0, 0));
      const int len = sel >= 0 ? static_cast<int>(SendMessageW(control, CB_GETLBTEXTLEN, sel, 0)) : 0;
      std::wstring realm;
      if (len > 0 && len < 512) {
        realm.resize(static_cast<size_t>(len) + 1);
        SendMessageW(control, CB_GETLBTEXT, sel, reinterpret_cast<LPARAM>(realm.data()));
        realm.resize(len);
      }
      return {ROLE_SYSTEM_COMBOBOX, UiText(u8"选择服务器"), realm.empty() ? UiText(u8"请选择服务器") : realm};
    }
    case kIdProgress: {
      const int pos = static_cast<int>(SendMessageW(control, PBM_GETPOS, 0, 0));
      return {ROLE_SYSTEM_PROGRESSBAR, UiText(u8"进度"), std::to_wstring(pos) + L"%"};
    }
    default: break;
  }
  wchar_t cls[16] = {};
  GetClassNameW(control, cls, 16);
  const bool button = lstrcmpiW(cls, L"Button") == 0;
  return {button ? ROLE_SYSTEM_PUSHBUTTON : ROLE_SYSTEM_STATICTEXT, TextOf(control), {}};
}

bool IsSelf(const VARIANT& child) { return child.vt == VT_I4 && child.lVal == CHILDID_SELF; }

HRESULT Text(const std::wstring& text, BSTR* out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (text.empty()) return S_FALSE;
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

// The system's object for the control, with the role, name, value, state
// and default action of the control as the player sees it; everything else
// (place, parent, navigation) is the system's.
struct AccessibleControl final : IAccessible {
  LONG refs = 1;
  HWND control;
  IAccessible* inner;

  AccessibleControl(HWND c, IAccessible* i) : control(c), inner(i) {}
  ~AccessibleControl() { inner->Release(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IAccessible) {
      *out = static_cast<IAccessible*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&refs);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override { return inner->GetTypeInfoCount(n); }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT i, LCID l, ITypeInfo** t) override { return inner->GetTypeInfo(i, l, t); }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID r, LPOLESTR* n, UINT c, LCID l, DISPID* d) override {
    return inner->GetIDsOfNames(r, n, c, l, d);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID d, REFIID r, LCID l, WORD f, DISPPARAMS* p, VARIANT* v, EXCEPINFO* e,
                                   UINT* a) override {
    return inner->Invoke(d, r, l, f, p, v, e, a);
  }
  HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** p) override { return inner->get_accParent(p); }
  HRESULT STDMETHODCALLTYPE get_accChildCount(LONG* n) override { return inner->get_accChildCount(n); }
  HRESULT STDMETHODCALLTYPE get_accChild(VARIANT c, IDispatch** d) override { return inner->get_accChild(c, d); }
  HRESULT STDMETHODCALLTYPE get_accName(VARIANT c, BSTR* out) override {
    return IsSelf(c) ? Text(LookOf(control).name, out) : inner->get_accName(c, out);
  }
  HRESULT STDMETHODCALLTYPE get_accValue(VARIANT c, BSTR* out) override {
    return IsSelf(c) ? Text(LookOf(control).value, out) : inner->get_accValue(c, out);
  }
  HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT c, BSTR* out) override {
    return inner->get_accDescription(c, out);
  }
  HRESULT STDMETHODCALLTYPE get_accRole(VARIANT c, VARIANT* out) override {
    if (!IsSelf(c)) return inner->get_accRole(c, out);
    if (!out) return E_INVALIDARG;
    out->vt = VT_I4;
    out->lVal = LookOf(control).role;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accState(VARIANT c, VARIANT* out) override {
    HRESULT hr = inner->get_accState(c, out);
    if (IsSelf(c) && SUCCEEDED(hr) && out->vt == VT_I4) {
      if (GetDlgCtrlID(control) == kIdStartGame) out->lVal |= STATE_SYSTEM_DEFAULT;  // Enter presses it
      if (GetDlgCtrlID(control) == kIdPathBox) out->lVal |= STATE_SYSTEM_READONLY;
    }
    return hr;
  }
  HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT c, BSTR* out) override { return inner->get_accHelp(c, out); }
  HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* f, VARIANT c, LONG* t) override {
    return inner->get_accHelpTopic(f, c, t);
  }
  HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT c, BSTR* out) override {
    return inner->get_accKeyboardShortcut(c, out);
  }
  HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* out) override { return inner->get_accFocus(out); }
  HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* out) override { return inner->get_accSelection(out); }
  HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT c, BSTR* out) override {
    if (IsSelf(c) && LookOf(control).role == ROLE_SYSTEM_PUSHBUTTON) return Text(UiText(u8"按下"), out);
    return inner->get_accDefaultAction(c, out);
  }
  HRESULT STDMETHODCALLTYPE accSelect(LONG f, VARIANT c) override { return inner->accSelect(f, c); }
  HRESULT STDMETHODCALLTYPE accLocation(LONG* x, LONG* y, LONG* w, LONG* h, VARIANT c) override {
    return inner->accLocation(x, y, w, h, c);
  }
  HRESULT STDMETHODCALLTYPE accNavigate(LONG d, VARIANT s, VARIANT* e) override { return inner->accNavigate(d, s, e); }
  HRESULT STDMETHODCALLTYPE accHitTest(LONG x, LONG y, VARIANT* out) override { return inner->accHitTest(x, y, out); }
  HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT c) override {
    if (!IsSelf(c) || LookOf(control).role != ROLE_SYSTEM_PUSHBUTTON) return inner->accDoDefaultAction(c);
    if (!IsWindowEnabled(control)) return E_FAIL;
    // Posted: the reader's call returns before the command shows a box.
    PostMessageW(GetParent(control), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), BN_CLICKED),
                 reinterpret_cast<LPARAM>(control));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_accName(VARIANT c, BSTR n) override { return inner->put_accName(c, n); }
  HRESULT STDMETHODCALLTYPE put_accValue(VARIANT c, BSTR v) override { return inner->put_accValue(c, v); }
};

LRESULT CALLBACK AccessibleSubclass(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) {
  if (msg == WM_GETOBJECT && static_cast<LONG>(lp) == static_cast<LONG>(OBJID_CLIENT)) {
    CreateStdFn create = nullptr;
    LresultFn lresult = nullptr;
    IAccessible* inner = nullptr;
    if (Oleacc(&create, &lresult) &&
        SUCCEEDED(create(hwnd, OBJID_CLIENT, IID_IAccessible, reinterpret_cast<void**>(&inner))) && inner) {
      auto* object = new AccessibleControl(hwnd, inner);
      const LRESULT result = lresult(IID_IAccessible, wp, object);
      object->Release();
      if (result > 0) return result;
    }
  }
  return DefSubclassProc(hwnd, msg, wp, lp);
}

}  // namespace

void InstallAccessibleNames(HWND mainWindow) {
  for (HWND c = GetWindow(mainWindow, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
    SetWindowSubclass(c, AccessibleSubclass, 3, 0);
}
