// The control on a form, as a container embeds it: sited with ambient properties served by the
// container, drawn into a memory bitmap (run mode: the ambient back colour; design mode: bitmap
// 201 scaled), activated in place as a child of the container's window, persisted in a storage,
// and its property page shown.
#include <gtest/gtest.h>
#include <olectl.h>

#include <string>
#include <vector>

#include "com/com_support.h"
#include "support/test_env.h"

namespace linvo::test::com {
namespace {

// A COM object owned by the test: references are counted but never free it.
#define LINVO_TEST_UNKNOWN(Interface)                                               \
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }                      \
  STDMETHODIMP_(ULONG) Release() override { return --m_refs; }                     \
  ULONG m_refs = 0;

// The container's frame: records the object made active.
class Frame final : public IOleInPlaceFrame {
 public:
  explicit Frame(HWND window) : m_window(window) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    *object = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOleWindow) ||
                      IsEqualIID(riid, IID_IOleInPlaceUIWindow) ||
                      IsEqualIID(riid, IID_IOleInPlaceFrame)
                  ? this
                  : nullptr;
    if (*object) AddRef();
    return *object ? S_OK : E_NOINTERFACE;
  }
  LINVO_TEST_UNKNOWN(IOleInPlaceFrame)
  STDMETHODIMP GetWindow(HWND* window) override {
    *window = m_window;
    return S_OK;
  }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP GetBorder(LPRECT) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
  STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject* object, LPCOLESTR) override {
    active = object;
    return S_OK;
  }
  STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return E_NOTIMPL; }
  STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
  STDMETHODIMP RemoveMenus(HMENU) override { return E_NOTIMPL; }
  STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
  STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
  STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

  IOleInPlaceActiveObject* active = nullptr;

 private:
  HWND m_window;
};

// The container's site: serves the ambient properties through its IDispatch, takes the control in
// place over its window at `rect`, and counts the view changes it is told of.
class Site final : public IOleClientSite,
                   public IOleInPlaceSite,
                   public IDispatch,
                   public IAdviseSink {
 public:
  explicit Site(HWND window) : m_window(window), frame(window) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOleClientSite)) {
      *object = static_cast<IOleClientSite*>(this);
    } else if (IsEqualIID(riid, IID_IOleWindow) || IsEqualIID(riid, IID_IOleInPlaceSite)) {
      *object = static_cast<IOleInPlaceSite*>(this);
    } else if (IsEqualIID(riid, IID_IDispatch)) {
      *object = static_cast<IDispatch*>(this);
    } else if (IsEqualIID(riid, IID_IAdviseSink)) {
      *object = static_cast<IAdviseSink*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  LINVO_TEST_UNKNOWN(Site)

  // IOleClientSite
  STDMETHODIMP SaveObject() override { return S_OK; }
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
  STDMETHODIMP GetContainer(IOleContainer** container) override {
    *container = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP ShowObject() override { return S_OK; }
  STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
  STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

  // IOleInPlaceSite
  STDMETHODIMP GetWindow(HWND* window) override {
    *window = m_window;
    return S_OK;
  }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnInPlaceActivate() override {
    ++inPlace;
    return S_OK;
  }
  STDMETHODIMP OnUIActivate() override {
    ++uiActive;
    return S_OK;
  }
  STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frameOut, IOleInPlaceUIWindow** document,
                                LPRECT position, LPRECT clip, LPOLEINPLACEFRAMEINFO) override {
    *frameOut = &frame;
    frame.AddRef();
    *document = nullptr;
    *position = *clip = rect;
    return S_OK;
  }
  STDMETHODIMP Scroll(SIZE) override { return S_OK; }
  STDMETHODIMP OnUIDeactivate(BOOL) override {
    --uiActive;
    return S_OK;
  }
  STDMETHODIMP OnInPlaceDeactivate() override {
    --inPlace;
    return S_OK;
  }
  STDMETHODIMP DiscardUndoState() override { return S_OK; }
  STDMETHODIMP DeactivateAndUndo() override { return S_OK; }
  STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }

  // IDispatch: the ambient properties.
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    if (id == DISPID_AMBIENT_USERMODE && serveUserMode) {
      V_VT(result) = VT_BOOL;
      V_BOOL(result) = userMode ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    }
    if (id == DISPID_AMBIENT_BACKCOLOR && serveBackColor) {
      V_VT(result) = VT_I4;
      V_I4(result) = static_cast<LONG>(backColor);
      return S_OK;
    }
    return DISP_E_MEMBERNOTFOUND;
  }

  // IAdviseSink
  STDMETHODIMP_(void) OnDataChange(FORMATETC*, STGMEDIUM*) override {}
  STDMETHODIMP_(void) OnViewChange(DWORD aspect, LONG) override {
    if (aspect == DVASPECT_CONTENT) ++viewChanges;
  }
  STDMETHODIMP_(void) OnRename(IMoniker*) override {}
  STDMETHODIMP_(void) OnSave() override {}
  STDMETHODIMP_(void) OnClose() override { ++closed; }

  bool serveUserMode = true;
  bool userMode = true;
  bool serveBackColor = true;
  OLE_COLOR backColor = RGB(10, 20, 30);
  RECT rect{10, 10, 74, 42};
  int inPlace = 0;
  int uiActive = 0;
  int viewChanges = 0;
  int closed = 0;

 private:
  HWND m_window;

 public:
  Frame frame;
};

