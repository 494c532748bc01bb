// Jolt on our scene files with what the shared jolt-native peer leaves out: fixed concave parts as
// MeshShapes, joints, per-body materials, kinematic bodies, collision layers, and the deepest
// penetration into fixed bodies. Convex models and everything else are built by the shared
// peer's own code, included here with its main renamed.
#include "scene_extras.h"

#define main shared_jolt_main
#include "jolt_native_peer.cpp"
#undef main

#include <Jolt/Physics/Collision/ContactListener.h>
#include <Jolt/Physics/Collision/GroupFilter.h>
#include <Jolt/Physics/Collision/Shape/MeshShape.h>
#include <Jolt/Physics/Constraints/DistanceConstraint.h>
#include <Jolt/Physics/Constraints/FixedConstraint.h>
#include <Jolt/Physics/Constraints/HingeConstraint.h>
#include <Jolt/Physics/Constraints/PointConstraint.h>
#include <Jolt/Physics/Constraints/SliderConstraint.h>

#include <mutex>
#include <set>

// ---- Materials, layers and joined pairs -----------------------------------------------------

static Combine g_friction_rule = Combine::GeometricMean, g_restitution_rule = Combine::Max;
static float combined_friction(const JPH::Body& a, const SubShapeID&, const JPH::Body& b, const SubShapeID&)
{
    return (float)combine(g_friction_rule, a.GetFriction(), b.GetFriction());
}
static float combined_restitution(const JPH::Body& a, const SubShapeID&, const JPH::Body& b,
                                  const SubShapeID&)
{
    return (float)combine(g_restitution_rule, a.GetRestitution(), b.GetRestitution());
}

// Every body is in one collision group whose sub-group is its index in the scene: two bodies
// collide when their layers and masks allow it and no joint between them turns it off.
class SceneFilter : public GroupFilter {
  public:
    SceneFilter(const Extras& extras) : extras_(extras)
    {
        for (const Joint& j : extras.joints)
            if (!j.collide && j.second >= 0)
                apart_.insert({std::min(j.first, j.second), std::max(j.first, j.second)});
    }
    bool CanCollide(const CollisionGroup& a, const CollisionGroup& b) const override
    {
        const int i = (int)a.GetSubGroupID(), j = (int)b.GetSubGroupID();
        return extras_.may_collide(i, j) && apart_.count({std::min(i, j), std::max(i, j)}) == 0;
    }

  private:
    const Extras& extras_;
    std::set<std::pair<int, int>> apart_;
};

// The deepest penetration between a fixed body and a movable one, from each contact Jolt finds.
class PenetrationListener : public ContactListener {
  public:
    void OnContactAdded(const JPH::Body& a, const JPH::Body& b, const ContactManifold& m,
                        ContactSettings&) override
    {
        note(a, b, m);
    }
    void OnContactPersisted(const JPH::Body& a, const JPH::Body& b, const ContactManifold& m,
                            ContactSettings&) override
    {
        note(a, b, m);
    }

  private:
    static void note(const JPH::Body& a, const JPH::Body& b, const ContactManifold& m)
    {
        if (a.IsStatic() != b.IsStatic() && (a.IsDynamic() || b.IsDynamic()))
            note_penetration(m.mPenetrationDepth);
    }
};

// ---- Fixed models with concave parts --------------------------------------------------------

// A fixed model whose concave parts are MeshShapes (Jolt's default settings: its active edges,
// so that seams between triangles in one plane give no edge contacts) and whose other parts are
// boxes and hulls as the shared peer makes them. The body's position is the model origin.
static JoltModel make_fixed_mesh_shape(const Model& m, const MeshParts& mesh)
{
    auto made = [](const ShapeSettings& s) {
        ShapeSettings::ShapeResult r = s.Create();
        if (r.HasError())
            throw std::runtime_error(std::string(r.GetError().c_str()));
        return r.Get();
    };
    auto part_settings = [&](size_t k, Vec3& at) -> ShapeSettings* {
        const Part& p = m.parts[k];
        V3 centre, half;
        at = Vec3::sZero();
        if (mesh.mesh[k]) {
            VertexList vertices;
            for (const V3& v : p.verts)
                vertices.push_back(Float3((float)v[0], (float)v[1], (float)v[2]));
            IndexedTriangleList triangles;
            for (const auto& t : mesh.triangles[k].triangles)
                triangles.push_back(IndexedTriangle(t[0], t[1], t[2]));
            return new MeshShapeSettings(vertices, triangles);
        }
        if (box_part(p, centre, half)) {
            at = Vec3(centre[0], centre[1], centre[2]);
            return new BoxShapeSettings(Vec3(half[0], half[1], half[2]));
        }
        Array<Vec3> points;
        for (const V3& v : p.verts)
            points.push_back(Vec3(v[0], v[1], v[2]));
        return new ConvexHullShapeSettings(points);
    };
    JoltModel out;
    if (m.parts.size() == 1) {
        Vec3 at;
        Ref<ShapeSettings> settings = part_settings(0, at);
        out.shape = made(*settings);
        out.centre = at;
        return out;
    }
    StaticCompoundShapeSettings compound;
    compound.SetEmbedded();
    for (size_t k = 0; k < m.parts.size(); ++k) {
        Vec3 at;
        ShapeSettings* settings = part_settings(k, at);
        compound.AddShape(at, Quat::sIdentity(), settings);
    }
    out.shape = made(compound);
    return out;
}

