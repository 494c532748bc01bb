// The AC3D reader on small inline files: every rejected file with its message,
// then the accepted files whose handling could hide a fault.
#include "model/AC3DReader.h"

#include "AllocationCounter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

using Tolvane::ModelInfo;
using Tolvane::readAC3D;
using Tolvane::readAC3DFile;
using Tolvane::Math::Vector3;

namespace {

std::shared_ptr<ModelInfo> parse(const std::string& text)
{
    std::istringstream in(text);
    return readAC3D(in);
}

// The message of the runtime_error that reading text throws, or "" if it reads.
std::string failureOf(const std::string& text)
{
    try {
        parse(text);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

const std::string header = "AC3Db\n";
const std::string material =
    "MATERIAL \"grey\" rgb 0.5 0.5 0.5  amb 0.2 0.2 0.2  emis 0 0 0  spec 1 1 1  shi 64  trans 0\n";

// A poly object with the triangle (0,0,0), (1,0,0), (0,1,0), whose body ends
// just before its "kids" line so cases can append what they test.
const std::string triangleBody = "OBJECT poly\n"
                                 "numvert 3\n0 0 0\n1 0 0\n0 1 0\n"
                                 "numsurf 1\nSURF 0x10\nmat 0\nrefs 3\n0 0 0\n1 1 0\n2 0 1\n";
const std::string triangle = triangleBody + "kids 0\n";

std::string nested(int levels)
{
    std::string text = header;
    for (int i = 1; i < levels; ++i)
        text += "OBJECT group\nkids 1\n";
    return text + "OBJECT poly\nkids 0\n";
}

std::string surfaceWith(const std::string& surfaceLines)
{
    return header + "OBJECT poly\nnumvert 3\n0 0 0\n1 0 0\n0 1 0\nnumsurf 1\n" + surfaceLines + "kids 0\n";
}

// A temporary file removed again at the end of the test.
class TemporaryFile {
  public:
    explicit TemporaryFile(const std::string& text)
        : path_(std::filesystem::temp_directory_path() /
                ("tolvane_reader_" + std::to_string(::getpid()) + "_" + std::to_string(counter++) + ".ac"))
    {
        std::ofstream(path_, std::ios::binary) << text;
    }
    ~TemporaryFile() { std::filesystem::remove(path_); }
    std::string path() const { return path_.string(); }

  private:
    static inline int counter = 0;
    std::filesystem::path path_;
};

} // namespace

TEST(AC3DReaderRejects, EveryMalformedFileWithItsMessage)
{
    const std::string noFirstToken = "Couldn't read first token";
    const std::string invalidFile = "AC3DFile Reader passed invalid file";
    const std::string unknownToken = "Encountered an unknown token";
    const std::string noObject = "AC3D file contained no object";
    const std::string rotation = "System does not support rotation matrixes";
    const std::string kidMissing = "Kid specified, but not found";
    const std::string surfaceToken = "Found invalid Surface token";
    const std::string notTriangle = "Model includes surface with more then 3 vertices";
    const std::string zeroNormal = "Trying to normalize a zero length vector";
    const std::string badIndex = "Model includes surface with an invalid vertex index";
    const std::string badNormal = "Model includes surface with an invalid normal";
    const std::string objectRead = "Couldn't read object data";
    const std::string surfaceRead = "Couldn't read surface data";
    const std::string materialRead = "Couldn't read material data";
    const std::string tooDeep = "Model kids nested deeper than 256 levels";

    struct Case {
        const char* what;
        std::string text;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"empty file", "", noFirstToken},
        {"blanks only", " \n\t\n", noFirstToken},
        {"header alone without line end", "AC3Db", noFirstToken},
        {"later revision of the format", "AC3Dc\n" + triangle, invalidFile},
        {"header in lower case", "ac3db\n" + triangle, invalidFile},
        {"unknown top-level word", header + "HELLO\n" + triangle, unknownToken},
        {"keyword in wrong case", header + "object world\nkids 0\n", unknownToken},
        {"header and materials only", header + material + material, noObject},
        {"OBJECT as the very last characters", header + material + "OBJECT", noObject},
        {"material cut short by end of file", header + "MATERIAL \"grey\" rgb 1 1", noObject},
        {"malformed number in a material", header + "MATERIAL \"grey\" rgb 1 x 1\n" + triangle, materialRead},
        {"rotation matrix", header + "OBJECT poly\nrot 1 0 0 0 1 0 0 0 1\nkids 0\n", rotation},
        {"rotation matrix in a kid", header + "OBJECT world\nkids 1\nOBJECT poly\nrot 1 0 0\nkids 0\n",
         rotation},
        {"two kids announced, one present", header + "OBJECT world\nkids 2\n" + triangle, kidMissing},
        {"kid not starting with OBJECT", header + "OBJECT world\nkids 1\npoly\nkids 0\n", kidMissing},
        {"huge kid count", header + "OBJECT world\nkids 2000000000\n" + triangle, kidMissing},
        {"unknown word in a surface", surfaceWith("SURF 0x10\nflags 3\nrefs 3\n0 0 0\n1 0 0\n2 0 0\n"),
         surfaceToken},
        {"quad", surfaceWith("SURF 0x10\nrefs 4\n0 0 0\n1 0 0\n2 0 0\n0 0 0\n"), notTriangle},
        {"two-point line", surfaceWith("SURF 0x10\nrefs 2\n0 0 0\n1 0 0\n"), notTriangle},
        {"collinear triangle",
         header +
             "OBJECT poly\nnumvert 3\n0 0 0\n1 0 0\n2 0 0\nnumsurf 1\nrefs 3\n0 0 0\n1 0 0\n2 0 0\nkids 0\n",
         zeroNormal},
        {"repeated vertex", surfaceWith("refs 3\n0 0 0\n1 0 0\n1 0 0\n"), zeroNormal},
        {"coordinates whose cross product overflows",
         header + "OBJECT poly\nnumvert 3\n0 0 0\n1e30 0 0\n0 1e30 0\nnumsurf 1\nrefs 3\n0 0 0\n1 0 0\n2 0 "
                  "0\nkids 0\n",
         badNormal},
        {"coordinates whose normal's length overflows",
         header + "OBJECT poly\nnumvert 3\n0 0 0\n1e19 0 0\n0 1e19 0\nnumsurf 1\nrefs 3\n0 0 0\n1 0 0\n2 0 "
                  "0\nkids 0\n",
         badNormal},
        {"index equal to the vertex count", surfaceWith("refs 3\n0 0 0\n1 0 0\n3 0 0\n"), badIndex},
        {"negative index", surfaceWith("refs 3\n-1 0 0\n1 0 0\n2 0 0\n"), badIndex},
        {"index into a vertex-less object",
         header + "OBJECT poly\nnumsurf 1\nrefs 3\n0 0 0\n0 0 0\n0 0 0\nkids 0\n", badIndex},
        {"end of file before the object type", header + "OBJECT ", objectRead},
        {"end of file before kids", header + triangleBody, objectRead},
        {"word touching end of file inside an object", header + "OBJECT poly\nname", objectRead},
        {"kids count missing", header + "OBJECT poly\nkids", objectRead},
        {"malformed number in loc", header + "OBJECT poly\nloc 1 x 2\nkids 0\n", objectRead},
        {"malformed vertex", header + "OBJECT poly\nnumvert 1\n0 zero 0\nkids 0\n", objectRead},
        {"vertex count beyond 32 bits", header + "OBJECT poly\nnumvert 99999999999\n0 0 0\nkids 0\n",
         objectRead},
        {"float beyond single precision", header + "OBJECT poly\nloc 1e39 0 0\nkids 0\n", objectRead},
        {"malformed data length", header + "OBJECT poly\ndata many\nkids 0\n", objectRead},
        {"huge vertex count", header + "OBJECT poly\nnumvert 2000000000\n1 2 3\n", objectRead},
        {"end of file inside a surface", header + "OBJECT poly\nnumsurf 1\nSURF 0x10\nmat", surfaceRead},
        {"end of file inside refs", header + "OBJECT poly\nnumsurf 1\nrefs 3\n0 0 0\n1 0", surfaceRead},
        {"malformed index", surfaceWith("refs 3\n0 0 0\none 0 0\n2 0 0\n"), surfaceRead},
        {"huge surface count", header + "OBJECT poly\nnumsurf 2000000000\nrefs 3\n0 0 0\n0 0 0\n0 0 0\n",
         surfaceRead},
        {"nesting one level too deep", nested(257), tooDeep},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(failureOf(c.text), c.message);
    }
}

TEST(AC3DReaderRejects, HugeCountsReserveNothing)
{
    // Each case announces two billion elements but holds one; the file must
    // fail at end of file without ever asking for memory sized by the count.
    const std::vector<std::string> texts = {
        header + "OBJECT poly\nnumvert 2000000000\n1 2 3\n",
        header + "OBJECT poly\nnumsurf 2000000000\nrefs 3\n0 0 0\n0 0 0\n0 0 0\n",
        header + "OBJECT world\nkids 2000000000\n" + triangle,
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        Tolvane::Testing::AllocationCounter probe;
        EXPECT_THROW(parse(text), std::runtime_error);
        EXPECT_LT(probe.largest(), 1u << 16);
    }
}

TEST(AC3DReaderRejects, MissingUnreadableAndEmptyFiles)
{
    auto failureOfFile = [](const std::string& path) -> std::string {
        try {
            readAC3DFile(path);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "";
    };
    EXPECT_EQ(failureOfFile("/nonexistent/Tolvane/NoSuchModel.ac"), "Couldn't read first token");
    EXPECT_EQ(failureOfFile(std::filesystem::temp_directory_path().string()), "Couldn't read first token");
    TemporaryFile empty("");
    EXPECT_EQ(failureOfFile(empty.path()), "Couldn't read first token");
    TemporaryFile headerOnly("AC3Db");
    EXPECT_EQ(failureOfFile(headerOnly.path()), "Couldn't read first token");
    TemporaryFile quad(surfaceWith("refs 4\n0 0 0\n1 0 0\n2 0 0\n0 0 0\n"));
    EXPECT_EQ(failureOfFile(quad.path()), "Model includes surface with more then 3 vertices");
}

TEST(AC3DReaderAccepts, ObjectFieldsInFileOrder)
{
    const auto root = parse(header + material + "OBJECT world\nname \"scene\"\nkids 2\n" +
                            "OBJECT poly\nname first\nname second\nloc 1.5 -2 3e2\ncrease 45.0\n"
                            "texture \"wood.png\"\ntexrep 1 1\nurl http://example\n"
                            "numvert 3\n0 0 0\n1 0 0\n0 1 0\nnumvert 1\n0 0 7\n"
                            "numsurf 2\nrefs 3\n0 0 0\n1 0 0\n2 0 0\nmat 3\nrefs 3\n3 0 0\n0 0 0\n1 0 0\n"
                            "kids 0\n"
                            "OBJECT group\nkids 0\n");
    EXPECT_EQ(root->name, "\"scene\"");
    EXPECT_EQ(root->location, Vector3(0, 0, 0));
    EXPECT_TRUE(root->vertices.empty());
    ASSERT_EQ(root->kids.size(), 2u);

    const ModelInfo& poly = *root->kids[0];
    EXPECT_EQ(poly.name, "second"); // a later name replaces the first
    EXPECT_EQ(poly.location, Vector3(1.5f, -2.0f, 300.0f));
    const std::vector<Vector3> vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 7}};
    EXPECT_EQ(poly.vertices, vertices);
    ASSERT_EQ(poly.surfaces.size(), 2u);
    EXPECT_EQ(poly.surfaces[1].vertexIndex, (std::array<std::uint16_t, 3>{3, 0, 1}));