// A memory bitmap of 32-bit pixels to draw into.
class Canvas {
 public:
  Canvas(int width, int height) : m_width(width), m_height(height) {
    m_dc = CreateCompatibleDC(nullptr);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    m_bitmap = CreateDIBSection(m_dc, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&m_bits),
                                nullptr, 0);
    m_previous = SelectObject(m_dc, m_bitmap);
    for (int i = 0; i < width * height; ++i) m_bits[i] = 0x00FF00FF;  // magenta: not drawn
  }
  ~Canvas() {
    SelectObject(m_dc, m_previous);
    DeleteObject(m_bitmap);
    DeleteDC(m_dc);
  }
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;

  HDC dc() const { return m_dc; }
  RECTL bounds() const { return RECTL{0, 0, m_width, m_height}; }
  COLORREF At(int x, int y) const {
    const uint32_t p = m_bits[y * m_width + x];
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
  }
  // Every pixel, as one colour when they all have it, else CLR_INVALID.
  COLORREF Uniform() const {
    const COLORREF first = At(0, 0);
    for (int y = 0; y < m_height; ++y) {
      for (int x = 0; x < m_width; ++x) {
        if (At(x, y) != first) return CLR_INVALID;
      }
    }
    return first;
  }

 private:
  int m_width, m_height;
  HDC m_dc;
  HBITMAP m_bitmap;
  HGDIOBJ m_previous;
  uint32_t* m_bits = nullptr;
};

HRESULT DrawInto(IViewObject2* view, const Canvas& canvas) {
  const RECTL bounds = canvas.bounds();
  return view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, canvas.dc(), &bounds, nullptr,
                    nullptr, 0);
}

// The pixels of bitmap 201 as linvo.dll carries it.
struct Picture {
  int width = 0, height = 0;
  std::vector<COLORREF> pixels;
};
Picture DesignPicture() {
  Picture picture;
  HBITMAP bitmap = static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(L"linvo.dll"),
                                                   MAKEINTRESOURCEW(201), IMAGE_BITMAP, 0, 0,
                                                   LR_CREATEDIBSECTION));
  if (bitmap == nullptr) return picture;
  BITMAP info{};
  GetObjectW(bitmap, sizeof info, &info);
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ previous = SelectObject(dc, bitmap);
  picture.width = info.bmWidth;
  picture.height = info.bmHeight;
  for (int y = 0; y < picture.height; ++y) {
    for (int x = 0; x < picture.width; ++x) picture.pixels.push_back(GetPixel(dc, x, y));
  }
  SelectObject(dc, previous);
  DeleteDC(dc);
  DeleteObject(bitmap);
  return picture;
}

template <class Interface>
ComPtr<Interface> As(IUnknown* object, REFIID iid) {
  ComPtr<Interface> result;
  EXPECT_EQ(object->QueryInterface(iid, reinterpret_cast<void**>(result.Put())), S_OK);
  return result;
}

