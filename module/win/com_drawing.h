// The control's look: what the container's ambient properties say (back colour, run or design
// mode) and the drawing they give: run mode fills the bounds with the back colour, design mode
// stretches bitmap 201 over them.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

namespace linvo::module::com {

struct Ambients {
  bool userMode = true;                              // run mode
  OLE_COLOR backColor = 0x80000000 | COLOR_WINDOW;   // the window colour

  friend bool operator==(const Ambients&, const Ambients&) = default;
};

// The ambient properties the site serves through its IDispatch; each one it does not serve (or no
// site) keeps the default above.
Ambients ReadAmbients(IOleClientSite* site);

// Draws the control into bounds on the device context. False when the bitmap or a GDI object
// could not be had.
bool DrawControl(HDC dc, const RECT& bounds, const Ambients& ambients);

// The design-mode picture's size in pixels.
SIZE DesignPictureSize();

}  // namespace linvo::module::com
