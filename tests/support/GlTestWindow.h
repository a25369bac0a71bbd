#pragma once

#include <QGuiApplication>
#include <QScreen>
#include <QTest>
#include <functional>
#include <memory>

#include "stage/HeightSlider.h"
#include "stage/OpenGLView.h"
#include "stage/OrchestraDrawing.h"

namespace loopstage::test {

// Stands where the controller would: runs whatever the test wants inside the frame output.
struct ProbeDrawing final : stage::OrchestraDrawing {
    std::function<void()> onDraw;
    void renderOrchestra() override {
        if (onDraw) onDraw();
    }
};

// A real stage view in a real window of its own, set up as the main window sets it up.
struct GlTestWindow {
    stage::HeightSlider slider;
    ProbeDrawing probe;
    std::unique_ptr<stage::OpenGLView> view = std::make_unique<stage::OpenGLView>();

    // False when no GL context can be made here: the caller skips.
    bool open(int width = 320, int height = 240) {
        view->anOrchestra = &probe;
        view->cameraHeightSlider = &slider;
        view->awakeFromNib();
        view->setupSharedContext();
        if (!view->openGLContext() || !view->openGLContext()->isValid()) return false;
        view->resize(width, height);
        view->show();
        return QTest::qWaitForWindowExposed(view.get());
    }
};

}  // namespace loopstage::test