// The container: a hidden top-level window.
class Embedding : public ::testing::Test {
 protected:
  void SetUp() override {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"LinvoTestContainer";
    RegisterClassW(&wc);
    m_container = CreateWindowW(L"LinvoTestContainer", L"container", WS_OVERLAPPEDWINDOW, 0, 0,
                                400, 300, nullptr, nullptr, wc.hInstance, nullptr);
    if (m_container == nullptr) {
      GTEST_SKIP() << "no window can be created (error " << GetLastError()
                   << "): the prefix needs Wine's null graphics driver";
    }
    m_site = std::make_unique<Site>(m_container);
    m_ole = As<IOleObject>(m_ctl.Get(), IID_IOleObject);
    m_view = As<IViewObject2>(m_ctl.Get(), IID_IViewObject2);
  }
  void TearDown() override {
    if (m_ole) {
      m_ole->Close(OLECLOSE_NOSAVE);
      m_ole->SetClientSite(nullptr);
    }
    m_view.Reset();
    m_ole.Reset();
    m_ctl.Reset();
    if (m_container) DestroyWindow(m_container);
  }

  // The container's child windows.
  std::vector<HWND> Children() const {
    std::vector<HWND> children;
    EnumChildWindows(
        m_container,
        [](HWND child, LPARAM list) {
          reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&children));
    return children;
  }

  Apartment m_apartment;
  ScopedWorkDir m_dir;
  ComPtr<IDispatch> m_ctl = CreateControl();
  HWND m_container = nullptr;
  std::unique_ptr<Site> m_site;
  ComPtr<IOleObject> m_ole;
  ComPtr<IViewObject2> m_view;
};

TEST_F(Embedding, RunModeFillsWithTheAmbientBackColour) {
  Canvas canvas(32, 16);
  // No site: the platform's window colour.
  ASSERT_EQ(DrawInto(m_view.Get(), canvas), S_OK);
  EXPECT_EQ(canvas.Uniform(), GetSysColor(COLOR_WINDOW));

  ASSERT_EQ(m_view->SetAdvise(DVASPECT_CONTENT, 0, m_site.get()), S_OK);
  ASSERT_EQ(m_ole->SetClientSite(m_site.get()), S_OK);
  ASSERT_EQ(DrawInto(m_view.Get(), canvas), S_OK);
  EXPECT_EQ(canvas.Uniform(), RGB(10, 20, 30));

  // A system colour, told of by an ambient change: the next drawing has it, the view's sink hears.
  m_site->backColor = 0x80000000 | COLOR_HIGHLIGHT;
  const auto control = As<IOleControl>(m_ctl.Get(), IID_IOleControl);
  ASSERT_EQ(control->OnAmbientPropertyChange(DISPID_AMBIENT_BACKCOLOR), S_OK);
  EXPECT_EQ(m_site->viewChanges, 1);
  ASSERT_EQ(DrawInto(m_view.Get(), canvas), S_OK);
  EXPECT_EQ(canvas.Uniform(), GetSysColor(COLOR_HIGHLIGHT));
  // A change of another ambient property changes nothing.
  ASSERT_EQ(control->OnAmbientPropertyChange(DISPID_AMBIENT_FONT), S_OK);
  EXPECT_EQ(m_site->viewChanges, 1);
  // A site without the ambient properties: the defaults.
  m_site->serveBackColor = m_site->serveUserMode = false;
  ASSERT_EQ(control->OnAmbientPropertyChange(DISPID_UNKNOWN), S_OK);
  ASSERT_EQ(DrawInto(m_view.Get(), canvas), S_OK);
  EXPECT_EQ(canvas.Uniform(), GetSysColor(COLOR_WINDOW));
  EXPECT_EQ(m_view->Draw(DVASPECT_ICON, -1, nullptr, nullptr, nullptr, canvas.dc(), nullptr,
                         nullptr, nullptr, 0),
            DV_E_DVASPECT);
}

