// The program's window as the application opens it: size, caption, the buffers
// it asks for, and the frame handler clearing every one of them.
#include "DriverFixture.h"

#include <GL/gl.h>
#include <SDL.h>
#include <gtest/gtest.h>

#include <string>

using namespace Tolvane::Testing;

namespace {

using ProgramWindow = DriverTest;

TEST_F(ProgramWindow, IsAnOpenGLWindowWithDoubleBufferStencilAndCaption)
{
    const SDL_Surface* screen = SDL_GetVideoSurface();
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(screen->w, Tolvane::PhysicsTestDriver::windowWidth);
    EXPECT_EQ(screen->h, Tolvane::PhysicsTestDriver::windowHeight);
    EXPECT_TRUE(screen->flags & SDL_OPENGL);

    char* title = nullptr;
    char* icon = nullptr;
    SDL_WM_GetCaption(&title, &icon);
    ASSERT_NE(title, nullptr);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(std::string(title), "Test App");
    EXPECT_EQ(std::string(icon), "Test App");

    // Without the application's requests the X server's default visual has no
    // stencil buffer at all.
    GLint stencilBits = 0;
    glGetIntegerv(GL_STENCIL_BITS, &stencilBits);
    EXPECT_GE(stencilBits, 8);
    GLboolean doubleBuffered = GL_FALSE;
    glGetBooleanv(GL_DOUBLEBUFFER, &doubleBuffered);
    EXPECT_TRUE(doubleBuffered);
}

TEST_F(ProgramWindow, ProcessedFrameClearsTheStencilAndFillsTheWholeWindow)
{
    // Mark the stencil buffer everywhere; a processed frame must wipe the mark.
    glClearStencil(5);
    glClear(GL_STENCIL_BUFFER_BIT);
    glClearStencil(0);
    GLubyte marked = 0;
    glReadPixels(10, 10, 1, 1, GL_STENCIL_INDEX, GL_UNSIGNED_BYTE, &marked);
    ASSERT_EQ(marked, 5);

    frameAt(startTicks + 10);
    GLubyte stencil = 255;
    glReadPixels(10, 10, 1, 1, GL_STENCIL_INDEX, GL_UNSIGNED_BYTE, &stencil);
    EXPECT_EQ(stencil, 0);

    GLint viewport[4] = {-1, -1, -1, -1};
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(viewport[0], 0);
    EXPECT_EQ(viewport[1], 0);
    EXPECT_EQ(viewport[2], Tolvane::PhysicsTestDriver::windowWidth);
    EXPECT_EQ(viewport[3], Tolvane::PhysicsTestDriver::windowHeight);
}

} // namespace
