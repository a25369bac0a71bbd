#include "stage/OpenGLView.h"

#include <GL/gl.h>

#include <QPlatformSurfaceEvent>
#include <QResizeEvent>
#include <QThread>
#include <QVector4D>
#include <cmath>

#include "platform/Displays.h"
#include "stage/HeightSlider.h"
#include "stage/OrchestraDrawing.h"

namespace loopstage::stage {

namespace {

float loadRelaxed(const float& field) {
    return std::atomic_ref<const float>(field).load(std::memory_order_relaxed);
}
void storeRelaxed(float& field, float value) {
    std::atomic_ref<float>(field).store(value, std::memory_order_relaxed);
}

constexpr double kPi = 3.141592653589793;
constexpr double kStepLength = 0.1;
constexpr float kTurnDegrees = 2.0f;

QMatrix4x4 projectionFor(float width, float height) {
    QMatrix4x4 projection;
    projection.perspective(45.0f, aspectOf(width, height), 0.1f, 100.0f);
    return projection;
}

}  // namespace

// Shared with every frameRequest() handed out: a decode worker may call one after the view went.
struct OpenGLView::FrameRequests {
    std::mutex mutex;
    OpenGLView* view = nullptr;  // guarded by mutex
    bool pending = false;        // guarded by mutex

    void post() {
        std::lock_guard guard(mutex);
        if (!view || std::exchange(pending, true)) return;
        // Queued calls die with their receiver, so none runs on a view that is gone.
        QMetaObject::invokeMethod(
            view, [v = view] { v->outputRequestedFrame(); }, Qt::QueuedConnection);
    }
};

int viewportExtent(float bound, qreal devicePixelRatio) {
    return static_cast<int>(static_cast<double>(bound) * devicePixelRatio);
}

float aspectOf(float width, float height) { return width / height; }

OpenGLView::OpenGLView(QWindow* parent)
    : QWindow(parent), frameRequests_(std::make_shared<FrameRequests>()) {
    frameRequests_->view = this;
    setSurfaceType(QSurface::OpenGLSurface);
    setFormat(platform::defaultPixelFormat());
    // Keyboard focus stays with the widgets so the window's shortcuts keep working.
    setFlag(Qt::WindowDoesNotAcceptFocus);
}

OpenGLView::~OpenGLView() {
    {
        std::lock_guard guard(frameRequests_->mutex);
        frameRequests_->view = nullptr;
    }
    // QWindow's own destructor would destroy the surface too, but no longer as an OpenGLView:
    // the surface's end must still pass through event() below.
    destroy();
    // Release the drawing context from this thread before the contexts go.
    if (drawingContext_ && QOpenGLContext::currentContext() == drawingContext_.get()) {
        drawingContext_->doneCurrent();
    }
    drawingContext_.reset();
    sharedContext_.reset();
}

void OpenGLView::awakeFromNib() {
    storeRelaxed(cameraPos_[0], 0.0f);
    storeRelaxed(cameraPos_[1], 1.0f);
    storeRelaxed(cameraPos_[2], -5.0f);
    for (float& angle : cameraDir_) storeRelaxed(angle, 0.0f);
    std::lock_guard guard(viewLock_);
    contextIsInitialized_ = false;
}

void OpenGLView::setupSharedContext() {
    sharedContext_ = std::make_unique<QOpenGLContext>();
    sharedContext_->setFormat(platform::defaultPixelFormat());
    sharedContext_->create();

    drawingContext_ = std::make_unique<QOpenGLContext>();
    drawingContext_->setFormat(platform::defaultPixelFormat());
    drawingContext_->setShareContext(sharedContext_.get());
    drawingContext_->create();
}

bool OpenGLView::contextIsInitialized() const {
    std::lock_guard guard(viewLock_);
    return contextIsInitialized_;
}

void OpenGLView::lock() {
    viewLock_.lock();
    if (++lockDepth_ == 1 && contextIsInitialized_ && drawingContext_ && surfaceReady_) {
        contextCurrent_ = drawingContext_->makeCurrent(this);
    }
}

void OpenGLView::unlock() {
    if (lockDepth_ == 1 && contextCurrent_) {
        drawingContext_->doneCurrent();
        contextCurrent_ = false;
    }
    --lockDepth_;
    viewLock_.unlock();
}

void OpenGLView::update() {
    lock();
    // The window's geometry belongs to the main thread; GLX drawables follow the X window by
    // themselves, so on the display link's thread there is nothing to refresh.
    if (QThread::currentThread() == thread()) {
        bounds_ = QSizeF(size());
        devicePixelRatio_ = devicePixelRatio();
    }
    unlock();
}

void OpenGLView::reshape() {
    needsReshape_.store(true, std::memory_order_relaxed);
    flushOutput();
}

void OpenGLView::setDirty(bool dirty) { dirty_.store(dirty, std::memory_order_relaxed); }

void OpenGLView::flushOutput() {
    std::unique_lock guard(*this);
    update();
    if (!contextIsInitialized_ && surfaceReady_ && exposed_.load()) {
        if (!drawingContext_ && QThread::currentThread() == thread()) {
            // No shared context was set up; a plain context still lets resizes show frames.
            drawingContext_ = std::make_unique<QOpenGLContext>();
            drawingContext_->setFormat(platform::defaultPixelFormat());
            drawingContext_->create();
        }
        // The first frame output makes the context current itself: no earlier lock could.
        if (drawingContext_) contextCurrent_ = drawingContext_->makeCurrent(this);
        if (contextCurrent_) {
            qInfo("contextInitialisation");
            contextIsInitialized_ = true;
        }
    }
    // Without a surface to present into (window not yet shown, or gone) there is no frame.
    if (!contextCurrent_) return;

    const float w = static_cast<float>(bounds_.width());
    const float h = static_cast<float>(bounds_.height());
    if (needsReshape_.load(std::memory_order_relaxed)) {
        glViewport(0, 0, viewportExtent(w, devicePixelRatio_),
                   viewportExtent(h, devicePixelRatio_));
    }
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);

