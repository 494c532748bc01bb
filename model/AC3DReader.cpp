// Reader of the AC3D text subset: whitespace tokens by formatted extraction,
// one ModelInfo per object, triangles only, materials and texture data dropped.
#include "model/AC3DReader.h"

#include <cmath>
#include <cstdint>
#include <fstream>
#include <locale>
#include <stdexcept>

namespace Tolvane {

namespace {

// Our own failures, worded like the format's fixed messages.
constexpr const char* objectReadFailure = "Couldn't read object data";
constexpr const char* surfaceReadFailure = "Couldn't read surface data";
constexpr const char* materialReadFailure = "Couldn't read material data";
constexpr const char* badVertexIndex = "Model includes surface with an invalid vertex index";
constexpr const char* badNormal = "Model includes surface with an invalid normal";
const std::string tooDeep = "Model kids nested deeper than " + std::to_string(maxModelDepth) + " levels";

// How far a computed normal's squared length may stray from 1 (rounding only).
constexpr float unitNormalTolerance = 1e-3f;

// A "refs" line must announce exactly this many references: the reader takes triangles only.
constexpr int referencesPerSurface = 3;

// Numbers are read in C syntax whatever the program's global locale is; the
// caller's stream gets its own locale back afterwards.
class ClassicLocaleScope {
  public:
    explicit ClassicLocaleScope(std::istream& in) : in_(in), previous_(in.imbue(std::locale::classic())) {}
    ~ClassicLocaleScope() { in_.imbue(previous_); }
    ClassicLocaleScope(const ClassicLocaleScope&) = delete;
    ClassicLocaleScope& operator=(const ClassicLocaleScope&) = delete;

