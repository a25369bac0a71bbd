#include <gtest/gtest.h>

#include "stage/OpenGLView.h"

namespace loopstage::stage {
namespace {

struct Walk {
    const char* name;
    int turnsRight;
    void (OpenGLView::*step)();
    float expectedX;
    float expectedZ;
};

class CameraSteps : public ::testing::TestWithParam<Walk> {};

// Steps from a heading, against values worked out by hand in double and rounded to float.
TEST_P(CameraSteps, StepFromHeadingLandsOnTheRoundedSum) {
    const Walk& walk = GetParam();
    OpenGLView view;
    view.awakeFromNib();
    for (int i = 0; i < walk.turnsRight; ++i) view.turnRight();
    (view.*walk.step)();
    EXPECT_EQ(view.cameraPosAt(0), walk.expectedX);
    EXPECT_EQ(view.cameraPosAt(2), walk.expectedZ);
    EXPECT_EQ(view.cameraPosAt(1), 1.0f);
    EXPECT_EQ(view.framesOutput(), 0) << "an action must not output a frame";
}

INSTANTIATE_TEST_SUITE_P(
    FromStart, CameraSteps,
    ::testing::Values(
        Walk{"forward", 0, &OpenGLView::goForward, 0.0f, static_cast<float>(-5.0 + 0.1)},
        Walk{"backward", 0, &OpenGLView::goBackward, 0.0f, static_cast<float>(-5.0 - 0.1)},
        Walk{"right", 0, &OpenGLView::goRight, static_cast<float>(-0.1), -5.0f},
        Walk{"left", 0, &OpenGLView::goLeft, static_cast<float>(0.1), -5.0f},
        Walk{"forwardAt90", 45, &OpenGLView::goForward, static_cast<float>(-0.1), -5.0f},
        Walk{"rightAt90", 45, &OpenGLView::goRight,
             static_cast<float>(std::cos(3.141592653589793 / 2) * -0.1),
             static_cast<float>(-5.0 - 0.1)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Camera, TurnsAndRoundTrips) {
    OpenGLView view;
    view.awakeFromNib();
    for (int i = 0; i < 180; ++i) view.turnRight();
    EXPECT_EQ(view.cameraDirAt(1), 360.0f) << "the heading is not wrapped";
    view.turnLeft();
    view.turnRight();
    EXPECT_EQ(view.cameraDirAt(1), 360.0f);

    for (int i = 0; i < 7; ++i) view.turnRight();
    const float x = view.cameraPosAt(0), z = view.cameraPosAt(2);
    view.goLeft();
    EXPECT_NE(view.cameraPosAt(0), x);
    view.goRight();
    EXPECT_NEAR(view.cameraPosAt(0), x, 1e-6);
    EXPECT_NEAR(view.cameraPosAt(2), z, 1e-6);

    const float heading = view.cameraDirAt(1);
    view.heightChanged();
    EXPECT_EQ(view.cameraDirAt(1), heading);
    EXPECT_EQ(view.framesOutput(), 0);
}

TEST(StageGeometry, ViewportTruncatesDevicePixelsAndAspectDividesInFloat) {
    EXPECT_EQ(viewportExtent(640.9f, 1.0), 640);
    EXPECT_EQ(viewportExtent(480.5f, 1.0), 480);
    EXPECT_EQ(viewportExtent(640.9f, 2.0), 1281);
    EXPECT_EQ(viewportExtent(333.0f, 1.5), 499);
    EXPECT_EQ(viewportExtent(0.0f, 2.0), 0);
    EXPECT_EQ(aspectOf(640.9f, 480.5f), 640.9f / 480.5f);
    EXPECT_NE(static_cast<double>(aspectOf(640.9f, 480.5f)), 640.9 / 480.5);
    EXPECT_TRUE(std::isinf(aspectOf(10.0f, 0.0f)));
    EXPECT_TRUE(std::isnan(aspectOf(0.0f, 0.0f)));
}

}  // namespace
}  // namespace loopstage::stage