    glMatrixMode(GL_PROJECTION);
    glLoadMatrixf(projectionFor(w, h).constData());
    glMatrixMode(GL_MODELVIEW);
    glLoadMatrixf(cameraMatrix().constData());

    if (anOrchestra) anOrchestra->renderOrchestra();

    glFlush();
    if (exposed_.load()) QOpenGLContext::currentContext()->swapBuffers(this);
    framesOutput_.fetch_add(1, std::memory_order_relaxed);
}

bool OpenGLView::event(QEvent* event) {
    if (event->type() == QEvent::PlatformSurface) {
        // Main thread. Waits for a tick's frame in progress; later ticks see the surface gone.
        std::lock_guard guard(viewLock_);
        surfaceReady_ = static_cast<QPlatformSurfaceEvent*>(event)->surfaceEventType() ==
                        QPlatformSurfaceEvent::SurfaceCreated;
        if (!surfaceReady_ && contextCurrent_) {
            drawingContext_->doneCurrent();
            contextCurrent_ = false;
        }
    }
    return QWindow::event(event);
}

void OpenGLView::exposeEvent(QExposeEvent*) {
    exposed_.store(isExposed());
    if (isExposed()) {
        update();
        reshape();
    }
}

void OpenGLView::resizeEvent(QResizeEvent*) {
    update();
    if (isExposed()) reshape();
}

float OpenGLView::cameraPosAt(int i) const { return loadRelaxed(cameraPos_[i]); }
float OpenGLView::cameraDirAt(int i) const { return loadRelaxed(cameraDir_[i]); }
void OpenGLView::setCameraPosAt(int i, float value) { storeRelaxed(cameraPos_[i], value); }
void OpenGLView::setCameraDirAt(int i, float degrees) { storeRelaxed(cameraDir_[i], degrees); }

