// The constraint solve: each batch's whole step on the thread that takes it
// (or spread over the threads when it is big), the free bodies moved, and
// the bodies no batch finished put back at the end.
#include "physics/solver/ConstraintSolve.h"

#include "geometry/BodyHulls.h"
#include "physics/solver/PhaseClock.h"
#include "physics/solver/SolverConstants.h"
#include "physics/solver/WideLanes.h"
#include "physics/solver/WritePrefetch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>

namespace Tolvane::Physics {

using Math::Matrix3;
using Math::Quaternion;
using Math::Vector3;

namespace {

using Clock = PhaseClock::Clock;

double microsecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

/// q turned by the rotation vector w h over a short time: q + ½ h (w, 0) q,
/// made unit length again.
Quaternion integrateOrientation(const Quaternion& q, const Vector3& w, float h)
{
    const float half = 0.5f * h;
    const Quaternion spin(0.0f, w.x * half, w.y * half, w.z * half);
    const Quaternion dq = spin * q;
    Quaternion r(q.w + dq.w, q.x + dq.x, q.y + dq.y, q.z + dq.z);
    const float length = std::sqrt(r.w * r.w + r.x * r.x + r.y * r.y + r.z * r.z);
    const float inverse = 1.0f / length;
    return {r.w * inverse, r.x * inverse, r.y * inverse, r.z * inverse};
}

/// Contacts for substeps of length h, scale times shorter than the settings'
/// ones: their springs are scale times stiffer in frequency, within the bound
/// the substep rate sets.
ContactStiffness stiffnessOf(float h, int scale, float allowedPenetration)
{
    const float stiffest = maxContactHertzPerSubstepRate / h;
    const float hertz = std::min(contactHertz * static_cast<float>(scale), stiffest);
    return {h, makeSoftness(hertz, contactDampingRatio, h),
            makeSoftness(std::min(fixedContactHertzFactor * hertz, stiffest), contactDampingRatio, h),
            allowedPenetration};
}

/// One value of a pair from its bodies' own (negative: none, the world's
/// stands in). A pair with no value of its own takes the world's as it is.
float pairValue(float a, float b, float world, CombineRule rule)
{
    if (a < 0.0f && b < 0.0f)
        return world;
    return combine(rule, a < 0.0f ? world : a, b < 0.0f ? world : b);
}

/// The contact solver's settings for substeps of length h.
ContactSolverSettings solverSettingsOf(const ContactSettings& settings, float h, bool ownMaterials)
{
    const ContactStiffness stiffness = stiffnessOf(h, 1, settings.allowedPenetration);
    ContactSolverSettings solverSettings;
    solverSettings.friction = settings.friction;
    solverSettings.restitution = settings.restitution;
    solverSettings.restitutionThreshold = settings.restitutionThreshold;
    solverSettings.allowedPenetration = settings.allowedPenetration;
    solverSettings.ownMaterials = ownMaterials;
    solverSettings.substep = h;
    solverSettings.softness = stiffness.softness;
    solverSettings.fixedSoftness = stiffness.fixedSoftness;
    return solverSettings;
}

} // namespace

void ConstraintSolve::prepare(const ContactSettings& settings, float dt, float weight, const Vector3& up,
                              bool clearingForces)
{
    // The solver bodies themselves are started by the thread that solves them
    // (a body that moves alone too): they are only sized here, as clearing
    // them on this thread would write every one twice while the others wait.
    const std::size_t bodyCount = batches_.solverBodyCount();
    const std::vector<std::int32_t>& kinematicBodies = bodies_.kinematicBodies();
    solverBodies_.resize(bodyCount + kinematicBodies.size());
    orientations_.resize(bodyCount);
    stillTimes_.resize(bodyCount);

    // Room for the constraints; each batch's thread fills its own.
    const auto constraintCount = static_cast<std::size_t>(batches_.constraintCount());
    solver_.setPool(&pool_);
    solver_.readPointsFrom(this);
    solver_.resize(constraintCount, static_cast<std::size_t>(batches_.pointCount()));
    constraintPiece_.resize(constraintCount);

    substeps_ = std::max(1, settings.solverIterations);
    allowedPenetration_ = settings.allowedPenetration;
    h_ = dt / static_cast<float>(substeps_);
    weightPerSubstep_ = weight * h_;
    dt_ = dt;
    up_ = up;
    clearingForces_ = clearingForces;
    settings_ = settings;
    // The moving kinematic bodies after the awake ones, read by every batch.
    kinematicIndex_.resize(bodies_.size());
    kinematicTurns_.resize(kinematicBodies.size());
    for (std::size_t n = 0; n < kinematicBodies.size(); ++n) {
        const std::int32_t i = kinematicBodies[n];
        const StepBody& entry = bodies_[static_cast<std::size_t>(i)];
        SolverBody& solverBody = solverBodies_[bodyCount + n];
        solverBody = SolverBody();
        solverBody.centre = entry.centre;
        solverBody.linearVelocity = entry.object->velocity;
        solverBody.angularVelocity = entry.object->angularVelocity;
        kinematicIndex_[static_cast<std::size_t>(i)] =
            kinematicSolverIndex(static_cast<std::int32_t>(bodyCount + n));
        kinematicTurns_[n] =
            Math::toMatrix3(Math::fromRotationVector(entry.object->angularVelocity * (0.5f * dt)));
    }
    solver_.setKinematicTurns(bodyCount, kinematicTurns_, dt);
    solver_.layOutGroups(solverSettingsOf(settings, h_, bodies_.ownMaterials()), bodyCount,
                         batches_.batchConstraintStart());
    batchTouching_.assign(static_cast<std::size_t>(batches_.batchCount()), 0);
}

template <class RunWork>
void ConstraintSolve::forBodyRuns(BodyRange range, bool parallel, const RunWork& work)
{
    if (parallel)
        pool_.forEachEven(
            static_cast<std::size_t>(range.last - range.first), bodiesPerTask,
            [&](std::size_t from, std::size_t to) { work(range.first + from, range.first + to); });
    else
        work(range.first, range.last);
}

template <class Work> void ConstraintSolve::forBodies(BodyRange range, bool parallel, const Work& work)
{
    forBodyRuns(range, parallel, [&](const std::int32_t* first, const std::int32_t* last) {
        for (const std::int32_t* k = first; k != last; ++k)
            work(*k);
    });
}

template <class RunWork> double ConstraintSolve::timed(BodyRange range, bool parallel, const RunWork& work)
{
    const Clock::time_point before = Clock::now();
    forBodyRuns(range, parallel, work);
    return microsecondsSince(before);
}

ConstraintSolve::BatchTimes ConstraintSolve::runBatch(std::int32_t batch, bool parallel)
{
    const Clock::time_point start = Clock::now();
    BatchTimes times;
    const BodyRange range = batches_.batchBodies(batch);
    const auto g = static_cast<std::size_t>(batch);
    // A heavily loaded batch takes more, shorter substeps with stiffer contacts.
    const int scale = batches_.batchSubstepScale(batch);
    const int substeps = substeps_ * scale;
    const float h = h_ / static_cast<float>(scale);
    fillConstraints(batch, parallel);
    solver_.orderGroup(g);
    forBodies(range, parallel, [&](std::int32_t k) { startBody(k); });
    if (scale != 1)
        solver_.setGroupStiffness(g, stiffnessOf(h, scale, allowedPenetration_));
    solver_.prepareGroup(solverBodies_, g, parallel);
    const auto pushed = [&](const std::int32_t* first, const std::int32_t* last) {
        for (const std::int32_t* k = first; k != last; ++k)
            pushBody(*k, h);
    };
    const auto moved = [&](const std::int32_t* first, const std::int32_t* last) {
        moveBodies(first, last, h);
    };
    // The joints go before the contacts in each pass, so that the contacts
    // have the last word on overlaps. They are few, and solved on this thread
    // between the contact passes, in the same order on any number of threads.
    const SolveBatches::JointRange joints = batches_.batchJoints(batch);
    const bool jointed = joints.first != joints.last;
    if (jointed)
        joints_.prepare(joints.first, joints.last, bodies_, batches_, h, scale);
    // A read of the clock costs about as much as moving a few bodies: only
    // the last substep's passes over the bodies are timed (the bodies are in
    // cache by then, as in most substeps), and each substep is counted as
    // taking as long.
    double substepIntegration = 0.0;
    for (int substep = 0; substep < substeps; ++substep) {
        if (substep == substeps - 1)
            substepIntegration += timed(range, parallel, pushed);
        else
            forBodyRuns(range, parallel, pushed);
        if (jointed)
            joints_.warmStart(joints.first, joints.last, solverBodies_, orientations_,
                              static_cast<float>(substep) * h);
        solver_.warmStart(solverBodies_, g, parallel);
        if (jointed)
            joints_.solve(joints.first, joints.last, solverBodies_, orientations_, true,
                          static_cast<float>(substep) * h);
        solver_.solve(solverBodies_, true, g, parallel, static_cast<float>(substep) * h);
        if (substep == substeps - 1)
            substepIntegration += timed(range, parallel, moved);
        else
            forBodyRuns(range, parallel, moved);
        if (jointed)
            joints_.solve(joints.first, joints.last, solverBodies_, orientations_, false,
                          static_cast<float>(substep + 1) * h);
        solver_.solve(solverBodies_, false, g, parallel, static_cast<float>(substep + 1) * h);
    }
    times.integration += substepIntegration * static_cast<double>(substeps);
    solver_.applyRestitution(solverBodies_, g, parallel);
    storeImpulses(g, parallel, static_cast<float>(scale));
    solver_.releaseGroup(g);
    if (jointed)
        joints_.store(joints.first, joints.last, scale);
    times.integration += timed(range, parallel, [&](const std::int32_t* first, const std::int32_t* last) {
        for (const std::int32_t* k = first; k != last; ++k)
            finishBody(*k);
    });
    batchTouching_[g] = countPressed(batch);
    // The batch holds its islands whole (an island's bodies share contacts,
    // and so a batch): they fall asleep here, while the bodies are in cache.
    finishIslands(range, parallel);
    times.total = microsecondsSince(start);
    return times;
}

void ConstraintSolve::fillConstraints(std::int32_t batch, bool parallel)
{
    const std::int32_t* firstPair = batches_.batchPairs(batch);
    const std::size_t pairCount = batches_.batchPairCount(batch);
    const auto fill = [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k)
            addConstraints(contacts_.pairs()[firstPair[k]]);
    };
    if (parallel)
        pool_.forEachEven(pairCount, pairsPerTask, fill);
    else
        fill(0, pairCount);
}

