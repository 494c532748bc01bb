// Body states as JSON and pose traces as CSV.
#include "scene/SceneOutput.h"

#include "physics/designed/CollisionResponse.h"

#include <cinttypes>
#include <cstdio>
#include <stdexcept>

namespace Tolvane {

namespace {

nlohmann::json vectorJson(const Math::Vector3& v)
{
    return nlohmann::json::array({v.x, v.y, v.z});
}

bool atRest(const Physics::PhysicalObject& body)
{
    return body.velocity.squaredLength() < Physics::restSquaredSpeed &&
           body.angularVelocity.squaredLength() < Physics::restSquaredSpeed;
}

} // namespace

nlohmann::json bodyStates(const PhysicsTestScene& scene)
{
    nlohmann::json states = nlohmann::json::array();
    for (std::size_t i = 0; i < scene.bodies().size(); ++i) {
        const Physics::PhysicalObject& body = *scene.bodies()[i];
        const Math::Quaternion& q = body.transform.orientation;
        states.push_back({{"index", i},
                          {"name", scene.bodyName(i)},
                          {"position", vectorJson(body.transform.position)},
                          {"orientation", nlohmann::json::array({q.w, q.x, q.y, q.z})},
                          {"velocity", vectorJson(body.velocity)},
                          {"angular_velocity", vectorJson(body.angularVelocity)},
                          {"fixed", body.fixed},
                          {"at_rest", atRest(body)}});
    }
    return states;
}

std::string hexHash(std::uint64_t hash)
{
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIx64, hash);
    return text;
}

TraceWriter::TraceWriter(const std::string& path) : path_(path), file_(path)
{
    if (!file_)
        throw std::runtime_error("cannot write " + path);
    // Nine significant digits give back every float exactly.
    file_.precision(9);
    file_ << "step,body,x,y,z,qw,qx,qy,qz,vx,vy,vz,wx,wy,wz\n";
}

void TraceWriter::write(long step, const PhysicsTestScene& scene)
{
    for (std::size_t i = 0; i < scene.bodies().size(); ++i) {
        const Physics::PhysicalObject& body = *scene.bodies()[i];
        const Math::Vector3& p = body.transform.position;
        const Math::Quaternion& q = body.transform.orientation;
        const Math::Vector3& v = body.velocity;
        const Math::Vector3& w = body.angularVelocity;
        file_ << step << ',' << i << ',' << p.x << ',' << p.y << ',' << p.z << ',' << q.w << ',' << q.x << ','
              << q.y << ',' << q.z << ',' << v.x << ',' << v.y << ',' << v.z << ',' << w.x << ',' << w.y
              << ',' << w.z << '\n';
    }
}

void TraceWriter::close()
{
    file_.close();
    if (!file_)
        throw std::runtime_error("cannot write " + path_);
}

} // namespace Tolvane