// ---- Joints ---------------------------------------------------------------------------------

// A direction at right angles to a unit vector.
static Vec3 normal_to(Vec3 axis)
{
    return axis.GetNormalizedPerpendicular();
}

static Vec3 vec(const V3& v)
{
    return Vec3((float)v[0], (float)v[1], (float)v[2]);
}

// Jolt measures a hinge's angle and a slider's position as its second body's relative to its
// first, ours as the first body's relative to the second: our first body is Jolt's second.
static Array<Ref<Constraint>> make_joint(const Joint& j, JPH::Body& first, JPH::Body& second,
                                         const char* scene)
{
    Array<Ref<Constraint>> made;
    const RVec3 anchor(j.anchor[0], j.anchor[1], j.anchor[2]);
    switch (j.type) {
    case JointType::Ball: {
        PointConstraintSettings s;
        s.mSpace = EConstraintSpace::WorldSpace;
        s.mPoint1 = s.mPoint2 = anchor;
        made.push_back(s.Create(second, first));
        break;
    }
    case JointType::Hinge: {
        HingeConstraintSettings s;
        s.mSpace = EConstraintSpace::WorldSpace;
        s.mPoint1 = s.mPoint2 = anchor;
        s.mHingeAxis1 = s.mHingeAxis2 = vec(j.axis);
        s.mNormalAxis1 = s.mNormalAxis2 = normal_to(vec(j.axis));
        if (j.limited) {
            // Jolt's hinge limits hold 0 between them, within half a turn either way.
            const double low = std::clamp(j.low, -M_PI, 0.0), high = std::clamp(j.high, 0.0, M_PI);
            if (low != j.low || high != j.high)
                fprintf(stderr,
                        "%s: joint %s: Jolt's hinge limits must hold 0 within half a turn: [%g, %g] used\n",
                        scene, j.name.c_str(), low, high);
            s.mLimitsMin = (float)low, s.mLimitsMax = (float)high;
        }
        if (j.motor)
            s.mMotorSettings.SetTorqueLimit((float)j.motor_max);
        auto* hinge = static_cast<HingeConstraint*>(s.Create(second, first));
        if (j.motor)
            hinge->SetMotorState(EMotorState::Velocity),
                hinge->SetTargetAngularVelocity((float)j.motor_speed);
        made.push_back(hinge);
        break;
    }
    case JointType::Fixed: {
        FixedConstraintSettings s;
        s.mSpace = EConstraintSpace::WorldSpace;
        s.mAutoDetectPoint = false;
        s.mPoint1 = s.mPoint2 = anchor;
        made.push_back(s.Create(second, first));
        break;
    }
    case JointType::Slider: {
        SliderConstraintSettings s;
        s.mSpace = EConstraintSpace::WorldSpace;
        s.mAutoDetectPoint = false;
        s.mPoint1 = s.mPoint2 = anchor;
        s.mSliderAxis1 = s.mSliderAxis2 = vec(j.axis);
        s.mNormalAxis1 = s.mNormalAxis2 = normal_to(vec(j.axis));
        if (j.limited) {
            const double low = std::min(j.low, 0.0), high = std::max(j.high, 0.0);
            if (low != j.low || high != j.high)
                fprintf(stderr, "%s: joint %s: Jolt's slider limits must hold 0: [%g, %g] used\n", scene,
                        j.name.c_str(), low, high);
            s.mLimitsMin = (float)low, s.mLimitsMax = (float)high;
        }
        if (j.motor)
            s.mMotorSettings.SetForceLimit((float)j.motor_max);
        auto* slider = static_cast<SliderConstraint*>(s.Create(second, first));
        if (j.motor)
            slider->SetMotorState(EMotorState::Velocity), slider->SetTargetVelocity((float)j.motor_speed);
        made.push_back(slider);
        break;
    }
    case JointType::Distance: {
        // The range is held hard; a spring is a second distance constraint held at `length`
        // softly, since Jolt's own spring softens the range's ends instead.
        DistanceConstraintSettings s;
        s.mSpace = EConstraintSpace::WorldSpace;
        s.mPoint1 = RVec3(j.anchors[1][0], j.anchors[1][1], j.anchors[1][2]);
        s.mPoint2 = RVec3(j.anchors[0][0], j.anchors[0][1], j.anchors[0][2]);
        s.mMinDistance = (float)j.min, s.mMaxDistance = (float)j.max;
        made.push_back(s.Create(second, first));
        if (j.spring && j.min < j.max) {
            s.mMinDistance = s.mMaxDistance = (float)j.length;
            s.mLimitsSpringSettings =
                SpringSettings(ESpringMode::FrequencyAndDamping, (float)j.frequency, (float)j.damping_ratio);
            made.push_back(s.Create(second, first));
        }
        break;
    }
    }
    return made;
}