// A contact bearing the weight of n > fullAllowanceLoad bodies like its
// lighter one leaves only fullAllowanceLoad / n of the allowed penetration
// alone, so that down a stack the allowances add up like a harmonic series,
// not one per contact; and a batch with scale times the substeps, whose
// springs sink scale² times less, leaves scale² times less again.
float ConstraintSolve::allowedPenetrationOf(const PairContact& pair, std::int32_t batch) const
{
    const float load = weightPerSubstep_ > 0.0f ? pair.counts.lift / weightPerSubstep_ : 0.0f;
    const auto scale = static_cast<float>(batches_.batchSubstepScale(batch));
    return allowedPenetration_ / (std::max(1.0f, load / fullAllowanceLoad) * scale * scale);
}

// A pair's manifolds with points, as constraints of the batch its island is in.
void ConstraintSolve::addConstraints(const PairContact& pair)
{
    if (pair.firstConstraint < 0)
        return;
    const std::int32_t batch = batches_.batchOfGroup(pair.island);
    // The carried impulses are those of one of the settings' substeps.
    const float allowed = allowedPenetrationOf(pair, batch);
    auto constraint = static_cast<std::size_t>(pair.firstConstraint);
    auto point = static_cast<std::size_t>(pair.firstPoint);
    const std::int32_t a = solverIndexOf(pair.bodyA);
    const std::int32_t b = solverIndexOf(pair.bodyB);
    float friction = -1.0f;
    float restitution = -1.0f;
    if (bodies_.ownMaterials()) {
        const BodyTable::Material& materialA = bodies_.material(pair.bodyA);
        const BodyTable::Material& materialB = bodies_.material(pair.bodyB);
        friction =
            pairValue(materialA.friction, materialB.friction, settings_.friction, settings_.frictionCombine);
        restitution = pairValue(materialA.restitution, materialB.restitution, settings_.restitution,
                                settings_.restitutionCombine);
    }
    for (std::int32_t k = 0; k < pair.pieceCount; ++k) {
        const PieceContact& piece = contacts_.piece(static_cast<std::size_t>(pair.firstPiece + k));
        if (piece.pointCount == 0)
            continue;
        float height = 0.0f;
        for (int p = 0; p < piece.pointCount; ++p)
            height += dot(piece.points[p].point.position, up_);
        // The solver reads the points from the piece when it prepares them
        // (readPoints).
        constraintPiece_[constraint] = pair.firstPiece + k;
        solver_.set(constraint++, point,
                    {a, b, piece.normal, nullptr, piece.pointCount, batch,
                     height / static_cast<float>(piece.pointCount), allowed, friction, restitution});
        point += static_cast<std::size_t>(piece.pointCount);
    }
}

