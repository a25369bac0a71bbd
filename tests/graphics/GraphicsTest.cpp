#include <GL/gl.h>
#include <gtest/gtest.h>

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <array>
#include <functional>

#include "graphics/Shader.h"
#include "graphics/Vector4.h"
#include "support/LogCapture.h"

namespace loopstage::graphics {
namespace {

// Each operation against its float reference with the destination separate, aliased to either
// operand and to both: one that stored an element before reading the operands it overwrites, or
// computed in a wider type, would differ.
TEST(Vector4, ArithmeticMatchesFloatWhateverTheDestinationAliases) {
    const Vector4 left{{1.5f, -2.25f, 1e-7f, 3e30f}}, right{{0.75f, 4.0f, 3.0f, 7e8f}};
    auto check = [&](const char* name, auto op, auto reference) {
        SCOPED_TRACE(name);
        Vector4 separate{}, intoLeft = left, intoRight = right, intoBoth = left;
        op(&separate, &left, &right);
        op(&intoLeft, &intoLeft, &right);
        op(&intoRight, &left, &intoRight);
        op(&intoBoth, &intoBoth, &intoBoth);
        for (int i = 0; i < 4; ++i) {
            for (const Vector4* v : {&separate, &intoLeft, &intoRight})
                EXPECT_EQ(v->pVec[i], reference(left.pVec[i], right.pVec[i])) << i;
            EXPECT_EQ(intoBoth.pVec[i], reference(left.pVec[i], left.pVec[i])) << i;
        }
    };
    check("add", add, std::plus<float>());
    check("sub", sub, std::minus<float>());
    check("mul", mul, std::multiplies<float>());
    check("div", div, std::divides<float>());
}

// Drawn into a 64 x 64 framebuffer object of a real compatibility context: a program whose red
// grows from left to right, then the fixed pipeline's plain green. A broken shader is still made;
// its info log is the caller's to ask for, and only a shader with something to say logs.
TEST(Shader, ColoursPixelsGivesBackTheFixedPipelineAndLeavesTheInfoLogToTheCaller) {
    constexpr const char* kVertex = "void main() { gl_Position = gl_Vertex; }";
    constexpr const char* kGradient =
        "void main() { gl_FragColor = vec4(gl_FragCoord.x / 64.0, 0.0, 1.0, 1.0); }";
    EXPECT_EQ(Shader::initWithVertexShader(kVertex, kGradient), nullptr) << "no context current";
    QSurfaceFormat format;
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    format.setVersion(2, 1);
    QOpenGLContext context;
    context.setFormat(format);
    QOffscreenSurface surface;
    surface.setFormat(format);
    surface.create();
    if (!context.create() || !context.makeCurrent(&surface)) GTEST_SKIP() << "no GL context";
    QOpenGLFramebufferObject target(64, 64);
    target.bind();
    glViewport(0, 0, 64, 64);
    auto drawAndRead = [](int x) {  // a green quad over the whole target; the pixel at (x, 32)
        glColor3f(0, 1, 0);
        glRectf(-1, -1, 1, 1);
        std::array<GLubyte, 4> rgba{};
        glReadPixels(x, 32, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
        return rgba;
    };
    test::LogCapture log;
    auto shader = Shader::initWithVertexShader(kVertex, kGradient);
    auto broken = Shader::initWithVertexShader(kVertex, "void main() { gl_FragColor = nope; }");
    ASSERT_TRUE(shader && broken);
    EXPECT_TRUE(log.lines().isEmpty()) << "creation must not report by itself";

    shader->bind();
    const auto left = drawAndRead(4), right = drawAndRead(60);
    EXPECT_EQ(left[2], 255);
    EXPECT_LT(left[0], 30);
    EXPECT_GT(right[0], 220);
    shader->useFixedPipeline();
    EXPECT_EQ(drawAndRead(32), (std::array<GLubyte, 4>{0, 255, 0, 255}));
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));

    broken->dumpInfoLog(broken->vertexShaderObject());
    broken->dumpInfoLog(broken->fragmentShaderObject());
    ASSERT_EQ(log.lines().size(), 1) << log.lines().join('\n').toStdString();
    EXPECT_TRUE(log.lines().first().startsWith("Info Log: "));
    EXPECT_TRUE(log.lines().first().contains("nope"));
}

}  // namespace
}  // namespace loopstage::graphics
