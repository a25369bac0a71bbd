#pragma once

namespace loopstage::stage {

// What the stage asks of whoever owns the scene while it outputs a frame. Kept as an interface
// so the stage does not depend on the controller that depends on it.
class OrchestraDrawing {
public:
    // Called under the view's lock with the drawing context current, the projection and the
    // camera's model-view matrix set; must return with the model-view matrix as it found it.
    virtual void renderOrchestra() = 0;

protected:
    ~OrchestraDrawing() = default;
};

}  // namespace loopstage::stage
