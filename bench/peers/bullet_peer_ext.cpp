// Bullet on our scene files with what the shared Bullet peer leaves out: fixed concave parts as
// triangle meshes, joints, per-body materials, kinematic bodies, collision layers, and the
// deepest penetration into fixed bodies. Convex models and everything else are built by the
// shared peer's own code, included here with its main renamed.
#include "scene_extras.h"

#define main shared_bullet_main
#include "bullet_peer.cpp" // the shared one: this file has another name
#undef main

#include <BulletCollision/CollisionDispatch/btInternalEdgeUtility.h>
#include <BulletCollision/CollisionShapes/btTriangleInfoMap.h>
#include <LinearMath/btTransformUtil.h>

// ---- Materials ------------------------------------------------------------------------------

// Bullet combines two bodies' coefficients through these two hooks; each body keeps its own.
static Combine g_friction_rule = Combine::GeometricMean, g_restitution_rule = Combine::Max;
static btScalar combined_friction(const btCollisionObject* a, const btCollisionObject* b)
{
    return (btScalar)combine(g_friction_rule, a->getFriction(), b->getFriction());
}
static btScalar combined_restitution(const btCollisionObject* a, const btCollisionObject* b)
{
    return (btScalar)combine(g_restitution_rule, a->getRestitution(), b->getRestitution());
}

// Bullet's internal-edge utility: a contact on a triangle of a mesh whose normal comes from an
// edge shared with a neighbour in the same plane (or a valley) is turned to the triangle's
// normal, so that bodies slide across seams without catching. It runs on contacts added with a
// body flagged CF_CUSTOM_MATERIAL_CALLBACK, our fixed mesh bodies.
static bool g_internal_edges = true;
static bool mend_internal_edge(btManifoldPoint& cp, const btCollisionObjectWrapper* a, int part_a,
                               int index_a, const btCollisionObjectWrapper* b, int part_b, int index_b)
{
    if (!g_internal_edges)
        return true;
    btAdjustInternalEdgeContacts(cp, b, a, part_b, index_b); // each returns at once unless its
    btAdjustInternalEdgeContacts(cp, a, b, part_a, index_a); // first object is the triangle
    return true;
}

// ---- Fixed models with concave parts --------------------------------------------------------

// Triangles for Bullet's btBvhTriangleMeshShape, kept alive as long as the shape.
struct MeshStorage {
    std::vector<btScalar> vertices;
    std::vector<int> indices;
    std::unique_ptr<btTriangleIndexVertexArray> array;
    std::unique_ptr<btTriangleInfoMap> edges;
};

// A fixed model whose concave parts are triangle meshes and whose other parts are boxes and
// hulls as the shared peer makes them; the body frame is the model's own.
static Shape make_fixed_mesh_shape(const Model& m, const MeshParts& mesh,
                                   std::vector<std::unique_ptr<MeshStorage>>& keep)
{
    Shape s;
    const size_t n = m.parts.size();
    btCompoundShape* compound = n > 1 ? new btCompoundShape() : nullptr;
    for (size_t k = 0; k < n; ++k) {
        const Part& p = m.parts[k];
        btTransform at = btTransform::getIdentity();
        V3 centre, half;
        if (mesh.mesh[k]) {
            auto storage = std::make_unique<MeshStorage>();
            for (const V3& v : p.verts)
                for (double c : v)
                    storage->vertices.push_back((btScalar)c);
            for (const auto& t : mesh.triangles[k].triangles)
                storage->indices.insert(storage->indices.end(), t.begin(), t.end());
            storage->array = std::make_unique<btTriangleIndexVertexArray>(
                (int)mesh.triangles[k].triangles.size(), storage->indices.data(), 3 * (int)sizeof(int),
                (int)p.verts.size(), storage->vertices.data(), 3 * (int)sizeof(btScalar));
            auto* shape = new btBvhTriangleMeshShape(storage->array.get(), true);
            storage->edges = std::make_unique<btTriangleInfoMap>();
            btGenerateInternalEdgeInfo(shape, storage->edges.get());
            s.own.emplace_back(shape);
            keep.push_back(std::move(storage));
        } else if (box_part(p, centre, half)) {
            s.own.emplace_back(box_shape(half));
            at.setOrigin(btVector3(centre[0], centre[1], centre[2]));
        } else {
            auto* shape = new btConvexHullShape();
            for (const V3& v : p.verts)
                shape->addPoint(btVector3(v[0], v[1], v[2]), false);
            shape->recalcLocalAabb();
            shape->initializePolyhedralFeatures();
            s.own.emplace_back(shape);
        }
        if (compound)
            compound->addChildShape(at, s.own.back().get());
        else
            s.frame = at;
    }
    if (compound)
        s.own.emplace_back(compound);
    return s;
}

