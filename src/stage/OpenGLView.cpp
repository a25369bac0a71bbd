#include "stage/OpenGLView.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include <QPlatformSurfaceEvent>
#include <QResizeEvent>
#include <QThread>
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

}  // namespace

int viewportExtent(float bound, qreal devicePixelRatio) {
    return static_cast<int>(static_cast<double>(bound) * devicePixelRatio);
}

float aspectOf(float width, float height) { return width / height; }

OpenGLView::OpenGLView(QWindow* parent) : QWindow(parent) {
    setSurfaceType(QSurface::OpenGLSurface);
    setFormat(platform::defaultPixelFormat());
    // Keyboard focus stays with the widgets so the window's shortcuts keep working.
    setFlag(Qt::WindowDoesNotAcceptFocus);
}

OpenGLView::~OpenGLView() {
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
    glLoadIdentity();
    gluPerspective(45.0, static_cast<double>(aspectOf(w, h)), 0.1, 100.0);

    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glRotatef(loadRelaxed(cameraDir_[0]), 1, 0, 0);
    glRotatef(loadRelaxed(cameraDir_[1]), 0, 1, 0);
    const float height = cameraHeightSlider ? cameraHeightSlider->floatValue() : 0.0f;
    glTranslatef(loadRelaxed(cameraPos_[0]), -height, loadRelaxed(cameraPos_[2]));

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
}

void OpenGLView::goForward() { step(-1.0, false, kStepLength); }
void OpenGLView::goBackward() { step(-1.0, false, -kStepLength); }
void OpenGLView::goRight() { step(1.0, true, -kStepLength); }
void OpenGLView::goLeft() { step(1.0, true, kStepLength); }

void OpenGLView::turnRight() {
    storeRelaxed(cameraDir_[1], loadRelaxed(cameraDir_[1]) + kTurnDegrees);
}
void OpenGLView::turnLeft() {
    storeRelaxed(cameraDir_[1], loadRelaxed(cameraDir_[1]) - kTurnDegrees);
}

// The slider itself holds the height and frame output reads it; nothing to store, and no frame
// is output here.
void OpenGLView::heightChanged() {}

}  // namespace loopstage::stage