void ConstraintSolve::readPoints(std::size_t index, std::int32_t group, ContactPointInput* points) const
{
    const PieceContact& piece = contacts_.piece(static_cast<std::size_t>(constraintPiece_[index]));
    // The carried impulses are those of one of the settings' substeps.
    const float perSubstep = 1.0f / static_cast<float>(batches_.batchSubstepScale(group));
    for (int p = 0; p < piece.pointCount; ++p) {
        points[p].position = piece.points[p].point.position;
        points[p].separation = piece.points[p].point.separation;
        points[p].normalImpulse = piece.points[p].normalImpulse * perSubstep;
        points[p].tangentImpulse = piece.points[p].tangentImpulse * perSubstep;
    }
}

void ConstraintSolve::storeImpulses(std::size_t batch, bool parallel, float scale)
{
    const ContactSolver::ConstraintList constraints = solver_.groupConstraints(batch);
    const auto store = [&](std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k)
            storeImpulses(constraints.first[k], scale);
    };
    const auto constraintCount = static_cast<std::size_t>(constraints.last - constraints.first);
    if (parallel)
        pool_.forEachEven(constraintCount, bundlesPerTask, store);
    else
        store(0, constraintCount);
}

// Kept as impulses of one of the settings' substeps, whatever the batch's:
// a contact warm starts right when its island's substeps change.
void ConstraintSolve::storeImpulses(std::size_t constraint, float scale)
{
    PieceContact& piece = contacts_.piece(static_cast<std::size_t>(constraintPiece_[constraint]));
    for (int p = 0; p < piece.pointCount; ++p) {
        const ContactPointResult result = solver_.result(constraint, p);
        piece.points[p].normalImpulse = result.normalImpulse * scale;
        piece.points[p].tangentImpulse = result.tangentImpulse * scale;
    }
}

