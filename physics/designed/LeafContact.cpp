// Contact between two leaf polyhedra: face culling, the earliest triangle contact
// and its reduction to one contact point, normal and depth.
#include "physics/designed/LeafContact.h"

#include "physics/designed/CollisionConstants.h"
#include "physics/designed/SweptAxisTests.h"
#include "physics/designed/TriangleContact.h"
#include "physics/designed/TrianglePairTests.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace Tolvane::Physics::Collision {

using Math::Vector3;

namespace {

/// Room reserved in each candidate list; more than a leaf of the shipped models has faces.
constexpr std::size_t candidateReserve = 128;

/// The working lists of one call. They are kept per thread and emptied at the
/// start of every call, so a step allocates only when a leaf has more faces or
/// contacts than any leaf before it. The leaf test never calls itself, so one
/// set per thread is never in use twice at once.
struct LeafScratch {
    std::vector<std::size_t> candidatesA;
    std::vector<std::size_t> candidatesB;
    std::vector<Vector3> points;
    std::vector<Vector3> normals;

    LeafScratch()
    {
        candidatesA.reserve(candidateReserve);
        candidatesB.reserve(candidateReserve);
    }

    void clear()
    {
        candidatesA.clear();
        candidatesB.clear();
        points.clear();
        normals.clear();
    }
};

LeafScratch& leafScratch()
{
    thread_local LeafScratch scratch;
    scratch.clear();
    return scratch;
}

/// Appends, in face order, the faces of node that may touch the other node's
/// box within dt while moving with relativeVelocity against it.
void cullFaces(const ConvexPolyhedron& node, const Vector3& relativeVelocity, float dt,
               OrientedBoundingBox& otherBox, std::vector<std::size_t>& candidates)
{
    const std::vector<PolyhedronFace>& faces = node.faces();
    if (faces.empty())
        return;
    const std::vector<Vector3>& vertices = node.worldVertices();
    const BoxFrame frame = readBoxFrame(otherBox);
    for (std::size_t f = 0; f < faces.size(); ++f) {
        if (sweptTriangleOverlapsBox(faces[f], vertices, relativeVelocity, dt, frame))
            candidates.push_back(f);
    }
}

/// Tells whether a contact normal points towards body A. A's origin decides;
/// but a body's origin may lie on its own surface (the floor's lies on its top
/// face), and for a point level with it the sign would come from rounding
/// alone, so the centre of A's leaf, inside it, decides those instead.
class SideOfA {
  public:
    SideOfA(const Vector3& origin, const std::vector<Vector3>& leafVertices)
        : origin_(origin), leafVertices_(leafVertices)
    {
    }

    bool isTowardsA(const Vector3& normal, const Vector3& point)
    {
        const float fromOrigin = dot(normal, origin_ - point);
        if (std::fabs(fromOrigin) > levelWithOriginDistance)
            return fromOrigin > 0.0f;
        return dot(normal, leafCentre() - point) > levelWithOriginDistance;
    }

  private:
    /// The average of the leaf's world vertices, computed on first need.
    const Vector3& leafCentre()
    {
        if (!haveLeafCentre_ && !leafVertices_.empty()) {
            Vector3 sum;
            for (const Vector3& v : leafVertices_)
                sum += v;
            leafCentre_ = sum / static_cast<float>(leafVertices_.size());
        }
        haveLeafCentre_ = true;
        return leafCentre_;
    }