TEST_F(Embedding, DesignModeDrawsBitmap201Scaled) {
  const Picture picture = DesignPicture();
  ASSERT_GT(picture.width, 0) << "linvo.dll has no bitmap 201";
  m_site->userMode = false;
  ASSERT_EQ(m_ole->SetClientSite(m_site.get()), S_OK);
  // Twice the picture's size: each of its pixels becomes a 2 x 2 block.
  Canvas canvas(picture.width * 2, picture.height * 2);
  ASSERT_EQ(DrawInto(m_view.Get(), canvas), S_OK);
  int differing = 0;
  for (int y = 0; y < picture.height; y += 3) {
    for (int x = 0; x < picture.width; x += 3) {
      const COLORREF expected = picture.pixels[static_cast<std::size_t>(y * picture.width + x)];
      differing += canvas.At(2 * x, 2 * y) != expected || canvas.At(2 * x + 1, 2 * y + 1) != expected;
    }
  }
  EXPECT_EQ(differing, 0);
  // Back to run mode by an ambient change.
  m_site->userMode = true;
  ASSERT_EQ(As<IOleControl>(m_ctl.Get(), IID_IOleControl)
                ->OnAmbientPropertyChange(DISPID_AMBIENT_USERMODE),
            S_OK);
  ASSERT_EQ(DrawInto(m_view.Get(), canvas), S_OK);
  EXPECT_EQ(canvas.Uniform(), RGB(10, 20, 30));
}

// Drawing creates GDI objects and frees them. The system's count of them is compared where it
// keeps one (Wine reports 0); and in each mode more drawings are made than a process may hold GDI
// objects (Wine: about 65,000), so one leaked object a drawing makes the later drawings fail.
TEST_F(Embedding, DrawingLeavesNoGdiObjectBehind) {
  constexpr int kDrawings = 70000;
  ASSERT_EQ(m_ole->SetClientSite(m_site.get()), S_OK);
  const auto control = As<IOleControl>(m_ctl.Get(), IID_IOleControl);
  Canvas canvas(8, 8);
  const DWORD before = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
  for (const bool userMode : {true, false}) {
    m_site->userMode = userMode;
    ASSERT_EQ(control->OnAmbientPropertyChange(DISPID_AMBIENT_USERMODE), S_OK);
    int failed = 0;
    for (int i = 0; i < kDrawings; ++i) failed += DrawInto(m_view.Get(), canvas) != S_OK;
    EXPECT_EQ(failed, 0) << (userMode ? "run mode" : "design mode");
  }
  EXPECT_EQ(GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS), before);
}

TEST_F(Embedding, InPlaceActivationMakesAChildOfTheContainersWindow) {
  ASSERT_EQ(m_ole->SetClientSite(m_site.get()), S_OK);
  ASSERT_EQ(m_ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, m_site.get(), 0, m_container,
                          &m_site->rect),
            S_OK);
  EXPECT_EQ(m_site->inPlace, 1);
  const auto inPlace = As<IOleInPlaceObject>(m_ctl.Get(), IID_IOleInPlaceObject);
  HWND window = nullptr;
  ASSERT_EQ(inPlace->GetWindow(&window), S_OK);
  EXPECT_EQ(GetParent(window), m_container);
  EXPECT_EQ(Children(), std::vector<HWND>{window});
  const auto placed = [&] {
    RECT r{};
    GetWindowRect(window, &r);
    MapWindowPoints(nullptr, m_container, reinterpret_cast<POINT*>(&r), 2);
    return r;
  };
  RECT r = placed();
  EXPECT_TRUE(EqualRect(&r, &m_site->rect));
  const RECT moved{20, 30, 120, 80};
  ASSERT_EQ(inPlace->SetObjectRects(&moved, &moved), S_OK);
  r = placed();
  EXPECT_TRUE(EqualRect(&r, &moved));

  // UI activation makes it the frame's active object; deactivation undoes both.
  ASSERT_EQ(m_ole->DoVerb(OLEIVERB_UIACTIVATE, nullptr, m_site.get(), 0, m_container, &moved),
            S_OK);
  EXPECT_EQ(m_site->uiActive, 1);
  EXPECT_NE(m_site->frame.active, nullptr);
  ASSERT_EQ(inPlace->UIDeactivate(), S_OK);
  EXPECT_EQ(m_site->uiActive, 0);
  EXPECT_EQ(m_site->frame.active, nullptr);
  ASSERT_EQ(inPlace->InPlaceDeactivate(), S_OK);
  EXPECT_EQ(m_site->inPlace, 0);
  EXPECT_FALSE(IsWindow(window));
  EXPECT_TRUE(Children().empty());
  EXPECT_EQ(inPlace->GetWindow(&window), E_FAIL);

  // Close ends an activation too and tells the OLE advise sinks.
  DWORD connection = 0;
  ASSERT_EQ(m_ole->Advise(m_site.get(), &connection), S_OK);
  ASSERT_EQ(m_ole->DoVerb(OLEIVERB_SHOW, nullptr, m_site.get(), 0, m_container, &moved), S_OK);
  EXPECT_EQ(Children().size(), 1u);
  ASSERT_EQ(m_ole->Close(OLECLOSE_NOSAVE), S_OK);
  EXPECT_TRUE(Children().empty());
  EXPECT_EQ(m_site->closed, 1);
  EXPECT_EQ(m_ole->Unadvise(connection), S_OK);
}