// ---- Joints ---------------------------------------------------------------------------------

// Bullet has no distance constraint with a range, so this is one: a single row along the line
// between the two points, acting only when the distance reaches min (pushing) or max (pulling),
// both ways when they are equal. Rows are written as Bullet's point-to-point constraint writes
// them, the error corrected at the solver's error-reduction rate.
class DistanceRange : public btTypedConstraint {
  public:
    DistanceRange(btRigidBody& a, btRigidBody& b, const btVector3& in_a, const btVector3& in_b, btScalar min,
                  btScalar max)
        : btTypedConstraint(POINT2POINT_CONSTRAINT_TYPE, a, b), in_a_(in_a), in_b_(in_b), min_(min), max_(max)
    {
    }
    void getInfo1(btConstraintInfo1* info) override
    {
        measure();
        const bool active = length_ > 1e-6f && (min_ == max_ || length_ <= min_ || length_ >= max_);
        info->m_numConstraintRows = active ? 1 : 0;
        info->nub = active ? 5 : 6;
    }
    void getInfo2(btConstraintInfo2* info) override
    {
        measure();
        const btVector3 ra = pa_ - m_rbA.getCenterOfMassPosition(),
                        rb = pb_ - m_rbB.getCenterOfMassPosition();
        // A positive impulse moves the first point towards the second: it shortens the distance.
        for (int i = 0; i < 3; ++i) {
            info->m_J1linearAxis[i] = normal_[i], info->m_J2linearAxis[i] = -normal_[i];
            info->m_J1angularAxis[i] = ra.cross(normal_)[i], info->m_J2angularAxis[i] = -rb.cross(normal_)[i];
        }
        const btScalar rate = info->fps * info->erp;
        if (min_ == max_) {
            info->m_constraintError[0] = rate * (length_ - min_);
        } else if (length_ >= max_) {
            info->m_constraintError[0] = rate * (length_ - max_);
            info->m_lowerLimit[0] = 0, info->m_upperLimit[0] = SIMD_INFINITY;
        } else {
            info->m_constraintError[0] = rate * (length_ - min_);
            info->m_lowerLimit[0] = -SIMD_INFINITY, info->m_upperLimit[0] = 0;
        }
    }
    void setParam(int, btScalar, int) override {}
    btScalar getParam(int, int) const override { return 0; }

  private:
    void measure()
    {
        pa_ = m_rbA.getCenterOfMassTransform() * in_a_, pb_ = m_rbB.getCenterOfMassTransform() * in_b_;
        const btVector3 d = pb_ - pa_;
        length_ = d.length();
        if (length_ > 1e-6f)
            normal_ = d / length_;
    }
    btVector3 in_a_, in_b_, pa_, pb_, normal_{1, 0, 0};
    btScalar min_, max_, length_ = 0;
};

// A distance joint's spring, pulling the two points towards `length` with the given frequency and
// damping ratio over the pair's mass along the line. Applied as a force before each step (Bullet
// clears forces after every step).
struct DistanceSpring {
    btRigidBody *a, *b;
    btVector3 in_a, in_b;
    btScalar length, stiffness, damping;
    void apply() const
    {
        const btVector3 pa = a->getCenterOfMassTransform() * in_a, pb = b->getCenterOfMassTransform() * in_b;
        const btVector3 d = pb - pa;
        const btScalar distance = d.length();
        if (distance < 1e-6f)
            return;
        const btVector3 n = d / distance;
        const btVector3 ra = pa - a->getCenterOfMassPosition(), rb = pb - b->getCenterOfMassPosition();
        const btScalar speed = n.dot(b->getVelocityInLocalPoint(rb) - a->getVelocityInLocalPoint(ra));
        const btVector3 pull = n * (stiffness * (distance - length) + damping * speed);
        if (!a->isStaticOrKinematicObject())
            a->activate(), a->applyForce(pull, ra);
        if (!b->isStaticOrKinematicObject())
            b->activate(), b->applyForce(-pull, rb);
    }
};

