// Solid objects drawn from their display lists, read back from a real frame.
#include "renderer/SimpleSolidObjectRenderer.h"

#include "GLTestWindow.h"
#include "TestModels.h"

#include <gtest/gtest.h>

#include <memory>

using Tolvane::Math::Vector3;
using namespace Tolvane::Renderer;
using namespace Tolvane::Renderer::Testing;

namespace {

class SolidObjects : public GLTestWindow {
  protected:
    void SetUp() override
    {
        GLTestWindow::SetUp();
        store = std::make_shared<OpenGLContextStore>();
        renderer = std::make_shared<SimpleSolidObjectRenderer>(store);
    }

    std::shared_ptr<SolidObject> addObject(const std::shared_ptr<Tolvane::Renderer::VisibleModel>& model,
                                           const Color& color, const Vector3& position = {})
    {
        auto object = std::make_shared<SolidObject>(model);
        object->color = color;
        object->transform.position = position;
        object->setRenderer(renderer);
        addVisibleObject(object);
        return object;
    }

    std::shared_ptr<OpenGLContextStore> store;
    std::shared_ptr<SimpleSolidObjectRenderer> renderer;
};

const Color red{{1.0f, 0.0f, 0.0f, 1.0f}};
const Color green{{0.0f, 1.0f, 0.0f, 1.0f}};

TEST_F(SolidObjects, RedCubeFillsTheCentreOfTheView)
{
    addObject(makeCube(1.0f), red);
    drawFrame();

    EXPECT_TRUE(readPixel(width / 2, height / 2).isRed());
    EXPECT_TRUE(isClearColor(readPixel(0, 0)));
    EXPECT_TRUE(isClearColor(readPixel(width - 1, height - 1)));
    EXPECT_EQ(store->listCount(), 1u);
}

TEST_F(SolidObjects, ObjectsSharingAModelGetTheirOwnListsAndColours)
{
    const auto cube = makeCube(1.0f);
    const auto left = addObject(cube, red, {-2.0f, 0.0f, 0.0f});
    const auto right = addObject(cube, green, {2.0f, 0.0f, 0.0f});
    drawFrame();

    EXPECT_EQ(renderer->lists().at(left), 0u);
    EXPECT_EQ(renderer->lists().at(right), 1u);
    EXPECT_TRUE(pixelAt(left->transform.position).isRed());
    EXPECT_TRUE(pixelAt(right->transform.position).isGreen());
    EXPECT_TRUE(isClearColor(pixelAt({0.0f, 0.0f, 0.0f})));
}

TEST_F(SolidObjects, ColourChangedAfterTheFirstFrameDoesNotShow)
{
    const auto object = addObject(makeCube(1.0f), red);
    drawFrame();
    object->color = green;
    drawFrame();

    EXPECT_TRUE(readPixel(width / 2, height / 2).isRed());
    EXPECT_EQ(store->listCount(), 1u);
}

TEST_F(SolidObjects, MovingAnObjectMovesItsPixelsWithoutANewList)
{
    const Vector3 first{-2.0f, 0.0f, 0.0f};
    const Vector3 second{2.0f, 1.0f, 0.0f};
    const auto object = addObject(makeCube(0.5f), red, first);
    drawFrame();
    ASSERT_TRUE(pixelAt(first).isRed());
    ASSERT_TRUE(isClearColor(pixelAt(second)));

    object->transform.position = second;
    drawFrame();
    EXPECT_TRUE(isClearColor(pixelAt(first)));
    EXPECT_TRUE(pixelAt(second).isRed());
    EXPECT_EQ(store->listCount(), 1u);
}

TEST_F(SolidObjects, RotationIsAppliedAroundTheObjectOrigin)
{
    // A square offset one unit along +x in the model; a half turn about y puts it at -x.
    const auto model = makeGroup({}, {makeSquare(0.3f, {1.0f, 0.0f, 0.0f})});
    const Vector3 position{0.0f, 1.0f, 0.0f};
    const auto object = addObject(model, red, position);
    object->transform.orientation = {0.0f, 0.0f, 1.0f, 0.0f};
    object->transform.dirty = true;
    drawFrame();

    EXPECT_TRUE(pixelAt(position + Vector3(-1.0f, 0.0f, 0.0f)).isRed());
    EXPECT_TRUE(isClearColor(pixelAt(position + Vector3(1.0f, 0.0f, 0.0f))));
}

TEST_F(SolidObjects, KidsAreDrawnRelativeToTheirParent)
{
    const auto grandkid = makeSquare(0.3f, {0.0f, 1.0f, 0.0f});
    const auto kid = makeSquare(0.3f, {0.0f, 1.0f, 0.0f}, {grandkid});
    const auto root = makeGroup({}, {kid});
    const Vector3 position{1.0f, -1.0f, 0.0f};
    addObject(root, red, position);
    drawFrame();

    EXPECT_TRUE(isClearColor(pixelAt(position)));
    EXPECT_TRUE(pixelAt(position + Vector3(0.0f, 1.0f, 0.0f)).isRed());
    EXPECT_TRUE(isClearColor(pixelAt(position + Vector3(0.0f, 1.5f, 0.0f))));
    EXPECT_TRUE(pixelAt(position + Vector3(0.0f, 2.0f, 0.0f)).isRed());
}

/// A visible object that is not a solid object.
class Marker : public VisibleObject {
  public:
    explicit Marker(std::shared_ptr<ObjectRenderer> renderer) : renderer_(std::move(renderer)) {}
    std::shared_ptr<ObjectRenderer> getRenderer() const override { return renderer_; }