  private:
    std::istream& in_;
    std::locale previous_;
};

// One token of type T. A failed extraction (end of file, malformed or
// out-of-range number) throws, so no later step looks at a stale token.
// A token that ends exactly at end of file is still a good token.
template <class T> T readToken(std::istream& in, const char* failure)
{
    T value{};
    if (!(in >> value))
        throw std::runtime_error(failure);
    return value;
}

Math::Vector3 readVector(std::istream& in, const char* failure)
{
    const float x = readToken<float>(in, failure);
    const float y = readToken<float>(in, failure);
    const float z = readToken<float>(in, failure);
    return {x, y, z};
}

// A MATERIAL line: the name, then six keywords with their floats, three each
// after the colour keywords (rgb, amb, emis and the specular one), one each after
// shi and trans (21 tokens).
// The keywords are not compared. End of file inside the line is left to the
// caller, which then finds no object; a malformed number would otherwise leave
// the stream failed without end of file and the top-level loop spinning.
void skipMaterial(std::istream& in)
{
    constexpr int floatsAfterKeyword[] = {3, 3, 3, 3, 1, 1};
    std::string word;
    float number = 0.0f;
    in >> word;
    for (int count : floatsAfterKeyword) {
        in >> word;
        for (int i = 0; i < count; ++i)
            in >> number;
    }
    if (in.fail() && !in.eof())
        throw std::runtime_error(materialReadFailure);
}

// Counts come from the file and are never trusted for sizing: elements are
// appended one by one as they are actually read, so a huge count followed by
// little data fails at end of file instead of reserving memory for it.
void readVertices(std::istream& in, ModelInfo& info)
{
    const int count = readToken<int>(in, objectReadFailure);
    for (int i = 0; i < count; ++i)
        info.vertices.push_back(readVector(in, objectReadFailure));
}

ModelSurface readSurface(std::istream& in)
{
    ModelSurface surface;
    for (;;) {
        const std::string word = readToken<std::string>(in, surfaceReadFailure);
        if (word == "SURF") {
            readToken<std::string>(in, surfaceReadFailure);
        } else if (word == "mat") {
            readToken<int>(in, surfaceReadFailure);
        } else if (word == "refs") {
            if (readToken<int>(in, surfaceReadFailure) != referencesPerSurface)
                throw std::runtime_error("Model includes surface with more then 3 vertices");
            for (std::uint16_t& index : surface.vertexIndex) {
                // Only the low 16 bits of the 32-bit index are kept.
                index = static_cast<std::uint16_t>(readToken<std::int32_t>(in, surfaceReadFailure));
                readToken<float>(in, surfaceReadFailure);
                readToken<float>(in, surfaceReadFailure);
            }
            return surface;
        } else {
            throw std::runtime_error("Found invalid Surface token");
        }
    }
}

void readSurfaces(std::istream& in, ModelInfo& info)
{
    const int count = readToken<int>(in, objectReadFailure);
    for (int i = 0; i < count; ++i)
        info.surfaces.push_back(readSurface(in));
}

// Normal of each triangle: (Q - P) x (R - P) made unit length, so a triangle
// listed counter-clockwise as seen from outside faces outward. Every index is
// checked against the final vertex count first: the file may name any vertex.
void computeNormals(ModelInfo& info)
{
    for (ModelSurface& surface : info.surfaces) {
        for (std::uint16_t index : surface.vertexIndex) {
            if (index >= info.vertices.size())
                throw std::runtime_error(badVertexIndex);
        }
        const Math::Vector3& p = info.vertices[surface.vertexIndex[0]];
        const Math::Vector3& q = info.vertices[surface.vertexIndex[1]];
        const Math::Vector3& r = info.vertices[surface.vertexIndex[2]];
        surface.normal = cross(q - p, r - p);
        surface.normal.normalize();
        // Coordinates so large that the cross product or its length overflow
        // leave a normal that is not unit length (zero, infinite or NaN); such
        // a triangle would poison every physics result it takes part in.
        if (!(std::fabs(surface.normal.squaredLength() - 1.0f) < unitNormalTolerance))
            throw std::runtime_error(badNormal);
    }
}

std::shared_ptr<ModelInfo> readObject(std::istream& in, int depth);

// The "kids" line: each announced child must start with OBJECT. The nesting
// is bounded so that a hostile file cannot exhaust the stack here, in the tree
// builders or when the records are released.
void readKids(std::istream& in, ModelInfo& info, int depth)
{
    const int count = readToken<int>(in, objectReadFailure);
    for (int i = 0; i < count; ++i) {
        std::string word;
        in >> word;
        if (in.fail() || word != "OBJECT")
            throw std::runtime_error("Kid specified, but not found");
        if (depth >= maxModelDepth)
            throw std::runtime_error(tooDeep);
        info.kids.push_back(readObject(in, depth + 1));
    }
}

// One object, entered just after its OBJECT word; depth 1 is the top level.
// Unknown words (including the text of a "data" block) are dropped one by one.
std::shared_ptr<ModelInfo> readObject(std::istream& in, int depth)
{
    auto info = std::make_shared<ModelInfo>();
    readToken<std::string>(in, objectReadFailure);
    for (;;) {
        const std::string word = readToken<std::string>(in, objectReadFailure);
        if (word == "name") {
            info->name = readToken<std::string>(in, objectReadFailure);
        } else if (word == "data") {
            readToken<int>(in, objectReadFailure);
        } else if (word == "texture" || word == "url") {
            readToken<std::string>(in, objectReadFailure);
        } else if (word == "texrep") {
            readToken<float>(in, objectReadFailure);
            readToken<float>(in, objectReadFailure);
        } else if (word == "rot") {
            throw std::runtime_error("System does not support rotation matrixes");
        } else if (word == "crease") {
            readToken<float>(in, objectReadFailure);
        } else if (word == "loc") {
            info->location = readVector(in, objectReadFailure);
        } else if (word == "numvert") {
            readVertices(in, *info);
        } else if (word == "numsurf") {
            readSurfaces(in, *info);
        } else if (word == "kids") {
            readKids(in, *info, depth);
            computeNormals(*info);
            return info;
        }
    }
}

} // namespace

std::shared_ptr<ModelInfo> readAC3D(std::istream& in)
{
    ClassicLocaleScope classic(in);

    std::string word;
    in >> word;
    if (!in.good())
        throw std::runtime_error("Couldn't read first token");
    if (word != "AC3Db")
        throw std::runtime_error("AC3DFile Reader passed invalid file");

    // A word that ends exactly at end of file is not dispatched: the file
    // then counts as ending before any object.
    for (;;) {
        in >> word;
        if (!in.good())
            throw std::runtime_error("AC3D file contained no object");
        if (word == "MATERIAL")
            skipMaterial(in);
        else if (word == "OBJECT")
            return readObject(in, 1); // only the first top-level object is read
        else
            throw std::runtime_error("Encountered an unknown token");
    }
}

std::shared_ptr<ModelInfo> readAC3DFile(const std::string& path)
{
    std::ifstream file(path);
    return readAC3D(file);
}

} // namespace Tolvane