    EXPECT_TRUE(root->kids[1]->vertices.empty());
    EXPECT_TRUE(root->kids[1]->name.empty());
}

TEST(AC3DReaderAccepts, SurfaceVariants)
{
    // "mat" before "SURF", either repeated or missing, all before "refs".
    for (const std::string& lines :
         {std::string("mat 0\nSURF 0x10\n"), std::string("SURF 0x10\nmat 1\nmat 2\n"), std::string(""),
          std::string("SURF 0x20\nSURF 0x10\n")}) {
        SCOPED_TRACE(lines);
        const auto root = parse(surfaceWith(lines + "refs 3\n0 0.5 0.5\n1 1 0\n2 0 1\n"));
        ASSERT_EQ(root->surfaces.size(), 1u);
        EXPECT_EQ(root->surfaces[0].vertexIndex, (std::array<std::uint16_t, 3>{0, 1, 2}));
    }
}

TEST(AC3DReaderAccepts, WordsKeptAsTheyStand)
{
    // Quotes stay in the name, and a quoted name with a blank splits: the
    // second half is an unknown word and dropped.
    auto root = parse(header + "OBJECT poly\nname \"my cube\"\nkids 0\n");
    EXPECT_EQ(root->name, "\"my");

    // Data text is read as ordinary tokens: a plain word is dropped...
    root = parse(header + "OBJECT poly\ndata 5\nhello\nname x\nkids 0\n");
    EXPECT_EQ(root->name, "x");

    // ...and a keyword in it is taken as that keyword, here ending the object early.
    root = parse(header + "OBJECT poly\ndata 6\nkids 0\nname late\nkids 0\n");
    EXPECT_TRUE(root->name.empty());
}

