#pragma once

#include <QSurfaceFormat>
#include <cstdint>
#include <functional>

class QScreen;
class QWindow;

namespace loopstage::platform {

// A display's identifier: non-zero, stable for the run, 0 meaning none. All functions here use
// QScreen and must be called on the main thread.
using DisplayId = uint32_t;

DisplayId displayIdOf(const QScreen* screen);
DisplayId mainDisplayId();
QScreen* screenOfDisplay(DisplayId id);

// The display mask bit of a display; 0 for none or an identifier beyond the mask's 32 bits.
uint32_t displayMaskOf(DisplayId id);
// Lowest display named in a mask, 0 when the mask is empty.
DisplayId firstDisplayInMask(uint32_t mask);

// Refresh period of a display in nanoseconds; 60 Hz when the display does not say.
int64_t refreshPeriodNsOf(DisplayId id);

// The display showing a window: that of its screen, 0 when it has none.
DisplayId displayIdOfWindow(const QWindow* window);
// Tests stand in for a second display through this; an empty function restores the real lookup.
void setWindowDisplayLookupForTesting(std::function<DisplayId(const QWindow*)> lookup);

// The one pixel format of every OpenGL context in the program: the drawing context, the shared
// context and the contexts musicians upload with.
QSurfaceFormat defaultPixelFormat();

// Every screen of the X display can show that format, so each screen is one virtual screen
// whose screen mask is its display's bit.
int numberOfVirtualScreens(const QSurfaceFormat& format);
constexpr int kScreenMaskAttribute = 84;
// Writes the attribute's value for one virtual screen; false for an unknown attribute or screen.
bool getPixelFormatValue(const QSurfaceFormat& format, int32_t* value, int attribute,
                         int virtualScreen);

}  // namespace loopstage::platform