TEST_F(Embedding, StatusExtentAndPropertyPages) {
  DWORD status = 0;
  ASSERT_EQ(m_ole->GetMiscStatus(DVASPECT_CONTENT, &status), S_OK);
  EXPECT_EQ(status, 0x20191u);
  // The natural size is the design picture's, 64 x 32 pixels at 96 an inch, in HIMETRIC.
  SIZEL extent{};
  ASSERT_EQ(m_ole->GetExtent(DVASPECT_CONTENT, &extent), S_OK);
  EXPECT_EQ(extent.cx, MulDiv(64, 2540, 96));
  EXPECT_EQ(extent.cy, MulDiv(32, 2540, 96));
  SIZEL wanted{5000, 1200};
  ASSERT_EQ(m_ole->SetExtent(DVASPECT_CONTENT, &wanted), S_OK);
  ASSERT_EQ(m_view->GetExtent(DVASPECT_CONTENT, -1, nullptr, &extent), S_OK);
  EXPECT_EQ(extent.cx, 5000);
  EXPECT_EQ(extent.cy, 1200);
  EXPECT_EQ(m_ole->SetExtent(DVASPECT_ICON, &wanted), DV_E_DVASPECT);

  CAUUID pages{};
  ASSERT_EQ(As<ISpecifyPropertyPages>(m_ctl.Get(), IID_ISpecifyPropertyPages)->GetPages(&pages),
            S_OK);
  ASSERT_EQ(pages.cElems, 1u);
  EXPECT_TRUE(IsEqualCLSID(pages.pElems[0], Guid(kPageClsid)));
  CoTaskMemFree(pages.pElems);
}

