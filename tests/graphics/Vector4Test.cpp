#include "graphics/Vector4.h"

#include <gtest/gtest.h>

#include <cmath>

namespace loopstage::graphics {
namespace {

using Op = void (*)(Vector4*, const Vector4*, const Vector4*);

struct OpCase {
    const char* name;
    Op op;
    float (*reference)(float, float);
};

class Vector4Arithmetic : public ::testing::TestWithParam<OpCase> {};

// Each operation against its float reference, with the destination separate, aliased to the
// left operand and aliased to the right one: a loop that read all operands first or wrote a
// wider type would differ in one of these.
TEST_P(Vector4Arithmetic, MatchesFloatReferenceForSeparateAndAliasedDestinations) {
    const OpCase& c = GetParam();
    const Vector4 left{{1.5f, -2.25f, 1e-7f, 3e30f}};
    const Vector4 right{{0.75f, 4.0f, 3.0f, 7e8f}};

    Vector4 separate{};
    c.op(&separate, &left, &right);
    Vector4 intoLeft = left;
    c.op(&intoLeft, &intoLeft, &right);
    Vector4 intoRight = right;
    c.op(&intoRight, &left, &intoRight);

    for (int i = 0; i < 4; ++i) {
        const float expected = c.reference(left.pVec[i], right.pVec[i]);
        EXPECT_EQ(separate.pVec[i], expected) << c.name << " element " << i;
        EXPECT_EQ(intoLeft.pVec[i], expected) << c.name << " element " << i;
        EXPECT_EQ(intoRight.pVec[i], expected) << c.name << " element " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllOps, Vector4Arithmetic,
    ::testing::Values(OpCase{"add", add, [](float a, float b) { return a + b; }},
                      OpCase{"sub", sub, [](float a, float b) { return a - b; }},
                      OpCase{"mul", mul, [](float a, float b) { return a * b; }},
                      OpCase{"div", div, [](float a, float b) { return a / b; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Vector4, SelfSubtractionAndZeroDivision) {
    Vector4 v{{1.0f, -2.0f, 3.5f, 8.0f}};
    sub(&v, &v, &v);
    for (float e : v.pVec) EXPECT_EQ(e, 0.0f);

    const Vector4 n{{3.0f, -4.0f, 5.0f, 6.0f}};
    const Vector4 ones{{1.0f, 1.0f, 1.0f, 0.0f}};
    Vector4 q{};
    div(&q, &n, &ones);
    EXPECT_EQ(q.x, 3.0f);
    EXPECT_EQ(q.y, -4.0f);
    EXPECT_EQ(q.z, 5.0f);
    EXPECT_TRUE(std::isinf(q.w) && q.w > 0);
    const Vector4 zero{};
    div(&q, &zero, &zero);
    EXPECT_TRUE(std::isnan(q.x));
}

}  // namespace
}  // namespace loopstage::graphics
