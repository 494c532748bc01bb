// Display-list creation, lookup and release.
#include "renderer/OpenGLContextStore.h"

#include <stdexcept>

namespace Tolvane::Renderer {

OpenGLContextStore::~OpenGLContextStore()
{
    for (const ListRange& range : ranges_)
        glDeleteLists(range.firstName, range.count);
    ranges_.clear();
}

ListHandle OpenGLContextStore::createList()
{
    constexpr GLsizei listsPerHandle = 1;
    // A zero name (none left) is stored as it is; compiling into it then only
    // raises an OpenGL error and calling it draws nothing.
    ranges_.push_back({glGenLists(listsPerHandle), listsPerHandle});
    return ranges_.size() - 1;
}

GLuint OpenGLContextStore::listName(ListHandle handle) const
{
    if (handle >= ranges_.size())
        throw std::runtime_error("Specified handle doesn't exist");
    return ranges_[handle].firstName;
}

} // namespace Tolvane::Renderer
