#pragma once
// The object a COM (or similar) call hands out, kept only when the call
// succeeded. A failed call may leave anything in its output; that value is
// never used or released.
#include <windows.h>

template <class T, class Call>
T* ComOut(Call call) {
  T* local = nullptr;
  if (FAILED(call(&local))) return nullptr;
  return local;
}