// Steps: the angle and the sums in double from the float fields, each result rounded to float
// as it is stored; X is stored before Z is computed.
void OpenGLView::step(double angleSign, bool sideways, double distance) {
    const double r = angleSign * static_cast<double>(loadRelaxed(cameraDir_[1])) * kPi / 180.0;
    const double x = static_cast<double>(loadRelaxed(cameraPos_[0]));
    storeRelaxed(cameraPos_[0],
                 static_cast<float>(x + (sideways ? std::cos(r) : std::sin(r)) * distance));
    const double z = static_cast<double>(loadRelaxed(cameraPos_[2]));
    storeRelaxed(cameraPos_[2],
                 static_cast<float>(z + (sideways ? std::sin(r) : std::cos(r)) * distance));
    redraw();
}

void OpenGLView::goForward() { step(-1.0, false, kStepLength); }
void OpenGLView::goBackward() { step(-1.0, false, -kStepLength); }
void OpenGLView::goRight() { step(1.0, true, -kStepLength); }
void OpenGLView::goLeft() { step(1.0, true, kStepLength); }

void OpenGLView::turnRight() {
    storeRelaxed(cameraDir_[1], loadRelaxed(cameraDir_[1]) + kTurnDegrees);
    redraw();
}
void OpenGLView::turnLeft() {
    storeRelaxed(cameraDir_[1], loadRelaxed(cameraDir_[1]) - kTurnDegrees);
    redraw();
}

// The slider itself holds the height and frame output reads it; nothing to store.
void OpenGLView::heightChanged() { redraw(); }

void OpenGLView::redraw() { frameRequests_->post(); }

std::function<void()> OpenGLView::frameRequest() const {
    return [requests = frameRequests_] { requests->post(); };
}

void OpenGLView::outputRequestedFrame() {
    {
        std::lock_guard guard(frameRequests_->mutex);
        frameRequests_->pending = false;
    }
    if (anOrchestra && !anOrchestra->prepareStillFrame()) return;
    if (isExposed()) flushOutput();
}

QMatrix4x4 OpenGLView::projectionMatrix() const {
    return projectionFor(static_cast<float>(width()), static_cast<float>(height()));
}

QMatrix4x4 OpenGLView::cameraMatrix() const {
    QMatrix4x4 camera;
    camera.rotate(loadRelaxed(cameraDir_[0]), 1, 0, 0);
    camera.rotate(loadRelaxed(cameraDir_[1]), 0, 1, 0);
    const float height = cameraHeightSlider ? cameraHeightSlider->floatValue() : 0.0f;
    camera.translate(loadRelaxed(cameraPos_[0]), -height, loadRelaxed(cameraPos_[2]));
    return camera;
}

bool OpenGLView::project(const QVector3D& scenePoint, QPointF* windowPos) const {
    const QVector4D clip = projectionMatrix() * cameraMatrix() * QVector4D(scenePoint, 1.0f);
    if (clip.w() <= 1e-6f) return false;
    *windowPos = QPointF((clip.x() / clip.w() * 0.5 + 0.5) * width(),
                         (0.5 - clip.y() / clip.w() * 0.5) * height());
    return true;
}

void OpenGLView::rayAt(const QPointF& windowPos, QVector3D* eye, QVector3D* direction) const {
    const QMatrix4x4 back = (projectionMatrix() * cameraMatrix()).inverted();
    const float x = static_cast<float>(windowPos.x() / width() * 2 - 1);
    const float y = static_cast<float>(1 - windowPos.y() / height() * 2);
    *eye = cameraMatrix().inverted().map(QVector3D());
    *direction = (back.map(QVector3D(x, y, 1)) - back.map(QVector3D(x, y, -1))).normalized();
}

bool OpenGLView::hitOnPlane(const QPointF& windowPos, const QVector3D& point,
                            const QVector3D& normal, QVector3D* hit) const {
    QVector3D eye, direction;
    rayAt(windowPos, &eye, &direction);
    const float across = QVector3D::dotProduct(direction, normal);
    if (std::abs(across) < 1e-6f) return false;
    const float distance = QVector3D::dotProduct(point - eye, normal) / across;
    // Nearer than the near plane or past the far one, it is not on screen there.
    if (!(distance >= 0.1f && distance <= 100.0f)) return false;  // NaN too: an empty window
    *hit = eye + direction * distance;
    return true;
}

}  // namespace loopstage::stage