int ConstraintSolve::countPressed(std::int32_t batch) const
{
    const std::int32_t* firstPair = batches_.batchPairs(batch);
    const std::size_t pairCount = batches_.batchPairCount(batch);
    int touching = 0;
    for (std::size_t k = 0; k < pairCount; ++k)
        touching += contacts_.pressed(contacts_.pairs()[firstPair[k]]) ? 1 : 0;
    return touching;
}

// An awake body's start of the step.
void ConstraintSolve::startBody(std::int32_t k)
{
    const StepBody& entry = bodies_[static_cast<std::size_t>(batches_.bodyOf(k))];
    const PhysicalObject& body = *entry.object;
    SolverBody& solverBody = solverBodies_[k];
    solverBody = SolverBody();
    solverBody.centre = entry.centre;
    solverBody.linearVelocity = body.velocity;
    solverBody.angularVelocity = body.angularVelocity;
    solverBody.inverseMass = 1.0f / body.mass;
    const Matrix3 localInverse = entry.hulls ? entry.hulls->inverseInertiaPerMass : Matrix3::identity();
    solverBody.inverseInertia =
        entry.rotation * localInverse * Math::transpose(entry.rotation) * (1.0f / body.mass);
    orientations_[k] = body.transform.orientation;
}

// A substep's forces (gravity included) into an awake body's velocities.
void ConstraintSolve::pushBody(std::int32_t k, float h)
{
    SolverBody& body = solverBodies_[k];
    const PhysicalObject& object = *bodies_[static_cast<std::size_t>(batches_.bodyOf(k))].object;
    body.linearVelocity += object.force * (h * body.inverseMass);
    if (!object.torque.isZero())
        body.angularVelocity += body.inverseInertia * (object.torque * h);
}