int main(int argc, char** argv)
{
    Args a = parse_args(argc, argv);
    Extras extras;
    const Scene scene = make_scene_with_extras(a, extras);
    g_friction_rule = extras.friction_combine, g_restitution_rule = extras.restitution_combine;
    RegisterDefaultAllocator();
    Factory::sInstance = new Factory();
    RegisterTypes();

    // The shared peer's layers: fixed bodies in one, movable and kinematic ones in the other.
    const ObjectLayer NON_MOVING = 0, MOVING = 1;
    ObjectLayerPairFilterTable pairs(2);
    pairs.EnableCollision(NON_MOVING, MOVING);
    pairs.EnableCollision(MOVING, MOVING);
    BroadPhaseLayerInterfaceTable bp_layers(2, 2);
    bp_layers.MapObjectToBroadPhaseLayer(NON_MOVING, BroadPhaseLayer(0));
    bp_layers.MapObjectToBroadPhaseLayer(MOVING, BroadPhaseLayer(1));
    ObjectVsBroadPhaseLayerFilterTable object_vs_bp(bp_layers, 2, pairs, 2);
    const uint n = (uint)scene.bodies.size();
    PhysicsSystem system;
    system.Init(std::max(10240u, n), 0, std::max(65536u, 8 * n), std::max(10240u, 8 * n), bp_layers,
                object_vs_bp, pairs);
    system.SetGravity(Vec3(scene.gravity[0], scene.gravity[1], scene.gravity[2]));
    PhysicsSettings settings;
    if (scene.restitution_threshold)
        settings.mMinVelocityForRestitution = *scene.restitution_threshold;
    system.SetPhysicsSettings(settings);
    system.SetCombineFriction(combined_friction);
    system.SetCombineRestitution(combined_restitution);
    PenetrationListener listener;
    system.SetContactListener(&listener);
    TempAllocatorImpl temp(std::max<size_t>(10 << 20, size_t(n) * 16384));
    std::unique_ptr<JobSystem> jobs;
    if (a.threads == 1)
        jobs.reset(new JobSystemSingleThreaded(cMaxPhysicsJobs));
    else
        jobs.reset(new JobSystemThreadPool(cMaxPhysicsJobs, cMaxPhysicsBarriers, a.threads - 1));

    // Shapes as the shared peer makes them; a fixed body of a model with concave parts gets the
    // mesh shape instead (a movable one keeps the hulls, as in every engine).
    std::vector<JoltModel> shapes(scene.models.size()), fixed_meshes(scene.models.size());
    std::vector<bool> has_mesh(scene.models.size());
    for (size_t i = 0; i < scene.models.size(); ++i) {
        const Model& m = scene.models[i];
        bool fixed_use = false, movable_use = false;
        for (const ::Body& b : scene.bodies)
            if (b.model == (int)i)
                (b.fixed ? fixed_use : movable_use) = true;
        try {
            if (fixed_use) {
                const MeshParts mesh = mesh_parts(m);
                if ((has_mesh[i] = mesh.any()))
                    fixed_meshes[i] = make_fixed_mesh_shape(m, mesh);
            }
            if (movable_use || !has_mesh[i])
                shapes[i] = make_shape(m);
        } catch (const std::runtime_error& e) {
            fprintf(stderr, "%s: %s\n", m.path.c_str(), e.what());
            return 2;
        }
    }
    auto shape_of = [&](size_t i) -> const JoltModel& {
        const ::Body& b = scene.bodies[i];
        return b.fixed && has_mesh[b.model] ? fixed_meshes[b.model] : shapes[b.model];
    };

    Ref<SceneFilter> filter = new SceneFilter(extras);
    BodyInterface& bi = system.GetBodyInterface();
    std::vector<JPH::Body*> bodies;
    for (size_t i = 0; i < scene.bodies.size(); ++i) {
        const ::Body& b = scene.bodies[i];
        const Material& m = extras.bodies[i];
        const JoltModel& s = shape_of(i);
        const Quat q(b.q[1], b.q[2], b.q[3], b.q[0]);
        RVec3 at(b.p[0], b.p[1], b.p[2]);
        if (s.centre != Vec3::sZero())
            at += q * s.centre;
        const EMotionType motion = b.fixed       ? EMotionType::Static
                                   : m.kinematic ? EMotionType::Kinematic
                                                 : EMotionType::Dynamic;
        BodyCreationSettings cs(s.shape, at, q, motion, b.fixed ? NON_MOVING : MOVING);
        cs.mFriction = (float)m.friction, cs.mRestitution = (float)m.restitution;
        cs.mCollisionGroup = CollisionGroup(filter, 0, (CollisionGroup::SubGroupID)i);
        if (!b.fixed) {
            if (!m.kinematic) {
                cs.mOverrideMassProperties = EOverrideMassProperties::CalculateInertia;
                cs.mMassPropertiesOverride.mMass = b.mass;
            }
            cs.mLinearDamping = 0, cs.mAngularDamping = 0;
            cs.mAllowSleeping = a.sleep != 0 && !m.kinematic;
            cs.mLinearVelocity = Vec3(b.v[0], b.v[1], b.v[2]);
            cs.mAngularVelocity = Vec3(b.w[0], b.w[1], b.w[2]);
        }
        bodies.push_back(bi.CreateBody(cs));
        if (!bodies.back()) {
            fprintf(stderr, "jolt-native: out of bodies\n");
            return 1;
        }
        bi.AddBody(bodies.back()->GetID(), b.fixed ? EActivation::DontActivate : EActivation::Activate);
    }
    Array<Ref<Constraint>> constraints;
    for (const Joint& j : extras.joints) {
        JPH::Body& second = j.second < 0 ? JPH::Body::sFixedToWorld : *bodies[j.second];
        for (const Ref<Constraint>& c : make_joint(j, *bodies[j.first], second, a.scene.c_str())) {
            system.AddConstraint(c);
            constraints.push_back(c);
        }
    }
    system.OptimizeBroadPhase();

    std::vector<State> states(bodies.size());
    auto read = [&]() -> const std::vector<State>& { // every body, in scene order
        for (size_t i = 0; i < bodies.size(); ++i) {
            const JPH::Body& b = *bodies[i];
            const Quat q = b.GetRotation();
            const RVec3 p = b.GetPosition() - q * shape_of(i).centre;
            const Vec3 v = b.GetLinearVelocity(), w = b.GetAngularVelocity();
            states[i] = {{(float)p.GetX(), (float)p.GetY(), (float)p.GetZ()},
                         {q.GetW(), q.GetX(), q.GetY(), q.GetZ()},
                         {v.GetX(), v.GetY(), v.GetZ()},
                         {w.GetX(), w.GetY(), w.GetZ()}};
        }
        return states;
    };
    JointGaps gaps(scene, extras.joints);
    Outputs out(a, scene);
    out.r.threads = a.threads;
    out.record(0, read());
    for (int s = 1; s <= a.steps; ++s) {
        auto t0 = std::chrono::steady_clock::now();
        system.Update(kDt, 1, &temp, jobs.get()); // one collision step of kDt
        auto t1 = std::chrono::steady_clock::now();
        out.r.wall += std::chrono::duration<double>(t1 - t0).count();
        ++out.r.internal_steps;
        out.record(s, read());
        gaps.record(states);
    }
    const std::string version = std::to_string(JPH_VERSION_MAJOR) + "." + std::to_string(JPH_VERSION_MINOR) +
                                "." + std::to_string(JPH_VERSION_PATCH) + "-" + JOLT_COMMIT;
    out.finish("jolt-native", version.c_str(), read());
    for (const Ref<Constraint>& c : constraints)
        system.RemoveConstraint(c);
    for (JPH::Body* b : bodies)
        bi.RemoveBody(b->GetID()), bi.DestroyBody(b->GetID());
    UnregisterTypes();
    delete Factory::sInstance;
    Factory::sInstance = nullptr;
    return 0;
}
