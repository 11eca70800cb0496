#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "render/Matrix.h"
#include "render/PhongIllumination.h"

namespace qz {
namespace {

constexpr float kHalfPi = std::numbers::pi_v<float> / 2.0f;

void expectPoint(_Point p, float x, float y, float z, float w) {
    EXPECT_NEAR(p.x, x, 1e-6f);
    EXPECT_NEAR(p.y, y, 1e-6f);
    EXPECT_NEAR(p.z, z, 1e-6f);
    EXPECT_EQ(p.w, w);
}

TEST(Matrix, RotationByZeroIsExactlyTheIdentity) {
    const _Matrix r = MatrixRotate(MakeMatrix(), MakeVector(0, 0, 0));
    const _Matrix id = MakeMatrix();
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(r.m[i], id.m[i]) << i;
}

TEST(Matrix, QuarterTurnsAboutEachAxis) {
    expectPoint(
        MatrixTransformPoint(MatrixRotate(MakeMatrix(), MakeVector(0, 0, kHalfPi)), MakePoint(1, 0, 0, 1)), 0,
        1, 0, 1);
    expectPoint(
        MatrixTransformPoint(MatrixRotate(MakeMatrix(), MakeVector(kHalfPi, 0, 0)), MakePoint(0, 1, 0, 1)), 0,
        0, 1, 1);
    expectPoint(
        MatrixTransformPoint(MatrixRotate(MakeMatrix(), MakeVector(0, kHalfPi, 0)), MakePoint(0, 0, 1, 1)), 1,
        0, 0, 1);
}

TEST(Matrix, RotatesAboutXFirstThenY) {
    const _Matrix r = MatrixRotate(MakeMatrix(), MakeVector(kHalfPi, kHalfPi, 0));
    expectPoint(MatrixTransformPoint(r, MakePoint(0, 1, 0, 1)), 1, 0, 0, 1);
}

TEST(Matrix, TranslateMovesPointsButNotDirections) {
    const _Matrix t = MatrixTranslate(MakeMatrix(), 1, 2, 3);
    expectPoint(MatrixTransformPoint(t, MakePoint(0, 0, 0, 1)), 1, 2, 3, 1);
    expectPoint(MatrixTransformPoint(t, MakePoint(4, 5, 6, 0)), 4, 5, 6, 0);
    // No division by w.
    expectPoint(MatrixTransformPoint(MakeMatrix(), MakePoint(1, 2, 3, 2)), 1, 2, 3, 2);
}

TEST(Matrix, MultLeftAppliesTheFirstArgumentFirst) {
    const _Matrix rot = MatrixRotate(MakeMatrix(), MakeVector(0, 0, kHalfPi));
    const _Matrix move = MatrixTranslate(MakeMatrix(), 1, 0, 0);
    // Rotate (1,0,0) to (0,1,0), then move: (1,1,0); the other way round: (2,0,0) -> (0,2,0).
    expectPoint(MatrixTransformPoint(MatrixMultLeft(rot, move), MakePoint(1, 0, 0, 1)), 1, 1, 0, 1);
    expectPoint(MatrixTransformPoint(MatrixMultLeft(move, rot), MakePoint(1, 0, 0, 1)), 0, 2, 0, 1);
    const _Matrix a = MatrixMultLeft(rot, move);
    const _Matrix left = MatrixMultLeft(a, MakeMatrix()), right = MatrixMultLeft(MakeMatrix(), a);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(left.m[i], a.m[i]);
        EXPECT_EQ(right.m[i], a.m[i]);
    }
}

std::uint8_t shadeOne(const PhongIllumination& p, std::uint8_t c, _Vector g, float t) {
    std::uint8_t rgba[4] = {c, c, c, 77};
    p.updateRGBA(rgba, g, t);
    EXPECT_EQ(rgba[3], 77);  // alpha untouched
    EXPECT_EQ(rgba[0], rgba[1]);
    EXPECT_EQ(rgba[0], rgba[2]);
    return rgba[0];
}

TEST(Phong, FlatRegionKeepsEightyPercent) {
    PhongIllumination p;
    p.setViewVector(MakeVector(0, 0, 1));
    EXPECT_EQ(shadeOne(p, 255, MakeVector(0, 0, 0), 0.0f), 204);
    EXPECT_EQ(shadeOne(p, 100, MakeVector(0, 0, 0), 0.0f), 80);
}

TEST(Phong, LightAlongTheGradient) {
    PhongIllumination p;
    p.setViewVector(MakeVector(0, 0, 5));  // normalised
    EXPECT_EQ(p.halfwayVector().z, 1.0f);
    EXPECT_EQ(shadeOne(p, 0, MakeVector(0, 0, 1), 0.0f), 255);
    // Deepest step of a 100-pixel image: light 60.
    EXPECT_EQ(shadeOne(p, 0, MakeVector(0, 0, 1), 0.99f), 60);
}

TEST(Phong, HalfAlignedGradientAndDepth) {
    PhongIllumination p;
    p.setViewVector(MakeVector(0, 0, 1));
    const _Vector g = MakeVector(std::sqrt(0.75f), 0.0f, 0.5f);
    EXPECT_EQ(shadeOne(p, 100, g, 0.0f), 131);
    EXPECT_EQ(shadeOne(p, 100, g, 0.5f), 94);
}

TEST(Phong, OpposedGradientStillGetsTheSpecularTerm) {
    PhongIllumination p;
    p.setViewVector(MakeVector(0, 0, 1));
    EXPECT_EQ(shadeOne(p, 100, MakeVector(0, 0, -1), 0.0f), 233);
}

TEST(Phong, NegativeLightClampsAtZero) {
    PhongIllumination p;
    p.setViewVector(MakeVector(0, 0, 1));
    // g . L = -0.5: the diffuse term goes negative and the specular one vanishes: light = -51.
    const _Vector g = MakeVector(std::sqrt(0.75f), 0.0f, -0.5f);
    EXPECT_EQ(shadeOne(p, 0, g, 0.0f), 0);
    EXPECT_EQ(shadeOne(p, 100, g, 0.0f), 29);
}

TEST(Phong, ZeroViewVectorLeavesOnlyTheAmbientShare) {
    PhongIllumination p;
    p.setViewVector(MakeVector(0, 0, 0));
    EXPECT_EQ(p.lightVector().z, 0.0f);
    EXPECT_EQ(shadeOne(p, 100, MakeVector(0, 0, 1), 0.0f), 80);
}

}  // namespace
}  // namespace qz