// A substep's motion of an awake body: symplectic Euler, the new velocities move it.
void ConstraintSolve::moveBody(std::int32_t k, float h)
{
    SolverBody& body = solverBodies_[k];
    body.deltaPosition += body.linearVelocity * h;
    body.deltaRotation += body.angularVelocity * h;
    orientations_[k] = integrateOrientation(orientations_[k], body.angularVelocity, h);
}

// The bodies' motion over a substep as moveBody's, their orientations turned
// eight at a time in the lanes: the same sums in the same order, and a
// root and a division that round each lane as one float's would.
void ConstraintSolve::moveBodies(const std::int32_t* first, const std::int32_t* last, float h)
{
    constexpr int lanes = WideLanes::width;
    const std::int32_t* k = first;
    for (; last - k >= lanes; k += lanes) {
        Vector3 angular[lanes];
        for (int lane = 0; lane < lanes; ++lane) {
            SolverBody& body = solverBodies_[k[lane]];
            body.deltaPosition += body.linearVelocity * h;
            body.deltaRotation += body.angularVelocity * h;
            angular[lane] = body.angularVelocity;
        }
        turnOrientations(k, angular, h);
    }
    for (; k != last; ++k)
        moveBody(*k, h);
}

void ConstraintSolve::turnOrientations(const std::int32_t* k, const Vector3* angular, float h)
{
    constexpr int lanes = WideLanes::width;
    float values[7][lanes];
    for (int lane = 0; lane < lanes; ++lane) {
        const Quaternion& q = orientations_[k[lane]];
        values[0][lane] = q.w;
        values[1][lane] = q.x;
        values[2][lane] = q.y;
        values[3][lane] = q.z;
        values[4][lane] = angular[lane].x;
        values[5][lane] = angular[lane].y;
        values[6][lane] = angular[lane].z;
    }
    const WideLanes qw = WideLanes::load(values[0]);
    const WideLanes qx = WideLanes::load(values[1]);
    const WideLanes qy = WideLanes::load(values[2]);
    const WideLanes qz = WideLanes::load(values[3]);
    // integrateOrientation's spin (0, w h / 2) times q, term by term.
    const WideLanes half(0.5f * h);
    const WideLanes sw(0.0f);
    const WideLanes sx = WideLanes::load(values[4]) * half;
    const WideLanes sy = WideLanes::load(values[5]) * half;
    const WideLanes sz = WideLanes::load(values[6]) * half;
    const WideLanes rw = qw + (sw * qw - sx * qx - sy * qy - sz * qz);
    const WideLanes rx = qx + (sw * qx + sx * qw + sy * qz - sz * qy);
    const WideLanes ry = qy + (sw * qy - sx * qz + sy * qw + sz * qx);
    const WideLanes rz = qz + (sw * qz + sx * qy - sy * qx + sz * qw);
    const WideLanes inverse = WideLanes(1.0f) / sqrtOf(rw * rw + rx * rx + ry * ry + rz * rz);
    (rw * inverse).store(values[0]);
    (rx * inverse).store(values[1]);
    (ry * inverse).store(values[2]);
    (rz * inverse).store(values[3]);
    for (int lane = 0; lane < lanes; ++lane)
        orientations_[k[lane]] = {values[0][lane], values[1][lane], values[2][lane], values[3][lane]};
}

// The lines of the body that finishBody(k) writes: its velocities, its pose
// and its still time.
void ConstraintSolve::prefetchFinish(std::int32_t k) const
{
    const PhysicalObject& body = *bodies_[static_cast<std::size_t>(batches_.bodyOf(k))].object;
    prefetchForWrite(&body.velocity);
    prefetchForWrite(&body.transform.position);
    prefetchForWrite(&body.transform.dirty);
    prefetchForWrite(&body.solverMemory.stillTime);
}

