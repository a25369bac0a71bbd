#pragma once

namespace loopstage::stage {

// What the stage asks of whoever owns the scene while it outputs a frame. Kept as an interface
// so the stage does not depend on the controller that depends on it.
class OrchestraDrawing {
public:
    // Called under the view's lock with the drawing context current, the projection and the
    // camera's model-view matrix set; must return with the model-view matrix as it found it.
    virtual void renderOrchestra() = 0;
    // Main thread, outside the view's lock: a frame was asked for outside the render ticks (a
    // picture arrived, the camera or a musician moved). Takes what pictures are to be shown and
    // answers whether the view should output the frame now: not while ticks run, whose next
    // frame shows the change anyway.
    virtual bool prepareStillFrame() { return true; }

protected:
    ~OrchestraDrawing() = default;
};

}  // namespace loopstage::stage
