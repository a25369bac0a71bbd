#include "graphics/Shader.h"

#include <GL/gl.h>
#include <GL/glext.h>
#include <gtest/gtest.h>

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <memory>

#include "support/LogCapture.h"

namespace loopstage::graphics {
namespace {

// A real compatibility context drawing into a 64 x 64 framebuffer object.
class ShaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        QSurfaceFormat format;
        format.setProfile(QSurfaceFormat::CompatibilityProfile);
        format.setVersion(2, 1);
        context.setFormat(format);
        surface.setFormat(format);
        surface.create();
        if (!context.create() || !context.makeCurrent(&surface)) GTEST_SKIP() << "no OpenGL context";
        fbo = std::make_unique<QOpenGLFramebufferObject>(64, 64);
        fbo->bind();
        glViewport(0, 0, 64, 64);
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
    }
    void TearDown() override {
        fbo.reset();
        context.doneCurrent();
    }
    void drawFullQuad() {
        glClearColor(0, 0, 0, 1);
        glClear(GL_COLOR_BUFFER_BIT);
        glColor3f(0, 1, 0);
        glBegin(GL_QUADS);
        glVertex2f(-1, -1);
        glVertex2f(1, -1);
        glVertex2f(1, 1);
        glVertex2f(-1, 1);
        glEnd();
    }
    std::array<GLubyte, 4> pixel(int x, int y) {
        std::array<GLubyte, 4> rgba{};
        glReadPixels(x, y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
        return rgba;
    }
    GLhandleARB currentProgram() {
        auto getHandle = reinterpret_cast<PFNGLGETHANDLEARBPROC>(context.getProcAddress("glGetHandleARB"));
        return getHandle ? getHandle(GL_PROGRAM_OBJECT_ARB) : 0xffffffffu;
    }

    QOpenGLContext context;
    QOffscreenSurface surface;
    std::unique_ptr<QOpenGLFramebufferObject> fbo;
};

constexpr const char* kVertex = "void main() { gl_Position = gl_Vertex; }";
// Red grows from left to right: a pixel read back tells the program drew it.
constexpr const char* kGradient =
    "void main() { gl_FragColor = vec4(gl_FragCoord.x / 64.0, 0.0, 1.0, 1.0); }";

TEST_F(ShaderTest, BoundProgramColoursPixelsAndFixedPipelineRestoresTheGlColour) {
    test::LogCapture log;
    auto shader = Shader::initWithVertexShader(QString::fromLatin1(kVertex), QString::fromLatin1(kGradient));
    ASSERT_NE(shader, nullptr);
    EXPECT_NE(shader->vertexShaderObject(), shader->fragmentShaderObject());
    EXPECT_NE(shader->shaderProgram(), 0u);

    shader->bind();
    EXPECT_EQ(currentProgram(), shader->shaderProgram());
    drawFullQuad();
    const auto left = pixel(4, 32), right = pixel(60, 32);
    EXPECT_EQ(left[2], 255);
    EXPECT_EQ(left[1], 0);
    EXPECT_LT(left[0], 30);
    EXPECT_GT(right[0], 220);

    shader->useFixedPipeline();
    EXPECT_EQ(currentProgram(), 0u);
    drawFullQuad();
    EXPECT_EQ(pixel(32, 32), (std::array<GLubyte, 4>{0, 255, 0, 255}));
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));

    for (Shader::Handle object :
         {shader->vertexShaderObject(), shader->fragmentShaderObject(), shader->shaderProgram()}) {
        shader->dumpInfoLog(object);
    }
    EXPECT_TRUE(log.startingWith(QStringLiteral("Info Log: ")).isEmpty())
        << log.lines().join(QLatin1Char('\n')).toStdString();
}

TEST_F(ShaderTest, BrokenShaderLeavesItsInfoLogForTheCallerOnly) {
    test::LogCapture log;
    auto shader = Shader::initWithVertexShader(QString::fromLatin1(kVertex),
                                               QStringLiteral("void main() { gl_FragColor = nope; }"));
    ASSERT_NE(shader, nullptr);
    EXPECT_TRUE(log.lines().isEmpty()) << "creation must not report by itself";
    shader->dumpInfoLog(shader->fragmentShaderObject());
    const QStringList lines = log.startingWith(QStringLiteral("Info Log: "));
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines.first().contains(QStringLiteral("nope"))) << lines.first().toStdString();
    EXPECT_EQ(log.lines().size(), 1);
    shader->dumpInfoLog(shader->vertexShaderObject());
    EXPECT_EQ(log.lines().size(), 1) << "the valid vertex shader has nothing to say";
}

TEST(ShaderWithoutContext, GivesNull) {
    ASSERT_EQ(QOpenGLContext::currentContext(), nullptr);
    EXPECT_EQ(Shader::initWithVertexShader(QString::fromLatin1(kVertex), QString::fromLatin1(kGradient)), nullptr);
}

}  // namespace
}  // namespace loopstage::graphics