// One awake body's pose and velocities back from the solver, and its still time.
void ConstraintSolve::finishBody(std::int32_t k)
{
    const SolverBody& solved = solverBodies_[k];
    const StepBody& entry = bodies_[static_cast<std::size_t>(batches_.bodyOf(k))];
    PhysicalObject& body = *entry.object;
    const Vector3 localCentre = entry.hulls ? entry.hulls->centreOfMass : Vector3();
    const Vector3 centre = entry.centre + solved.deltaPosition;
    body.transform.orientation = orientations_[k];
    body.transform.position =
        localCentre == Vector3() ? centre : centre - Math::toMatrix3(orientations_[k]) * localCentre;
    body.transform.dirty = true;
    body.velocity = solved.linearVelocity;
    body.angularVelocity = solved.angularVelocity;
    // A body being pushed out of an overlap ends each substep with the push's
    // speed taken back, so its velocities alone read still: how far it moved
    // over the step counts too, or it would fall asleep still overlapping.
    const float linearReach = sleepLinearSpeed * dt_;
    const float angularReach = sleepAngularSpeed * dt_;
    const bool still = body.velocity.squaredLength() < sleepLinearSpeed * sleepLinearSpeed &&
                       body.angularVelocity.squaredLength() < sleepAngularSpeed * sleepAngularSpeed &&
                       solved.deltaPosition.squaredLength() < linearReach * linearReach &&
                       solved.deltaRotation.squaredLength() < angularReach * angularReach;
    body.solverMemory.stillTime = still ? body.solverMemory.stillTime + dt_ : 0.0f;
    stillTimes_[k] = body.solverMemory.stillTime;
}

double ConstraintSolve::moveFreeChunk(std::size_t chunk)
{
    const Clock::time_point start = Clock::now();
    const std::vector<std::int32_t>& freeBodies = batches_.freeBodies();
    // Chunks go to whichever thread is free, so on several threads a body's
    // lines were often last read or written by the other one: they are asked
    // for a few bodies ahead (see WritePrefetch.h).
    const bool shared = pool_.threads() > 1;
    const std::size_t end = std::min(freeBodies.size(), (chunk + 1) * bodiesPerTask);
    const std::int32_t* first = freeBodies.data() + chunk * bodiesPerTask;
    const std::int32_t* last = freeBodies.data() + end;
    // Each body takes the same steps in the same order as alone; the chunk's
    // bodies take each substep together, so that they turn in the lanes.
    for (const std::int32_t* k = first; k != last; ++k)
        startBody(*k);
    for (int substep = 0; substep < substeps_; ++substep) {
        for (const std::int32_t* k = first; k != last; ++k)
            pushBody(*k, h_);
        moveBodies(first, last, h_);
    }
    for (const std::int32_t* k = first; k != last; ++k) {
        if (shared && last - k > static_cast<std::ptrdiff_t>(writeAheadBodies))
            prefetchFinish(k[writeAheadBodies]);
        finishBody(*k);
        if (!islands_.stillLongEnough(stillTimes_[*k]))
            rememberBody(static_cast<std::size_t>(batches_.bodyOf(*k)), false);
    }
    return microsecondsSince(start);
}

void ConstraintSolve::finishIslands(BodyRange range, bool parallel)
{
    // An island sleeps once every one of its bodies has been still long enough;
    // its bodies stop, so that sleeping leaves nothing moving. The still times
    // are read from the solver's compact list, not from the bodies. Islands
    // share no body, so their least still times are found on one thread.
    if (islands_.sleeping())
        for (const std::int32_t* k = range.first; k != range.last; ++k)
            islands_.addStillTime(batches_.bodyOf(*k), stillTimes_[*k]);
    const auto finish = [&](std::size_t from, std::size_t to) {
        for (std::size_t n = from; n < to; ++n) {
            const auto i = static_cast<std::size_t>(batches_.bodyOf(range.first[n]));
            rememberBody(i, islands_.fallsAsleep(i));
        }
    };
    const auto count = static_cast<std::size_t>(range.last - range.first);
    if (parallel)
        pool_.forEachEven(count, bodiesPerTask, finish);
    else
        finish(0, count);
}

