// The joints the solver response steps, in the order they were added.
#pragma once

#include "physics/joint/Joint.h"

#include <cstddef>
#include <vector>

namespace Tolvane::Physics {

/// Joints are added and removed between steps. A joint keeps its bodies
/// alive; a step drops every joint with a body that is in no collision set,
/// so a body taken out of the sets takes its joints with it. Adding or
/// removing a joint wakes its bodies.
class JointList {
  public:
    /// Makes a joint from the definition, with the bodies as they stand, and
    /// gives its id. Throws std::invalid_argument for a definition that cannot
    /// make a joint (see Joint).
    JointId add(const JointDefinition& definition);
    /// Removes the joint; false when there is none with that id.
    bool remove(JointId id);
    /// Removes every joint of the body; gives how many went.
    std::size_t removeJointsOf(const PhysicalObject& body);
    void clear();

    /// The joint with that id, or null.
    Joint* find(JointId id);
    const Joint* find(JointId id) const;

    std::size_t size() const { return joints_.size(); }
    bool empty() const { return joints_.empty(); }
    Joint& operator[](std::size_t k) { return joints_[k]; }
    const Joint& operator[](std::size_t k) const { return joints_[k]; }
    std::vector<Joint>::const_iterator begin() const { return joints_.begin(); }
    std::vector<Joint>::const_iterator end() const { return joints_.end(); }

    /// Removes the joints keep(joint) is false for, keeping the others' order.
    template <class Keep> void keepIf(const Keep& keep)
    {
        std::size_t kept = 0;
        for (std::size_t k = 0; k < joints_.size(); ++k) {
            if (!keep(joints_[k]))
                continue;
            if (kept != k)
                joints_[kept] = std::move(joints_[k]);
            ++kept;
        }
        while (joints_.size() > kept)
            joints_.pop_back();
    }

  private:
    std::vector<Joint> joints_;
    JointId nextId_ = 1;
};

} // namespace Tolvane::Physics
