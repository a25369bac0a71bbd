#pragma once

#include <QOpenGLContext>
#include <QSizeF>
#include <QWindow>
#include <atomic>
#include <memory>
#include <mutex>

class QWidget;

namespace loopstage::stage {

class HeightSlider;
class OrchestraDrawing;

// The stage: one OpenGL window (embedded in the main window through a window container) in
// which every musician is drawn, with the camera that looks at them.
//
// Contexts: a shared context that is never made current here (musicians' texture contexts are
// built on it), and the drawing context, which shares objects with it. Both are created on the
// main thread with the one pixel format and are owned by the view.
//
// Threads: the main thread creates the view, handles resizes (reshape outputs a frame at once)
// and runs the camera actions; the display link's thread outputs a frame per refresh. All GL
// work on the drawing context happens between lock() and unlock(): the outermost lock makes the
// context current on the calling thread, the outermost unlock releases it so the other thread
// can take it. Camera fields, the reshape flag and the slider value are read by frame output
// without the lock and are atomic.
//
// The native surface comes and goes on the main thread (a closing window destroys it while
// ticks may still run): its creation and its end are taken under the lock, so a frame in
// progress finishes first and no later frame touches a surface that is gone.
//
// Without setupSharedContext (set-up ended early) the first frame output on the main thread
// makes a drawing context of its own, so resizes still show frames.
//
// Lifetime: the shared context lives as long as the view, so it outlives every musician (the
// controller destroys musicians before the view goes).
class OpenGLView final : public QWindow {
    Q_OBJECT

public:
    explicit OpenGLView(QWindow* parent = nullptr);
    ~OpenGLView() override;

    // Outlets, not owned.
    OrchestraDrawing* anOrchestra = nullptr;
    HeightSlider* cameraHeightSlider = nullptr;

    void awakeFromNib();
    void setupSharedContext();
    QOpenGLContext* sharedContext() const { return sharedContext_.get(); }
    QOpenGLContext* openGLContext() const { return drawingContext_.get(); }

    void lock();
    void unlock();

    void update();
    void reshape();
    void setDirty(bool dirty);
    void flushOutput();

    // Camera actions (main thread). None outputs a frame: the next frame output shows them.
    void goForward();
    void goBackward();
    void goLeft();
    void goRight();
    void turnLeft();
    void turnRight();
    void heightChanged();

    float cameraPosAt(int i) const;
    float cameraDirAt(int i) const;
    void setCameraPosAt(int i, float value);
    void setCameraDirAt(int i, float degrees);
    bool isDirty() const { return dirty_.load(std::memory_order_relaxed); }
    bool needsReshapeFlag() const { return needsReshape_.load(std::memory_order_relaxed); }
    bool contextIsInitialized() const;
    // Frames presented so far (on either thread).
    int64_t framesOutput() const { return framesOutput_.load(std::memory_order_relaxed); }

protected:
    bool event(QEvent* event) override;
    void exposeEvent(QExposeEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void step(double angleSign, bool sideways, double distance);

    alignas(std::atomic_ref<float>::required_alignment) float cameraPos_[3] = {0, 0, 0};
    alignas(std::atomic_ref<float>::required_alignment) float cameraDir_[3] = {0, 0, 0};
    std::atomic<bool> needsReshape_{false};
    std::atomic<bool> dirty_{false};
    std::atomic<bool> exposed_{false};
    std::atomic<int64_t> framesOutput_{0};

    mutable std::recursive_mutex viewLock_;
    // Guarded by viewLock_:
    int lockDepth_ = 0;
    bool contextIsInitialized_ = false;
    bool contextCurrent_ = false;
    bool surfaceReady_ = false;
    QSizeF bounds_;
    qreal devicePixelRatio_ = 1.0;

    std::unique_ptr<QOpenGLContext> sharedContext_;
    std::unique_ptr<QOpenGLContext> drawingContext_;
};

// Viewport extent in device pixels for a bound in logical units: truncated toward zero.
int viewportExtent(float bound, qreal devicePixelRatio);
// Aspect of the projection: divided in float, as the projection takes it.
float aspectOf(float width, float height);

}  // namespace loopstage::stage
