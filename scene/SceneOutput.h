// Writing a scene's bodies out: their state as JSON, and a trace of their
// poses over a run as CSV, for plotting, replay and checks by other programs.
#pragma once

#include "scene/PhysicsTestScene.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <string>

namespace Tolvane {

/// Every body as it is now, in body order: index, name, position, orientation
/// (w, x, y, z), velocity, angular velocity, fixed, and at rest (slower than
/// the rest speed linearly and angularly).
nlohmann::json bodyStates(const PhysicsTestScene& scene);

/// Text of a 64-bit hash as 16 lower-case hexadecimal digits.
std::string hexHash(std::uint64_t hash);

/// A CSV file with one row per body for every traced step:
/// step,body,x,y,z,qw,qx,qy,qz,vx,vy,vz,wx,wy,wz (position, orientation,
/// velocity, angular velocity), with enough digits to give back every float.
class TraceWriter {
  public:
    /// Opens (truncates) the file and writes the header; throws
    /// std::runtime_error "cannot write PATH" when it cannot.
    explicit TraceWriter(const std::string& path);

    void write(long step, const PhysicsTestScene& scene);

    /// Flushes and closes; throws std::runtime_error "cannot write PATH" when
    /// any write failed.
    void close();

  private:
    std::string path_;
    std::ofstream file_;
};

} // namespace Tolvane
