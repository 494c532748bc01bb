// The shipped concave models as the reader sees them: solids closed with every
// triangle facing out, open surfaces facing up, and the surfaces the scenes rest
// cubes on at the heights the scenes are built around.
#include "model/AC3DReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

using Tolvane::ModelInfo;
using Tolvane::readAC3DFile;
using Tolvane::Math::Vector3;

namespace {

// The single poly object under the file's world object.
ModelInfo readPart(const std::string& name)
{
    const auto world = readAC3DFile(std::string(TOLVANE_DATA_DIR) + "/" + name);
    EXPECT_EQ(world->kids.size(), 1u);
    return world->kids.empty() ? ModelInfo{} : *world->kids.front();
}

Vector3 corner(const ModelInfo& part, const Tolvane::ModelSurface& surface, int i)
{
    return part.vertices[surface.vertexIndex[i]];
}

// Signed volume by the divergence theorem: positive when the triangles face out.
double enclosedVolume(const ModelInfo& part)
{
    double sixVolume = 0.0;
    for (const auto& surface : part.surfaces) {
        const Vector3 p = corner(part, surface, 0), q = corner(part, surface, 1),
                      r = corner(part, surface, 2);
        sixVolume += double(p.x) * (double(q.y) * r.z - double(q.z) * r.y) +
                     double(p.y) * (double(q.z) * r.x - double(q.x) * r.z) +
                     double(p.z) * (double(q.x) * r.y - double(q.y) * r.x);
    }
    return sixVolume / 6.0;
}

// How many directed edges are not matched by exactly one edge running the other way.
int unpairedEdges(const ModelInfo& part)
{
    std::map<std::pair<int, int>, int> uses;
    for (const auto& surface : part.surfaces)
        for (int i = 0; i < 3; ++i)
            ++uses[{surface.vertexIndex[i], surface.vertexIndex[(i + 1) % 3]}];
    int unpaired = 0;
    for (const auto& [edge, count] : uses) {
        const auto reverse = uses.find({edge.second, edge.first});
        if (count != 1 || reverse == uses.end() || reverse->second != 1)
            ++unpaired;
    }
    return unpaired;
}

// Area, seen from above, of the upward-facing triangles lying flat at height y.
float flatAreaAt(const ModelInfo& part, float y)
{
    float area = 0.0f;
    for (const auto& surface : part.surfaces) {
        const Vector3 p = corner(part, surface, 0), q = corner(part, surface, 1),
                      r = corner(part, surface, 2);
        if (surface.normal.y > 0.999f && p.y == y && q.y == y && r.y == y)
            area += 0.5f * std::fabs((q.x - p.x) * (r.z - p.z) - (q.z - p.z) * (r.x - p.x));
    }
    return area;
}

TEST(MeshModelFiles, SolidsAreClosedFaceOutwardAndHoldCubesWhereTheScenesExpect)
{
    struct Solid {
        const char* file;
        double volume;
        double tolerance;
        float restingHeight; // the floor a dropped cube comes to rest on
        float restingArea;
    };
    // The channel's groove floor (4 x 4 at y = 1) and the stairs' top step (3 deep, 8 wide at y = 5).
    const Solid solids[] = {{"Channel.ac", 40.0, 1e-4, 1.0f, 16.0f}, {"Stairs.ac", 360.0, 1e-4, 5.0f, 24.0f}};
    for (const Solid& solid : solids) {
        SCOPED_TRACE(solid.file);
        const ModelInfo part = readPart(solid.file);
        EXPECT_EQ(unpairedEdges(part), 0);
        EXPECT_NEAR(enclosedVolume(part), solid.volume, solid.tolerance);
        EXPECT_NEAR(flatAreaAt(part, solid.restingHeight), solid.restingArea, 1e-4);
    }

    // The bowl: a shell of radius 16 inside, 17 outside, cut flat at y = -7.75; its
    // inside reaches down to y = -7 and its rim is at y = 0.
    const ModelInfo bowl = readPart("Bowl.ac");
    EXPECT_EQ(unpairedEdges(bowl), 0);
    EXPECT_NEAR(enclosedVolume(bowl), 774.7, 0.02 * 774.7);
    // The inside is the part that faces up; the outside and the base face down.
    float lowestInside = 0.0f;
    float highest = -1e9f;
    for (const auto& surface : bowl.surfaces)
        for (int i = 0; i < 3; ++i) {
            const float y = corner(bowl, surface, i).y;
            if (surface.normal.y > 0.0f)
                lowestInside = std::min(lowestInside, y);
            highest = std::max(highest, y);
        }
    EXPECT_EQ(lowestInside, -7.0f);
    EXPECT_EQ(highest, 0.0f);
}

TEST(MeshModelFiles, OpenSurfacesFaceUpOverTheirFullSpan)
{
    struct Surface {
        const char* file;
        float halfSpan;
        float lowest, highest;
    };
    const Surface surfaces[] = {{"TiledFloor.ac", 100.0f, 0.0f, 0.0f}, {"Terrain.ac", 60.0f, -6.0f, 6.0f}};
    for (const Surface& expected : surfaces) {
        SCOPED_TRACE(expected.file);
        const ModelInfo part = readPart(expected.file);
        EXPECT_GE(part.surfaces.size(), 20000u);
        int facingDown = 0;
        for (const auto& surface : part.surfaces)
            facingDown += surface.normal.y > 0.0f ? 0 : 1;
        EXPECT_EQ(facingDown, 0);
        double heightSum = 0.0;
        Vector3 low(1e9f, 1e9f, 1e9f), high(-1e9f, -1e9f, -1e9f);
        for (const Vector3& v : part.vertices) {
            low = {std::min(low.x, v.x), std::min(low.y, v.y), std::min(low.z, v.z)};
            high = {std::max(high.x, v.x), std::max(high.y, v.y), std::max(high.z, v.z)};
            heightSum += v.y;
        }
        EXPECT_EQ(low.x, -expected.halfSpan);
        EXPECT_EQ(high.z, expected.halfSpan);
        EXPECT_GE(low.y, expected.lowest);
        EXPECT_LE(high.y, expected.highest);
        EXPECT_NEAR(heightSum / part.vertices.size(), 0.0, 1e-3);
    }
}

} // namespace