// A frame at a world point whose z axis is the given direction (Bullet's hinges turn about z), in
// a body's frame.
static btTransform frame_in(const btRigidBody& body, const V3& point, const V3& axis = {0, 0, 1})
{
    const btVector3 z(axis[0], axis[1], axis[2]);
    btVector3 x, y;
    btPlaneSpace1(z, x, y);
    const btMatrix3x3 basis(x[0], y[0], z[0], x[1], y[1], z[1], x[2], y[2], z[2]);
    return body.getCenterOfMassTransform().inverse() *
           btTransform(basis, btVector3(point[0], point[1], point[2]));
}

// The same with the slider's direction as x (Bullet's sliders move along x).
static btTransform slider_frame_in(const btRigidBody& body, const V3& point, const V3& axis)
{
    const btVector3 x(axis[0], axis[1], axis[2]);
    btVector3 y, z;
    btPlaneSpace1(x, y, z);
    const btMatrix3x3 basis(x[0], y[0], z[0], x[1], y[1], z[1], x[2], y[2], z[2]);
    return body.getCenterOfMassTransform().inverse() *
           btTransform(basis, btVector3(point[0], point[1], point[2]));
}

int main(int argc, char** argv)
{
    Args a = parse_args(argc, argv);
    Extras extras;
    const Scene scene = make_scene_with_extras(a, extras);
    if (const char* edges = getenv("PEERS_BULLET_INTERNAL_EDGES"))
        g_internal_edges = std::string(edges) != "0";
    g_friction_rule = extras.friction_combine, g_restitution_rule = extras.restitution_combine;
    // When every body has the same coefficients under the default rules, every pair gets them
    // as they are; they are then set as the shared peer sets them (the square root on every body,
    // Bullet's own product), so that such a scene gives exactly the shared peer's figures.
    bool uniform =
        extras.friction_combine == Combine::GeometricMean && extras.restitution_combine == Combine::Max;
    for (const Material& m : extras.bodies)
        uniform = uniform && m.friction == extras.bodies[0].friction &&
                  m.restitution == extras.bodies[0].restitution;
    if (!uniform) {
        gCalculateCombinedFrictionCallback = combined_friction;
        gCalculateCombinedRestitutionCallback = combined_restitution;
    }
    gContactAddedCallback = mend_internal_edge;

    btDefaultCollisionConfiguration cfg;
    btCollisionDispatcher disp(&cfg);
    btDbvtBroadphase bp;
    btSequentialImpulseConstraintSolver solver;
    btDiscreteDynamicsWorld world(&disp, &bp, &solver, &cfg);
    world.setGravity(btVector3(scene.gravity[0], scene.gravity[1], scene.gravity[2]));
    if (scene.restitution_threshold)
        world.getSolverInfo().m_restitutionVelocityThreshold = *scene.restitution_threshold;

    // Shapes as the shared peer makes them; a fixed body of a model with concave parts gets the
    // mesh shape instead (a movable one keeps the hulls, as in every engine).
    std::vector<Shape> shapes(scene.models.size()), fixed_meshes(scene.models.size());
    std::vector<bool> has_mesh(scene.models.size());
    std::vector<std::unique_ptr<MeshStorage>> storage;
    for (size_t i = 0; i < shapes.size(); ++i) {
        const Model& m = scene.models[i];
        bool fixed_use = false, movable_use = false;
        for (const Body& b : scene.bodies)
            if (b.model == (int)i)
                (b.fixed ? fixed_use : movable_use) = true;
        try {
            if (fixed_use) {
                const MeshParts mesh = mesh_parts(m);
                if ((has_mesh[i] = mesh.any()))
                    fixed_meshes[i] = make_fixed_mesh_shape(m, mesh, storage);
            }
            if (movable_use || !has_mesh[i])
                shapes[i] = make_shape(m);
        } catch (const std::runtime_error& e) {
            fprintf(stderr, "%s: %s\n", m.path.c_str(), e.what());
            return 2;
        }
    }
    auto shape_of = [&](size_t i) -> const Shape& {
        const Body& b = scene.bodies[i];
        return b.fixed && has_mesh[b.model] ? fixed_meshes[b.model] : shapes[b.model];
    };

    std::vector<std::unique_ptr<btRigidBody>> bodies;
    for (size_t i = 0; i < scene.bodies.size(); ++i) {
        const Body& b = scene.bodies[i];
        const Material& m = extras.bodies[i];
        const Shape& s = shape_of(i);
        btVector3 inertia(0, 0, 0);
        if (b.mass > 0 && s.box)
            s.get()->calculateLocalInertia(b.mass, inertia);
        else if (b.mass > 0)
            inertia = b.mass * s.unit_inertia;
        btRigidBody::btRigidBodyConstructionInfo ci(b.mass, nullptr, s.get(), inertia);
        const btTransform model(btQuaternion(b.q[1], b.q[2], b.q[3], b.q[0]),
                                btVector3(b.p[0], b.p[1], b.p[2]));
        ci.m_startWorldTransform = model * s.frame;
        ci.m_restitution = (btScalar)(uniform ? std::sqrt(m.restitution) : m.restitution);
        ci.m_friction = (btScalar)(uniform ? std::sqrt(m.friction) : m.friction);
        bodies.emplace_back(new btRigidBody(ci));
        btRigidBody& body = *bodies.back();
        body.setLinearVelocity(btVector3(b.v[0], b.v[1], b.v[2]));
        body.setAngularVelocity(btVector3(b.w[0], b.w[1], b.w[2]));
        if (b.fixed && has_mesh[b.model])
            body.setCollisionFlags(body.getCollisionFlags() | btCollisionObject::CF_CUSTOM_MATERIAL_CALLBACK);
        if (m.kinematic) {
            body.setCollisionFlags(body.getCollisionFlags() | btCollisionObject::CF_KINEMATIC_OBJECT);
            body.setActivationState(DISABLE_DEACTIVATION);
        } else if (!a.sleep && !b.fixed) {
            body.setActivationState(DISABLE_DEACTIVATION);
        }
        // Bullet's filter is the same rule as ours: each one's mask holds the other's group.
        world.addRigidBody(&body, (int)(1u << m.layer), (int)m.mask);
    }

    std::vector<DistanceSpring> springs;
    std::vector<std::unique_ptr<btTypedConstraint>> constraints;
    for (const Joint& j : extras.joints) {
        btRigidBody& first = *bodies[j.first];
        btRigidBody& second = j.second < 0 ? btTypedConstraint::getFixedBody() : *bodies[j.second];
        const btVector3 anchor(j.anchor[0], j.anchor[1], j.anchor[2]);
        btTypedConstraint* c = nullptr;
        switch (j.type) {
        case JointType::Ball:
            c = new btPoint2PointConstraint(first, second,
                                            first.getCenterOfMassTransform().inverse() * anchor,
                                            second.getCenterOfMassTransform().inverse() * anchor);
            break;
        case JointType::Hinge: {
            auto* hinge = new btHingeConstraint(first, second, frame_in(first, j.anchor, j.axis),
                                                frame_in(second, j.anchor, j.axis));
            if (j.limited)
                hinge->setLimit((btScalar)j.low, (btScalar)j.high);
            if (j.motor)
                hinge->enableAngularMotor(true, (btScalar)j.motor_speed, (btScalar)(j.motor_max * kDt));
            c = hinge;
            break;
        }
        case JointType::Fixed:
            c = new btFixedConstraint(first, second, frame_in(first, j.anchor), frame_in(second, j.anchor));
            break;
        case JointType::Slider: {
            // Bullet measures the slider's position as its second body's along the axis, so the
            // bodies go in turned round: the position is then the first's relative to the second.
            auto* slider = new btSliderConstraint(second, first, slider_frame_in(second, j.anchor, j.axis),
                                                  slider_frame_in(first, j.anchor, j.axis), true);
            slider->setLowerAngLimit(0), slider->setUpperAngLimit(0);
            if (j.limited)
                slider->setLowerLinLimit((btScalar)j.low), slider->setUpperLinLimit((btScalar)j.high);
            else
                slider->setLowerLinLimit(1), slider->setUpperLinLimit(-1); // lower above upper: free
            if (j.motor) {
                slider->setPoweredLinMotor(true);
                slider->setTargetLinMotorVelocity((btScalar)j.motor_speed);
                slider->setMaxLinMotorForce((btScalar)j.motor_max);
            }
            c = slider;
            break;
        }
        case JointType::Distance: {
            const btVector3 pa(j.anchors[0][0], j.anchors[0][1], j.anchors[0][2]);
            const btVector3 pb(j.anchors[1][0], j.anchors[1][1], j.anchors[1][2]);
            const btVector3 in_a = first.getCenterOfMassTransform().inverse() * pa;
            const btVector3 in_b = second.getCenterOfMassTransform().inverse() * pb;
            c = new DistanceRange(first, second, in_a, in_b, (btScalar)j.min, (btScalar)j.max);
            if (j.spring && j.min < j.max) {
                const double inverse = first.getInvMass() + second.getInvMass();
                const double mass = inverse > 0 ? 1 / inverse : 0, omega = 2 * M_PI * j.frequency;
                springs.push_back({&first, &second, in_a, in_b, (btScalar)j.length,
                                   (btScalar)(mass * omega * omega),
                                   (btScalar)(2 * mass * j.damping_ratio * omega)});
            }
            break;
        }
        }
        constraints.emplace_back(c);
        world.addConstraint(c, !j.collide); // true: the joined bodies do not collide
    }

    // Kinematic bodies move by their velocity, set here before each step.
    std::vector<size_t> kinematic;
    for (size_t i = 0; i < bodies.size(); ++i)
        if (extras.bodies[i].kinematic)
            kinematic.push_back(i);
    auto move_kinematic = [&] {
        for (size_t i : kinematic) {
            btRigidBody& b = *bodies[i];
            btTransform next;
            btTransformUtil::integrateTransform(b.getWorldTransform(), b.getLinearVelocity(),
                                                b.getAngularVelocity(), kDt, next);
            b.setWorldTransform(next); // Bullet works the velocity out again from the move
        }
    };

    // The deepest contact between a fixed body and a movable one, from the manifolds after a step.
    auto deepest = [&] {
        for (int m = 0; m < disp.getNumManifolds(); ++m) {
            const btPersistentManifold* manifold = disp.getManifoldByIndexInternal(m);
            const bool fixed0 = manifold->getBody0()->isStaticObject(),
                       fixed1 = manifold->getBody1()->isStaticObject();
            if (fixed0 == fixed1 || manifold->getBody0()->isKinematicObject() ||
                manifold->getBody1()->isKinematicObject())
                continue;
            for (int p = 0; p < manifold->getNumContacts(); ++p)
                note_penetration(-manifold->getContactPoint(p).getDistance());
        }
    };

    std::vector<State> states(bodies.size());
    auto read = [&]() -> const std::vector<State>& { // every body, in scene order
        for (size_t i = 0; i < bodies.size(); ++i) {
            const btRigidBody& b = *bodies[i];
            const btTransform model = b.getWorldTransform() * shape_of(i).frame.inverse();
            const btQuaternion q = model.getRotation();
            const btVector3 &p = model.getOrigin(), &v = b.getLinearVelocity(), &w = b.getAngularVelocity();
            states[i] = {{p.x(), p.y(), p.z()},
                         {q.w(), q.x(), q.y(), q.z()},
                         {v.x(), v.y(), v.z()},
                         {w.x(), w.y(), w.z()}};
        }
        return states;
    };
    JointGaps gaps(scene, extras.joints);
    Outputs out(a, scene);
    out.record(0, read());
    for (int s = 1; s <= a.steps; ++s) {
        auto t0 = std::chrono::steady_clock::now();
        move_kinematic();
        for (const DistanceSpring& spring : springs)
            spring.apply();
        out.r.internal_steps += world.stepSimulation(kDt, 0); // variable mode: exactly 1 step of kDt
        auto t1 = std::chrono::steady_clock::now();
        out.r.wall += std::chrono::duration<double>(t1 - t0).count();
        deepest();
        out.record(s, read());
        gaps.record(states);
    }
    char ver[16];
    snprintf(ver, sizeof ver, "%d", btGetVersion());
    out.finish("bullet", ver, read());
    for (auto& c : constraints)
        world.removeConstraint(c.get());
    for (auto& b : bodies)
        world.removeRigidBody(b.get());
    return out.r.internal_steps == a.steps ? 0 : 1;
}
