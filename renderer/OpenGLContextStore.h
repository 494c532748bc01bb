// Owner of the OpenGL display lists compiled for one context.
#pragma once

#include <GL/gl.h>

#include <cstddef>
#include <vector>

namespace Tolvane::Renderer {

/// Index of a display list in its store; stays valid until the store is destroyed.
using ListHandle = std::size_t;

/// Hands out display lists by small integer handles and deletes them all when
/// it is destroyed. It makes no OpenGL call until the first list is created,
/// so it can be built before the window and its context exist; after that it
/// must only be used, and destroyed, from the thread owning the context.
class OpenGLContextStore {
  public:
    OpenGLContextStore() = default;
    /// Deletes every list, in creation order.
    ~OpenGLContextStore();

    // Two owners of the same lists would delete them twice.
    OpenGLContextStore(const OpenGLContextStore&) = delete;
    OpenGLContextStore& operator=(const OpenGLContextStore&) = delete;

    /// Generates one new, empty display list and returns its handle (0 for the first).
    ListHandle createList();

    /// The OpenGL name of the list behind handle.
    /// Throws std::runtime_error "Specified handle doesn't exist" for a handle
    /// not below listCount().
    GLuint listName(ListHandle handle) const;

    /// Number of lists created so far.
    std::size_t listCount() const { return ranges_.size(); }

  private:
    struct ListRange {
        GLuint firstName;
        GLsizei count;
    };

    std::vector<ListRange> ranges_;
};

} // namespace Tolvane::Renderer
