// The execution level in application manifests: found in the markup, changed in place.
#include <gtest/gtest.h>

#include "runpack/image/manifest_level.h"

namespace {

const std::string ENGINE_MANIFEST =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
    "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">\n"
    "    <security>\n"
    "      <requestedPrivileges>\n"
    "        <requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>\n"
    "      </requestedPrivileges>\n"
    "    </security>\n"
    "  </trustInfo>\n"
    "</assembly>\n";

std::string withLevel(const std::string& manifest, const std::string& level) {
    std::string result, error;
    EXPECT_TRUE(setExecutionLevel(manifest, level, &result, &error)) << error;
    return result;
}

std::string refusal(const std::string& manifest) {
    std::string result, error;
    EXPECT_FALSE(setExecutionLevel(manifest, "asInvoker", &result, &error)) << manifest;
    return error;
}

}  // namespace

TEST(ManifestLevel, ChangesOnlyTheLevelValue) {
    for (const char* level : EXECUTION_LEVELS) {
        std::string expected = ENGINE_MANIFEST;
        expected.replace(expected.find("requireAdministrator"), 20, level);
        EXPECT_EQ(withLevel(ENGINE_MANIFEST, level), expected);
        EXPECT_TRUE(isExecutionLevel(level));
    }
    EXPECT_FALSE(isExecutionLevel("AsInvoker"));
    EXPECT_FALSE(isExecutionLevel(""));
}

TEST(ManifestLevel, FindsTheElementWhereverTheMarkupHidesItOrDecoysIt) {
    // A namespace prefix, single quotes, spaces around '=', '>' and the name inside other
    // attributes' values, and decoys in a comment, CDATA, a processing instruction and an
    // end tag.
    const std::string manifest =
        "<?xml version='1.0'?><!-- <requestedExecutionLevel level=\"highestAvailable\"/> -->"
        "<a:assembly xmlns:a='urn:x' note=\"a > b <requestedExecutionLevel level='x'/>\">"
        "<![CDATA[ <requestedExecutionLevel level=\"asInvoker\"/> ]]><?pi <requestedExecutionLevel level=\"y\"?>"
        "<v3:requestedExecutionLevel uiAccess = 'false' level = 'requireAdministrator' />"
        "</requestedExecutionLevel></a:assembly>";
    std::string expected = manifest;
    expected.replace(expected.rfind("requireAdministrator"), 20, "highestAvailable");
    EXPECT_EQ(withLevel(manifest, "highestAvailable"), expected);
}

TEST(ManifestLevel, SaysWhenThereIsNoLevelAndRefusesWhatItCannotRead) {
    bool found = true;
    size_t start = 0, length = 0;
    std::string error;
    EXPECT_TRUE(findExecutionLevel("<assembly><trustInfo/></assembly>", &found, &start, &length, &error));
    EXPECT_FALSE(found);
    EXPECT_EQ(refusal("<assembly/>"), "the manifest has no requestedExecutionLevel element to change");
    EXPECT_EQ(refusal(""), "the manifest has no requestedExecutionLevel element to change");
    EXPECT_EQ(refusal("<requestedExecutionLevel uiAccess=\"false\"/>"), "the manifest's requestedExecutionLevel has no level");
    EXPECT_EQ(refusal("<r><requestedExecutionLevel level=\"asInvoker\"/><requestedExecutionLevel level=\"asInvoker\"/></r>"),
              "the manifest has two requestedExecutionLevel elements");
    EXPECT_EQ(refusal("<!-- <requestedExecutionLevel level=\"asInvoker\"/>"), "malformed manifest: markup without its end");
    EXPECT_EQ(refusal("<requestedExecutionLevel level=\"asInvoker/>"), "malformed manifest: a value without its closing quote");
    EXPECT_EQ(refusal("<requestedExecutionLevel level=asInvoker/>"), "malformed manifest: an unquoted value");
    EXPECT_EQ(refusal("<requestedExecutionLevel level/>"), "malformed manifest: an attribute without a value");
    EXPECT_EQ(refusal("<requestedExecutionLevel level=\"asInvoker\""), "malformed manifest: a tag without its end");
    // Every cut of the engine's manifest either still names no element or fails cleanly.
    for (size_t cut = 0; cut < ENGINE_MANIFEST.size(); ++cut) {
        const std::string part = ENGINE_MANIFEST.substr(0, cut);
        if (findExecutionLevel(part, &found, &start, &length, &error) && found) {
            EXPECT_LE(start + length, part.size());
        }
    }
}
