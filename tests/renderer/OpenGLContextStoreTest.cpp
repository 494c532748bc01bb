// The display-list store against a real GL context.
#include "renderer/OpenGLContextStore.h"

#include "GLTestWindow.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

using Tolvane::Renderer::OpenGLContextStore;

namespace {

using DisplayListStore = Tolvane::Renderer::Testing::GLTestWindow;

TEST_F(DisplayListStore, IssuesHandlesInCreationOrderAndRejectsUnknownOnes)
{
    OpenGLContextStore store;
    EXPECT_EQ(store.listCount(), 0u);
    EXPECT_THROW(store.listName(0), std::runtime_error);

    EXPECT_EQ(store.createList(), 0u);
    EXPECT_EQ(store.createList(), 1u);
    EXPECT_EQ(store.listCount(), 2u);

    const GLuint first = store.listName(0);
    const GLuint second = store.listName(1);
    EXPECT_NE(first, 0u);
    EXPECT_NE(second, 0u);
    EXPECT_NE(first, second);
    EXPECT_TRUE(glIsList(first));
    EXPECT_TRUE(glIsList(second));

    try {
        store.listName(2);
        FAIL() << "listName(2) did not throw";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Specified handle doesn't exist");
    }
}

TEST_F(DisplayListStore, DestructionDeletesEveryList)
{
    GLuint names[3] = {0, 0, 0};
    {
        auto store = std::make_unique<OpenGLContextStore>();
        for (GLuint& name : names) {
            name = store->listName(store->createList());
            glNewList(name, GL_COMPILE);
            glBegin(GL_TRIANGLES);
            glVertex3f(0.0f, 0.0f, 0.0f);
            glVertex3f(1.0f, 0.0f, 0.0f);
            glVertex3f(0.0f, 1.0f, 0.0f);
            glEnd();
            glEndList();
            ASSERT_TRUE(glIsList(name));
        }
    }
    for (GLuint name : names)
        EXPECT_FALSE(glIsList(name)) << "list " << name << " survived its store";
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

} // namespace
