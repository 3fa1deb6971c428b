#include "module/win/com_drawing.h"

#include "module/win/com_module.h"
#include "module/win/com_ptr.h"

namespace linvo::module::com {
namespace {

constexpr int kDesignBitmap = 201;

// Reads one ambient property as the given type; false when the site does not serve it.
bool ReadAmbient(IDispatch* ambients, DISPID id, VARTYPE type, VARIANT* value) {
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VariantInit(value);
  if (FAILED(ambients->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                              value, nullptr, nullptr))) {
    return false;
  }
  if (SUCCEEDED(VariantChangeType(value, value, 0, type))) return true;
  VariantClear(value);
  return false;
}

// GDI objects released when they go.
struct Gdi {
  HGDIOBJ object;
  explicit Gdi(HGDIOBJ o) : object(o) {}
  ~Gdi() {
    if (object) DeleteObject(object);
  }
  Gdi(const Gdi&) = delete;
  Gdi& operator=(const Gdi&) = delete;
};
struct MemoryDc {
  HDC dc;
  explicit MemoryDc(HDC compatible) : dc(CreateCompatibleDC(compatible)) {}
  ~MemoryDc() {
    if (dc) DeleteDC(dc);
  }
  MemoryDc(const MemoryDc&) = delete;
  MemoryDc& operator=(const MemoryDc&) = delete;
};

}  // namespace

Ambients ReadAmbients(IOleClientSite* site) {
  Ambients a;
  ComPtr<IDispatch> ambients;
  if (site == nullptr ||
      FAILED(site->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(ambients.Put())))) {
    return a;
  }
  VARIANT value;
  if (ReadAmbient(ambients.Get(), DISPID_AMBIENT_USERMODE, VT_BOOL, &value)) {
    a.userMode = V_BOOL(&value) != VARIANT_FALSE;
  }
  if (ReadAmbient(ambients.Get(), DISPID_AMBIENT_BACKCOLOR, VT_UI4, &value)) {
    a.backColor = V_UI4(&value);
  }
  return a;
}

bool DrawControl(HDC dc, const RECT& bounds, const Ambients& ambients) {
  if (ambients.userMode) {
    COLORREF colour = 0;
    if (FAILED(OleTranslateColor(ambients.backColor, nullptr, &colour))) {
      colour = GetSysColor(COLOR_WINDOW);
    }
    Gdi brush(CreateSolidBrush(colour));
    return brush.object && FillRect(dc, &bounds, static_cast<HBRUSH>(brush.object));
  }
  Gdi bitmap(LoadImageW(ThisModule(), MAKEINTRESOURCEW(kDesignBitmap), IMAGE_BITMAP, 0, 0,
                        LR_CREATEDIBSECTION));
  MemoryDc source(dc);
  if (!bitmap.object || !source.dc) return false;
  BITMAP info{};
  GetObjectW(bitmap.object, sizeof info, &info);
  const HGDIOBJ previous = SelectObject(source.dc, bitmap.object);
  // Whole pixels of the picture, no blending: it stays crisp at any size.
  const int mode = SetStretchBltMode(dc, COLORONCOLOR);
  const BOOL drawn = StretchBlt(dc, bounds.left, bounds.top, bounds.right - bounds.left,
                                bounds.bottom - bounds.top, source.dc, 0, 0, info.bmWidth,
                                info.bmHeight, SRCCOPY);
  SetStretchBltMode(dc, mode);
  SelectObject(source.dc, previous);
  return drawn != FALSE;
}

SIZE DesignPictureSize() {
  Gdi bitmap(LoadImageW(ThisModule(), MAKEINTRESOURCEW(kDesignBitmap), IMAGE_BITMAP, 0, 0,
                        LR_CREATEDIBSECTION));
  BITMAP info{};
  if (!bitmap.object || !GetObjectW(bitmap.object, sizeof info, &info)) return SIZE{64, 32};
  return SIZE{info.bmWidth, info.bmHeight};
}

}  // namespace linvo::module::com
