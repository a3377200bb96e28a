#pragma once
// Hazard: GDI+'s C++ wrappers delete in their destructor whatever the flat
// call left in their output, even after a failed call. Wine's GDI+ can leave
// a pointer it has already freed there (GdipCreateFontFromLogfontW does, for
// a face it cannot use), and deleting it again corrupts the heap that every
// thread of the process shares. So a wrapper made with new is kept only when
// it reports Ok; a failed one is dropped without running its destructor (a
// few bytes, on a path that is rare or runs once).
template <class T>
T* KeepIfOk(T* object) {
  if (object && object->GetLastStatus() == Gdiplus::Ok) return object;
  return nullptr;
}
