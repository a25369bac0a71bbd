#include "platform/Displays.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWindow>
#include <map>

namespace loopstage::platform {

namespace {

// Screen names are what X keeps stable while screens come and go; a QScreen pointer can be
// reused after a screen is removed, so identifiers follow names.
std::map<QString, DisplayId>& idsByName() {
    static std::map<QString, DisplayId> ids;
    return ids;
}

std::function<DisplayId(const QWindow*)>& windowLookupOverride() {
    static std::function<DisplayId(const QWindow*)> lookup;
    return lookup;
}

constexpr int64_t kDefaultRefreshPeriodNs = 1'000'000'000LL / 60;

}  // namespace

DisplayId displayIdOf(const QScreen* screen) {
    if (!screen) return 0;
    auto& ids = idsByName();
    const auto found = ids.find(screen->name());
    if (found != ids.end()) return found->second;
    const DisplayId id = static_cast<DisplayId>(ids.size() + 1);
    ids.emplace(screen->name(), id);
    return id;
}

DisplayId mainDisplayId() { return displayIdOf(QGuiApplication::primaryScreen()); }

QScreen* screenOfDisplay(DisplayId id) {
    if (id == 0) return nullptr;
    for (QScreen* screen : QGuiApplication::screens()) {
        if (displayIdOf(screen) == id) return screen;
    }
    return nullptr;
}

uint32_t displayMaskOf(DisplayId id) { return id == 0 || id > 32 ? 0u : 1u << (id - 1); }

DisplayId firstDisplayInMask(uint32_t mask) {
    for (DisplayId id = 1; id <= 32; ++id) {
        if (mask & displayMaskOf(id)) return id;
    }
    return 0;
}

int64_t refreshPeriodNsOf(DisplayId id) {
    const QScreen* screen = screenOfDisplay(id);
    const qreal hz = screen ? screen->refreshRate() : 0.0;
    // Some X servers report 0 or absurd rates when they do not know.
    if (!(hz >= 10.0 && hz <= 1000.0)) return kDefaultRefreshPeriodNs;
    return static_cast<int64_t>(1e9 / hz);
}

DisplayId displayIdOfWindow(const QWindow* window) {
    if (const auto& lookup = windowLookupOverride()) return lookup(window);
    return window ? displayIdOf(window->screen()) : 0;
}

void setWindowDisplayLookupForTesting(std::function<DisplayId(const QWindow*)> lookup) {
    windowLookupOverride() = std::move(lookup);
}

QSurfaceFormat defaultPixelFormat() {
    QSurfaceFormat format;
    format.setRenderableType(QSurfaceFormat::OpenGL);
    // Immediate-mode drawing needs the compatibility profile.
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    format.setVersion(2, 1);
    format.setRedBufferSize(8);
    format.setGreenBufferSize(8);
    format.setBlueBufferSize(8);
    // No alpha: a compositor would otherwise show the black clear colour (alpha 0) as a hole.
    format.setAlphaBufferSize(0);
    format.setDepthBufferSize(24);
    format.setSwapBehavior(QSurfaceFormat::DoubleBuffer);
    // Qt applies the interval when the context first becomes current on a window.
    format.setSwapInterval(1);
    return format;
}

int numberOfVirtualScreens(const QSurfaceFormat&) {
    return static_cast<int>(QGuiApplication::screens().size());
}

bool getPixelFormatValue(const QSurfaceFormat& format, int32_t* value, int attribute,
                         int virtualScreen) {
    const auto screens = QGuiApplication::screens();
    if (attribute != kScreenMaskAttribute || virtualScreen < 0 ||
        virtualScreen >= numberOfVirtualScreens(format) || virtualScreen >= screens.size()) {
        return false;
    }
    *value = static_cast<int32_t>(displayMaskOf(displayIdOf(screens[virtualScreen])));
    return true;
}

}  // namespace loopstage::platform
