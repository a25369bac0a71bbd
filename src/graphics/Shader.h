#pragma once

#include <QString>
#include <memory>

namespace loopstage::graphics {

// One program of a vertex and a fragment shader through the ARB shader-object interface, whose
// entry points are resolved from the context current at creation. Compile and link results are
// not checked here: dumpInfoLog() tells what went wrong.
//
// Threads: every operation issues GL calls and runs with the stage's drawing context current
// (inside the view's lock), on whichever thread holds it. The GL objects are not deleted by this
// class; they live as long as the context's share group.
class Shader {
public:
    using Handle = unsigned int;

    // Null when no context is current or it lacks the shader-object entry points.
    static std::unique_ptr<Shader> initWithVertexShader(const QString& vertexSource,
                                                        const QString& fragmentSource);

    void bind() const;
    void useFixedPipeline() const;
    // Logs "Info Log: <text>" when the object has a non-empty info log; nothing otherwise.
    void dumpInfoLog(Handle object) const;

    Handle vertexShaderObject() const { return vertexShaderObject_; }
    Handle fragmentShaderObject() const { return fragmentShaderObject_; }
    Handle shaderProgram() const { return shaderProgram_; }

    struct Functions;
    ~Shader();

private:
    Shader() = default;
    std::unique_ptr<Functions> gl_;
    Handle vertexShaderObject_ = 0;
    Handle fragmentShaderObject_ = 0;
    Handle shaderProgram_ = 0;
};

}  // namespace loopstage::graphics
