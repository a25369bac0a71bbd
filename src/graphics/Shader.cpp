#include "graphics/Shader.h"

#include <GL/gl.h>
#include <GL/glext.h>

#include <QOpenGLContext>
#include <vector>

namespace loopstage::graphics {

struct Shader::Functions {
    PFNGLCREATESHADEROBJECTARBPROC createShaderObject = nullptr;
    PFNGLSHADERSOURCEARBPROC shaderSource = nullptr;
    PFNGLCOMPILESHADERARBPROC compileShader = nullptr;
    PFNGLCREATEPROGRAMOBJECTARBPROC createProgramObject = nullptr;
    PFNGLATTACHOBJECTARBPROC attachObject = nullptr;
    PFNGLLINKPROGRAMARBPROC linkProgram = nullptr;
    PFNGLUSEPROGRAMOBJECTARBPROC useProgramObject = nullptr;
    PFNGLGETOBJECTPARAMETERIVARBPROC getObjectParameteriv = nullptr;
    PFNGLGETINFOLOGARBPROC getInfoLog = nullptr;

    bool resolve(QOpenGLContext* context) {
        auto get = [context](auto& function, const char* name) {
            function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(
                context->getProcAddress(name));
            return function != nullptr;
        };
        return get(createShaderObject, "glCreateShaderObjectARB") &&
               get(shaderSource, "glShaderSourceARB") && get(compileShader, "glCompileShaderARB") &&
               get(createProgramObject, "glCreateProgramObjectARB") &&
               get(attachObject, "glAttachObjectARB") && get(linkProgram, "glLinkProgramARB") &&
               get(useProgramObject, "glUseProgramObjectARB") &&
               get(getObjectParameteriv, "glGetObjectParameterivARB") &&
               get(getInfoLog, "glGetInfoLogARB");
    }
};

Shader::~Shader() = default;

std::unique_ptr<Shader> Shader::initWithVertexShader(const QString& vertexSource,
                                                     const QString& fragmentSource) {
    QOpenGLContext* context = QOpenGLContext::currentContext();
    if (!context) return nullptr;
    auto gl = std::make_unique<Functions>();
    if (!gl->resolve(context)) return nullptr;

    std::unique_ptr<Shader> shader(new Shader);
    shader->vertexShaderObject_ = gl->createShaderObject(GL_VERTEX_SHADER_ARB);
    shader->fragmentShaderObject_ = gl->createShaderObject(GL_FRAGMENT_SHADER_ARB);

    const QByteArray vertexText = vertexSource.toUtf8();
    const QByteArray fragmentText = fragmentSource.toUtf8();
    const GLcharARB* vertexLines[] = {vertexText.constData()};
    const GLcharARB* fragmentLines[] = {fragmentText.constData()};
    gl->shaderSource(shader->vertexShaderObject_, 1, vertexLines, nullptr);
    gl->shaderSource(shader->fragmentShaderObject_, 1, fragmentLines, nullptr);

    gl->compileShader(shader->vertexShaderObject_);
    gl->compileShader(shader->fragmentShaderObject_);

    shader->shaderProgram_ = gl->createProgramObject();
    gl->attachObject(shader->shaderProgram_, shader->vertexShaderObject_);
    gl->attachObject(shader->shaderProgram_, shader->fragmentShaderObject_);
    gl->linkProgram(shader->shaderProgram_);

    shader->gl_ = std::move(gl);
    return shader;
}

void Shader::bind() const { gl_->useProgramObject(shaderProgram_); }

void Shader::useFixedPipeline() const { gl_->useProgramObject(0); }

void Shader::dumpInfoLog(Handle object) const {
    GLint length = 0;
    gl_->getObjectParameteriv(object, GL_OBJECT_INFO_LOG_LENGTH_ARB, &length);
    if (length <= 0) return;
    std::vector<GLcharARB> log(static_cast<std::size_t>(length));
    gl_->getInfoLog(object, length, nullptr, log.data());
    // Drivers count the terminator; a log that is only that is empty.
    if (log.front() == '\0') return;
    qInfo("Info Log: %s", log.data());
}

}  // namespace loopstage::graphics
