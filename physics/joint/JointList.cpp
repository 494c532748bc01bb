// Adding and removing joints between steps.
#include "physics/joint/JointList.h"

namespace Tolvane::Physics {

namespace {

/// A joint made or unmade changes what holds the body: it wakes, as when code moves it.
void wake(const std::shared_ptr<PhysicalObject>& body)
{
    if (body)
        body->solverMemory.stepped = false;
}

} // namespace

JointId JointList::add(const JointDefinition& definition)
{
    joints_.emplace_back(nextId_, definition);
    wake(definition.bodyA);
    wake(definition.bodyB);
    return nextId_++;
}

bool JointList::remove(JointId id)
{
    bool found = false;
    keepIf([&](const Joint& joint) {
        if (joint.id != id)
            return true;
        wake(joint.bodyA);
        wake(joint.bodyB);
        found = true;
        return false;
    });
    return found;
}

std::size_t JointList::removeJointsOf(const PhysicalObject& body)
{
    const std::size_t before = joints_.size();
    keepIf([&](const Joint& joint) {
        if (joint.bodyA.get() != &body && joint.bodyB.get() != &body)
            return true;
        wake(joint.bodyA);
        wake(joint.bodyB);
        return false;
    });
    return before - joints_.size();
}

void JointList::clear()
{
    joints_.clear();
}

Joint* JointList::find(JointId id)
{
    for (Joint& joint : joints_)
        if (joint.id == id)
            return &joint;
    return nullptr;
}

const Joint* JointList::find(JointId id) const
{
    for (const Joint& joint : joints_)
        if (joint.id == id)
            return &joint;
    return nullptr;
}

} // namespace Tolvane::Physics
