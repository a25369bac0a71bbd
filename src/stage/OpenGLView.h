#pragma once

#include <QMatrix4x4>
#include <QOpenGLContext>
#include <QSizeF>
#include <QVector3D>
#include <QWindow>
#include <atomic>
#include <functional>
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
// Frames outside the ticks: redraw() (or a call of frameRequest() from any thread) asks for
// one frame, output later on the main thread; requests made before it runs are one. Nothing
// ticks while nothing asks.
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

    // Main thread: one frame, output soon on this thread unless the ticks will show it.
    void redraw();
    // The same for any thread, callable after the view is gone (it then does nothing).
    std::function<void()> frameRequest() const;

    // Camera actions (main thread). Each asks for a frame (redraw()).
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

    // The matrices frame output draws with, from the camera, the slider and the window's size.
    QMatrix4x4 projectionMatrix() const;
    QMatrix4x4 cameraMatrix() const;
    // Main thread. Where a scene point shows, in the window's logical pixels (top left 0, 0);
    // false when it lies behind the camera.
    bool project(const QVector3D& scenePoint, QPointF* windowPos) const;
    // The scene ray under a window position: from the camera's eye, one unit long.
    void rayAt(const QPointF& windowPos, QVector3D* eye, QVector3D* direction) const;
    // Where the ray under a window position meets a plane (through `point`, with `normal`) in
    // front of the camera; false when it does not.
    bool hitOnPlane(const QPointF& windowPos, const QVector3D& point, const QVector3D& normal,
                    QVector3D* hit) const;

protected:
    bool event(QEvent* event) override;
    void exposeEvent(QExposeEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void step(double angleSign, bool sideways, double distance);
    void outputRequestedFrame();

    struct FrameRequests;
    std::shared_ptr<FrameRequests> frameRequests_;

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