    Vector3 origin_;
    const std::vector<Vector3>& leafVertices_;
    Vector3 leafCentre_;
    bool haveLeafCentre_ = false;
};

bool containsPoint(const std::vector<Vector3>& points, const Vector3& point)
{
    for (const Vector3& p : points) {
        if (std::fabs(p.x - point.x) < samePointTolerance && std::fabs(p.y - point.y) < samePointTolerance &&
            std::fabs(p.z - point.z) < samePointTolerance)
            return true;
    }
    return false;
}

/// The points and normals of the earliest meeting of two leaves' triangles.
struct Meeting {
    std::vector<Vector3>& points;
    std::vector<Vector3>& normals;
    /// A pair was found touching at time 0: the rest are only tested for
    /// overlap where they stand.
    bool staticMode = false;
};

/// Tests every pair of candidate triangles. In moving mode the pair's first
/// contact time is searched no later than the best time so far (contact.time);
/// a pair found touching at time 0 switches the rest to static mode. A pair
/// meeting at the best time (within a small tolerance) adds its point and
/// normal; a strictly earlier one first discards everything gathered.
void findEarliestMeeting(const ConvexPolyhedron& nodeA, const Vector3& pA, const ConvexPolyhedron& nodeB,
                         const Vector3& pB, const LeafScratch& scratch, CollisionContact& contact,
                         Meeting& meeting)
{
    const Vector3 u = pB - pA;
    const std::vector<PolyhedronFace>& facesA = nodeA.faces();
    const std::vector<PolyhedronFace>& facesB = nodeB.faces();
    const std::vector<Vector3>& verticesA = nodeA.worldVertices();
    const std::vector<Vector3>& verticesB = nodeB.worldVertices();
    TriangleContactState state;
    for (const std::size_t i : scratch.candidatesA) {
        const TriangleRef a{facesA[i], verticesA};
        for (const std::size_t j : scratch.candidatesB) {
            const TriangleRef b{facesB[j], verticesB};
            state.time = noContactTime;
            Vector3 q;
            bool hit;
            if (meeting.staticMode) {
                hit = trianglesOverlap(a, b, q);
                state.side = Overlapping;
                state.time = 0.0f;
            } else {
                hit = findTriangleContactTime(a, b, u, contact.time, state, q);
            }
            // A pair meeting later than the best so far (or lying in a parallel
            // plane, with no time of its own) has nothing to record.
            if (!hit || (!meeting.staticMode && contact.time + laterContactTolerance < state.time))
                continue;

            Vector3 point;
            Vector3 normal;
            if (!computeTriangleContact({a, state.first, pA}, {b, state.second, pB}, state.side, state.time,
                                        point, normal))
                continue;

            // A contact at time 0 takes its direction from the penetration
            // normal, a later one from the features that meet. A pair whose
            // direction has no length (a degenerate, near zero-area triangle)
            // gives no usable contact and is passed over, as if no contact
            // could be built for it, rather than failing the whole step.
            const bool atStart = state.time == 0.0f;
            const Vector3& direction = atStart ? q : normal;
            if (direction.isZero())
                continue;

            if (std::fabs(state.time - contact.time) > simultaneousContactTime) {
                meeting.points.clear();
                meeting.normals.clear();
            }
            contact.time = state.time;
            if (atStart)
                meeting.staticMode = true;
            else if (containsPoint(meeting.points, point))
                continue;
            meeting.points.push_back(point);
            meeting.normals.push_back(Math::normalized(direction));
        }
    }
}

/// One contact out of a meeting's points and normals: the normals turned away
/// from A and summed, the point the centre of the points' bounding box, and in
/// static mode the depth of B's deepest vertex behind that point. False, with
/// nothing written, when the normals cancel out.
bool reduceMeeting(Meeting& meeting, SideOfA& sideOfA, const std::vector<Vector3>& verticesB,
                   CollisionContact& contact)
{
    Vector3 sum;
    for (std::size_t k = 0; k < meeting.normals.size(); ++k) {
        if (sideOfA.isTowardsA(meeting.normals[k], meeting.points[k]))
            meeting.normals[k] = -meeting.normals[k];
        sum += meeting.normals[k];
    }
    if (sum.isZero())
        return false;

    Vector3 low(pointBoundsLimit, pointBoundsLimit, pointBoundsLimit);
    Vector3 high(-pointBoundsLimit, -pointBoundsLimit, -pointBoundsLimit);
    for (const Vector3& p : meeting.points) {
        low.x = std::min(low.x, p.x);
        low.y = std::min(low.y, p.y);
        low.z = std::min(low.z, p.z);
        high.x = std::max(high.x, p.x);
        high.y = std::max(high.y, p.y);
        high.z = std::max(high.z, p.z);
    }
    contact.point = low + (high - low) * 0.5f;
    contact.normal = Math::normalized(sum);
    contact.depth = 0.0f;
    if (meeting.staticMode) {
        for (const Vector3& v : verticesB)
            contact.depth = std::max(contact.depth, dot(contact.point - v, contact.normal));
    }
    return true;
}

} // namespace

// Steps: cull each side's faces against the other side's box, swept over the
// step; find the earliest meeting among the surviving triangle pairs; reduce
// it to one contact.
bool testLeafPolyhedra(const MovingNode& a, const MovingNode& b, float dt, CollisionContact& contact)
{
    ConvexPolyhedron& nodeA = *a.node;
    ConvexPolyhedron& nodeB = *b.node;
    const Vector3 pA = a.centreVelocity();
    const Vector3 pB = b.centreVelocity();

    LeafScratch& scratch = leafScratch();
    cullFaces(nodeA, pA - pB, dt, nodeB.boundingBox(), scratch.candidatesA);
    cullFaces(nodeB, pB - pA, dt, nodeA.boundingBox(), scratch.candidatesB);

    Meeting meeting{scratch.points, scratch.normals};
    findEarliestMeeting(nodeA, pA, nodeB, pB, scratch, contact, meeting);
    if (meeting.points.empty())
        return false;
    SideOfA sideOfA(a.transform.position, nodeA.worldVertices());
    return reduceMeeting(meeting, sideOfA, nodeB.worldVertices(), contact);
}

} // namespace Tolvane::Physics::Collision