  private:
    std::shared_ptr<ObjectRenderer> renderer_;
};

TEST_F(SolidObjects, OtherKindsOfVisibleObjectDrawNothingAndCreateNoList)
{
    addVisibleObject(std::make_shared<Marker>(renderer));
    drawFrame();
    renderer->render(nullptr);

    EXPECT_EQ(drawnPixelCount(), 0);
    EXPECT_EQ(store->listCount(), 0u);
    EXPECT_TRUE(renderer->lists().empty());
}

TEST_F(SolidObjects, RenderLeavesTheModelViewMatrixAsItFoundIt)
{
    const auto object = addObject(makeCube(1.0f), red, {1.0f, 2.0f, 3.0f});
    object->transform.orientation = {0.8f, 0.6f, 0.0f, 0.0f};
    object->transform.dirty = true;
    beginFrame();
    GLfloat before[16], after[16];
    glGetFloatv(GL_MODELVIEW_MATRIX, before);
    renderer->render(object);
    renderer->render(object);
    glGetFloatv(GL_MODELVIEW_MATRIX, after);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(after[i], before[i]) << "element " << i;
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(SolidObjects, ModelNestedDeeperThanTheMatrixStackIsDrawnInPlace)
{
    // A chain of parts nested deeper than OpenGL's model-view stack, each one
    // 0.05 above its parent, ending in a square; a sibling square follows it.
    GLint maxDepth = 0;
    glGetIntegerv(GL_MAX_MODELVIEW_STACK_DEPTH, &maxDepth);
    const int levels = maxDepth + 8;
    const float step = 0.05f;
    auto chain = makeSquare(0.3f, {0.0f, step, 0.0f});
    for (int i = 1; i < levels; ++i)
        chain = makeGroup({0.0f, step, 0.0f}, {chain});
    const auto sibling = makeSquare(0.3f, {-1.5f, 0.0f, 0.0f});
    const Vector3 position{1.0f, -1.0f, 0.0f};
    addObject(makeGroup({}, {chain, sibling}), red, position);
    // Drawn after the deep object: it must not inherit a damaged matrix stack.
    const Vector3 otherPosition{-1.0f, 2.0f, 0.0f};
    addObject(makeCube(0.3f), green, otherPosition);
    drawFrame();

    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    EXPECT_TRUE(pixelAt(position + Vector3(0.0f, step * static_cast<float>(levels), 0.0f)).isRed());
    EXPECT_TRUE(pixelAt(position + Vector3(-1.5f, 0.0f, 0.0f)).isRed());
    EXPECT_TRUE(pixelAt(otherPosition).isGreen());
}

TEST_F(SolidObjects, TrianglesNamingMissingVerticesAreSkipped)
{
    const std::vector<Vector3> vertices = {
        {-0.5f, -0.5f, 0}, {0.5f, -0.5f, 0}, {0.5f, 0.5f, 0}, {-0.5f, 0.5f, 0}};
    const std::vector<Tolvane::ModelSurface> surfaces = {makeSurface(0, 2, 1, {0, 0, -1}),
                                                         makeSurface(0, 3, 2, {0, 0, -1}),
                                                         makeSurface(0, 2, 60000, {0, 0, -1})};
    auto model = std::make_shared<Tolvane::Renderer::VisibleModel>(vertices, surfaces, Vector3());
    model->setKids({});
    addObject(model, red);
    addObject(nullptr, green, {2.0f, 0.0f, 0.0f});
    drawFrame();

    EXPECT_TRUE(readPixel(width / 2, height / 2).isRed());
    EXPECT_EQ(store->listCount(), 2u);
}

} // namespace