TEST(AC3DReaderAccepts, OnlyTheFirstTopLevelObject)
{
    const auto root = parse(header + triangle + "OBJECT broken\nrot 1 2 3\nnumvert x\n" + "GARBAGE");
    EXPECT_EQ(root->vertices.size(), 3u);
    EXPECT_TRUE(root->kids.empty());

    // The object's last number may end the file without a line end.
    EXPECT_EQ(parse(header + triangleBody + "kids 0")->surfaces.size(), 1u);
}

TEST(AC3DReaderAccepts, CountsOfZeroAndBelowReadNothing)
{
    const auto root = parse(header + "OBJECT poly\nnumvert 0\nnumvert -4\nnumsurf -1\nnumsurf 0\nkids -2\n");
    EXPECT_TRUE(root->vertices.empty());
    EXPECT_TRUE(root->surfaces.empty());
    EXPECT_TRUE(root->kids.empty());
}

TEST(AC3DReaderAccepts, NestingUpToTheLimit)
{
    auto node = parse(nested(Tolvane::maxModelDepth));
    int levels = 1;
    while (!node->kids.empty()) {
        ASSERT_EQ(node->kids.size(), 1u);
        node = node->kids[0];
        ++levels;
    }
    EXPECT_EQ(levels, Tolvane::maxModelDepth);
}