std::int32_t ConstraintSolve::solverIndexOf(std::int32_t i) const
{
    const std::int32_t k = batches_.solverIndexOf(static_cast<std::size_t>(i));
    return k == noSolverBody && bodies_.kinematic(i) ? kinematicIndex_[static_cast<std::size_t>(i)] : k;
}

// A kinematic body's new pose: its centre of mass carried by its velocity and
// its orientation turned by its angular velocity over the whole step, the
// turn taken exactly (not as the substeps' small angles), so that a platform
// turning at a steady rate keeps its rate however long it runs.
void ConstraintSolve::moveKinematicBodies()
{
    for (const std::int32_t i : bodies_.kinematicBodies()) {
        const StepBody& entry = bodies_[static_cast<std::size_t>(i)];
        PhysicalObject& body = *entry.object;
        const Vector3 localCentre = entry.hulls ? entry.hulls->centreOfMass : Vector3();
        const Vector3 centre = entry.centre + body.velocity * dt_;
        Quaternion turned = Math::fromRotationVector(body.angularVelocity * dt_) * body.transform.orientation;
        const float length =
            std::sqrt(turned.w * turned.w + turned.x * turned.x + turned.y * turned.y + turned.z * turned.z);
        turned = {turned.w / length, turned.x / length, turned.y / length, turned.z / length};
        body.transform.orientation = turned;
        body.transform.position =
            localCentre == Vector3() ? centre : centre - Math::toMatrix3(turned) * localCentre;
        body.transform.dirty = true;
    }
}

void ConstraintSolve::finishBodies(ContactStepStatistics& statistics)
{
    moveKinematicBodies();
    // The batches finished their own bodies. Bodies touching nothing were only
    // moved, and those not still long enough to sleep finished as they moved:
    // the others' islands fall asleep here, as the batches' do.
    const std::int32_t grouped = batches_.grouped();
    if (islands_.sleeping()) {
        const auto solved = static_cast<std::int32_t>(batches_.solverBodyCount());
        for (std::int32_t k = grouped; k < solved; ++k)
            islands_.addStillTime(batches_.bodyOf(k), stillTimes_[k]);
    }

    // Then every other body on the pool's threads, in the split that examines
    // them at the next step's start: the free bodies and those that did not
    // move (asleep, or fixed) remember the step.
    std::atomic<int> sleeping{0};
    const auto finishedHere = [&](std::size_t i) {
        const std::int32_t k = batches_.solverIndexOf(i);
        return k == noSolverBody || (k >= grouped && islands_.stillLongEnough(stillTimes_[k]));
    };
    // On several threads the lines of a body were last written by another
    // thread: they are asked for a few bodies ahead (see WritePrefetch.h).
    const bool shared = pool_.threads() > 1;
    pool_.forEachEven(bodies_.size(), bodiesPerTask, [&](std::size_t from, std::size_t to) {
        int sleepers = 0;
        for (std::size_t i = from; i < to; ++i) {
            if (shared && i + writeAheadBodies < to && finishedHere(i + writeAheadBodies))
                bodies_.prefetchRemembering(i + writeAheadBodies, clearingForces_);
            if (finishedHere(i))
                rememberBody(i, batches_.solverIndexOf(i) != noSolverBody && islands_.fallsAsleep(i));
            sleepers += bodies_.asleep(static_cast<std::int32_t>(i)) ? 1 : 0;
        }
        sleeping += sleepers;
    });
    statistics.sleepingBodies = sleeping;

    // The pairs pressed together: the batches counted theirs; the pairs of no
    // batch (at rest, or of bodies touching nothing) are counted here.
    int touching = 0;
    for (const int batchTouching : batchTouching_)
        touching += batchTouching;
    for (const PairContact& pair : contacts_.pairs())
        if (pair.firstConstraint < 0 && contacts_.pressed(pair))
            ++touching;
    statistics.touchingPairs = touching;
}

} // namespace Tolvane::Physics