// The resources forms designers read: the type names, the page's title and the toolbox picture.
TEST_F(Embedding, Resources) {
  HMODULE dll = GetModuleHandleW(L"linvo.dll");
  ASSERT_NE(dll, nullptr);
  const auto text = [dll](UINT id) {
    const wchar_t* chars = nullptr;
    const int n = LoadStringW(dll, id, reinterpret_cast<LPWSTR>(&chars), 0);
    return n > 0 ? std::wstring(chars, static_cast<std::size_t>(n)) : std::wstring();
  };
  EXPECT_EQ(text(1), L"Linvo Control");
  EXPECT_EQ(text(2), L"Linvo Property Page");
  EXPECT_EQ(text(200), L"General");
  HBITMAP toolbox = static_cast<HBITMAP>(
      LoadImageW(dll, MAKEINTRESOURCEW(1), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  ASSERT_NE(toolbox, nullptr);
  BITMAP info{};
  GetObjectW(toolbox, sizeof info, &info);
  EXPECT_EQ(info.bmWidth, 16);
  EXPECT_EQ(info.bmHeight, 15);
  DeleteObject(toolbox);
}

TEST_F(Embedding, PropertyPageShowsItsNote) {
  ComPtr<IPropertyPage> page;
  ASSERT_EQ(CoCreateInstance(Guid(kPageClsid), nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                             reinterpret_cast<void**>(page.Put())),
            S_OK);
  PROPPAGEINFO info{};
  ASSERT_EQ(page->GetPageInfo(&info), S_OK);
  EXPECT_STREQ(info.pszTitle, L"General");
  EXPECT_GT(info.size.cx, 250);  // 250 x 62 dialog units are larger in pixels
  EXPECT_GT(info.size.cy, 62);
  CoTaskMemFree(info.pszTitle);

  IUnknown* objects[] = {m_ctl.Get()};
  ASSERT_EQ(page->SetObjects(1, objects), S_OK);
  const RECT area{0, 0, info.size.cx, info.size.cy};
  ASSERT_EQ(page->Activate(m_container, &area, FALSE), S_OK);
  ASSERT_EQ(page->Show(SW_SHOW), S_OK);
  const std::vector<HWND> children = Children();  // the dialog and its static text
  bool note = false;
  for (HWND child : children) {
    wchar_t text[200] = {};
    GetWindowTextW(child, text, 200);
    note = note || std::wstring(text).rfind(L"The control has no properties", 0) == 0;
  }
  EXPECT_TRUE(note);
  EXPECT_EQ(page->IsPageDirty(), S_FALSE);
  EXPECT_EQ(page->Apply(), S_OK);
  ASSERT_EQ(page->Deactivate(), S_OK);
  EXPECT_TRUE(Children().empty());
  ASSERT_EQ(page->SetObjects(0, nullptr), S_OK);
}

// The properties verb shows the system's property frame with the page in it. A timer of this
// thread looks for the page's note inside the frame while it runs modally, then cancels it.
TEST_F(Embedding, PropertiesVerbShowsThePageInAFrame) {
  static bool s_seen;
  static int s_ticks;
  s_seen = false;
  s_ticks = 0;
  const UINT_PTR timer = SetTimer(nullptr, 0, 100, [](HWND, UINT, UINT_PTR, DWORD) {
    ++s_ticks;
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND top, LPARAM) {
          EnumChildWindows(
              top,
              [](HWND child, LPARAM) {
                wchar_t text[200] = {};
                GetWindowTextW(child, text, 200);
                if (std::wstring(text).rfind(L"The control has no properties", 0) == 0) {
                  s_seen = true;
                }
                return TRUE;
              },
              0);
          if (s_seen || s_ticks > 50) PostMessageW(top, WM_COMMAND, IDCANCEL, 0);
          return TRUE;
        },
        0);
  });
  ASSERT_NE(timer, 0u);
  const HRESULT hr = m_ole->DoVerb(OLEIVERB_PROPERTIES, nullptr, m_site.get(), 0, m_container,
                                   nullptr);
  KillTimer(nullptr, timer);
  EXPECT_EQ(hr, S_OK);
  EXPECT_TRUE(s_seen) << "the page's note was not found in the frame";
}

TEST_F(Embedding, StorageRoundTrip) {
  ASSERT_EQ(Put(m_ctl.Get(), L"PortNo", Var(7)).hr, S_OK);
  ComPtr<ILockBytes> bytes;
  ComPtr<IStorage> storage;
  ASSERT_EQ(CreateILockBytesOnHGlobal(nullptr, TRUE, bytes.Put()), S_OK);
  ASSERT_EQ(StgCreateDocfileOnILockBytes(
                bytes.Get(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, storage.Put()),
            S_OK);
  ASSERT_EQ(As<IPersistStorage>(m_ctl.Get(), IID_IPersistStorage)->Save(storage.Get(), FALSE),
            S_OK);
  CLSID stored{};
  ASSERT_EQ(ReadClassStg(storage.Get(), &stored), S_OK);
  EXPECT_TRUE(IsEqualCLSID(stored, Guid(kClsid)));

  ComPtr<IDispatch> loaded = CreateControl();
  const auto persist = As<IPersistStorage>(loaded.Get(), IID_IPersistStorage);
  ASSERT_EQ(persist->Load(storage.Get()), S_OK);
  EXPECT_EQ(LongOf(Get(loaded.Get(), L"PortNo")), 7);

  // A storage without the control's stream is refused and changes nothing.
  ComPtr<IStorage> empty;
  ASSERT_EQ(StgCreateDocfileOnILockBytes(
                bytes.Get(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, empty.Put()),
            S_OK);
  storage.Reset();
  EXPECT_TRUE(FAILED(persist->Load(empty.Get())));
  EXPECT_EQ(LongOf(Get(loaded.Get(), L"PortNo")), 7);
}

}  // namespace
}  // namespace linvo::test::com