TEST(AC3DReaderAccepts, IndexKeepsItsLow16Bits)
{
    // 70000 = 65536 + 4464; the object has 4465 vertices so 4464 is valid.
    std::string text = header + "OBJECT poly\nnumvert 4465\n0 0 0\n1 0 0\n";
    for (int i = 2; i < 4464; ++i)
        text += "5 5 5\n";
    text += "0 1 0\nnumsurf 1\nrefs 3\n0 0 0\n1 0 0\n70000 0 0\nkids 0\n";
    const auto root = parse(text);
    EXPECT_EQ(root->surfaces[0].vertexIndex, (std::array<std::uint16_t, 3>{0, 1, 4464}));
    EXPECT_EQ(root->surfaces[0].normal, Vector3(0, 0, 1));
}

TEST(AC3DReaderAccepts, NormalFollowsTheWinding)
{
    const auto counterClockwise = parse(surfaceWith("refs 3\n0 0 0\n1 0 0\n2 0 0\n"));
    EXPECT_EQ(counterClockwise->surfaces[0].normal, Vector3(0, 0, 1));
    const auto clockwise = parse(surfaceWith("refs 3\n0 0 0\n2 0 0\n1 0 0\n"));
    EXPECT_EQ(clockwise->surfaces[0].normal, Vector3(0, 0, -1));

    // Normals are unit length also for a large, slanted triangle.
    const auto slanted = parse(header + "OBJECT poly\nnumvert 3\n0 0 0\n30 0 0\n0 20 10\n"
                                        "numsurf 1\nrefs 3\n0 0 0\n1 0 0\n2 0 0\nkids 0\n");
    const Vector3 n = slanted->surfaces[0].normal;
    EXPECT_NEAR(n.length(), 1.0f, 1e-6f);
    EXPECT_NEAR(n.y, -1.0f / std::sqrt(5.0f), 1e-6f);
    EXPECT_NEAR(n.z, 2.0f / std::sqrt(5.0f), 1e-6f);
}

namespace {
// A locale that writes and reads numbers with a decimal comma.
struct DecimalComma : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
};
} // namespace

TEST(AC3DReaderAccepts, NumbersInCSyntaxWhateverTheStreamLocale)
{
    const std::locale comma(std::locale::classic(), new DecimalComma);
    std::istringstream in(header + "OBJECT poly\nloc 1.5 0 0\nkids 0\n");
    in.imbue(comma);
    EXPECT_EQ(readAC3D(in)->location, Vector3(1.5f, 0, 0));
    EXPECT_EQ(std::use_facet<std::numpunct<char>>(in.getloc()).decimal_point(), ',');
}

TEST(AC3DReaderAccepts, FileOnDisk)
{
    TemporaryFile file(header + material + "OBJECT world\nkids 1\n" + triangle);
    const auto root = readAC3DFile(file.path());
    ASSERT_EQ(root->kids.size(), 1u);
    EXPECT_EQ(root->kids[0]->surfaces[0].normal, Vector3(0, 0, 1));
}
