// `runpack build --set-icon/--set-*-version/--set-version-string/--execution-level` on the
// engine this tool carries, what `list` shows of it, and what both refuse.
#include <nlohmann/json.hpp>

#include "runpack/commands/embedded_engine.h"
#include "runpack/image/executable_face.h"
#include "runpack/image/manifest_level.h"
#include "runpack/package/text_encoding.h"
#include "support/icon_builder.h"
#include "tool_test_support.h"

using namespace tooltest;

namespace {

const std::vector<std::string> VERSION_OPTIONS = {
    "--set-file-version", "2.5.0.17", "--set-product-version", "2.5.0.0",
    "--set-version-string", "CompanyName", "Example Ltd.",
    "--set-version-string", "FileDescription", "Example installer",
    "--set-version-string", "LegalCopyright", "\xC2\xA9 2026 Example Ltd.",
    "--set-version-string", "OriginalFilename", "setup.exe",
    "--set-version-string", "ProductName", "Example",
    "--set-version-string", "Comments", "Gr\xC3\xBC\xC3\x9F" "e, \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x93\xA6"};

const std::string FACE_LISTED =
    "icon:    group 101: 16x16 32-bit, 32x32 32-bit, 48x48 32-bit, 256x256 32-bit PNG\n"
    "version: file 2.5.0.17, product 2.5.0.0\n"
    "  040904B0 Comments: Gr\xC3\xBC\xC3\x9F" "e, \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x93\xA6\n"
    "  040904B0 CompanyName: Example Ltd.\n"
    "  040904B0 FileDescription: Example installer\n"
    "  040904B0 FileVersion: 2.5.0.17\n"
    "  040904B0 LegalCopyright: \xC2\xA9 2026 Example Ltd.\n"
    "  040904B0 OriginalFilename: setup.exe\n"
    "  040904B0 ProductName: Example\n"
    "  040904B0 ProductVersion: 2.5.0.0\n"
    "execution level: asInvoker\n";

bool isType(const PeResource& r, uint16_t type) { return !r.type.isName && r.type.id == type; }

std::vector<PeResource> resourcesOf(const std::vector<uint8_t>& image) {
    std::vector<PeResource> resources;
    std::string error;
    EXPECT_TRUE(readPeResources(image, &resources, &error)) << error;
    return resources;
}

std::string manifestOf(const std::vector<PeResource>& resources) {
    for (const PeResource& r : resources)
        if (isType(r, RT_MANIFEST_TYPE)) return std::string(r.data.begin(), r.data.end());
    return "";
}

PeResource resource(uint16_t type, uint16_t name, uint16_t language, std::vector<uint8_t> data) {
    PeResource r;
    r.type = peResourceId(type);
    r.name = peResourceId(name);
    r.language = language;
    r.data = std::move(data);
    return r;
}

class ToolFace : public ToolTest {
protected:
    fs::path realEngine, icon, tree;

    void SetUp() override {
        ToolTest::SetUp();
        realEngine = dir / "runpack-engine.exe";
        writeBytes(realEngine, std::vector<uint8_t>(EMBEDDED_ENGINE, EMBEDDED_ENGINE + EMBEDDED_ENGINE_SIZE));
        icon = dir / "app.ico";
        writeBytes(icon, sampleIconFile());
        tree = dir / "tree";
        writeText(tree / "a.txt", "payload");
    }
    Result buildReal(const fs::path& out, std::vector<std::string> options) {
        std::vector<std::string> args = {"--engine", realEngine.string(), "-o", out.string()};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(tree.string());
        return run(runBuildCommand, args);
    }
    std::vector<std::string> allOptions() {
        std::vector<std::string> options = {"--set-icon", icon.string(), "--execution-level", "asInvoker"};
        options.insert(options.end(), VERSION_OPTIONS.begin(), VERSION_OPTIONS.end());
        return options;
    }
};

}  // namespace

TEST_F(ToolFace, BuildSetsIconVersionAndLevelAndLeavesEveryOtherResource) {
    const fs::path out = dir / "faced.exe";
    const Result r = buildReal(out, allOptions());
    ASSERT_EQ(r.code, 0) << r.err;
    const std::vector<PeResource> before = resourcesOf(fileBytes(realEngine));
    const std::vector<PeResource> after = resourcesOf(fileBytes(out));

    // The icon: group 101 names the four images as ids 1 to 4 (the engine's three are gone,
    // none left behind), each stored as the file holds it.
    std::vector<IconImage> images;
    std::string error;
    ASSERT_TRUE(parseIconFile(sampleIconFile(), &images, &error)) << error;
    std::vector<std::pair<uint16_t, std::vector<uint8_t>>> icons;
    for (const PeResource& p : after) {
        if (isType(p, RT_ICON_TYPE)) icons.push_back({p.name.id, p.data});
        if (isType(p, RT_GROUP_ICON_TYPE)) {
            EXPECT_EQ(p.name.id, ENGINE_ICON_GROUP);
            EXPECT_EQ(p.language, 0);
            EXPECT_EQ(p.data, makeIconGroup(images, {1, 2, 3, 4}));
        }
    }
    ASSERT_EQ(icons.size(), 4u);
    for (uint16_t i = 0; i < 4; ++i) {
        EXPECT_EQ(icons[i].first, i + 1);
        EXPECT_EQ(icons[i].second, images[i].data);
    }
    // The manifest differs in the level alone; every other resource but the version (which
    // list and the Windows-side test read) is as the engine has it.
    std::string manifest = manifestOf(before);
    manifest.replace(manifest.find("requireAdministrator"), 20, "asInvoker");
    EXPECT_EQ(manifestOf(after), manifest);
    auto rest = [](const std::vector<PeResource>& all) {
        std::vector<std::pair<uint16_t, std::vector<uint8_t>>> kept;
        for (const PeResource& p : all) {
            if (p.type.isName || isType(p, RT_ICON_TYPE) || isType(p, RT_GROUP_ICON_TYPE) ||
                isType(p, RT_MANIFEST_TYPE) || isType(p, RT_VERSION_TYPE))
                continue;
            kept.push_back({p.type.id, p.data});
        }
        return kept;
    };
    EXPECT_EQ(rest(after), rest(before));
    EXPECT_EQ(verify(out).code, 0);

    // The same inputs and options give the same bytes.
    const fs::path again = dir / "again.exe";
    ASSERT_EQ(buildReal(again, allOptions()).code, 0);
    EXPECT_EQ(fileBytes(again), fileBytes(out));
}

TEST_F(ToolFace, ListShowsTheFaceInTextAndJson) {
    const fs::path plain = dir / "plain.exe", faced = dir / "faced.exe";
    ASSERT_EQ(buildReal(plain, {}).code, 0);
    ASSERT_EQ(buildReal(faced, allOptions()).code, 0);
    const Result shown = list(faced);
    ASSERT_EQ(shown.code, 0) << shown.err;
    ASSERT_NE(shown.out.find("icon:"), std::string::npos) << shown.out;
    EXPECT_EQ(shown.out.substr(shown.out.find("icon:")), FACE_LISTED);
    const Result engine = list(plain);
    EXPECT_EQ(engine.out.substr(engine.out.find("icon:")),
              "icon:    group 101: 16x16 4-bit, 32x32 4-bit, 48x48 4-bit\n"
              "version: file 1.0.22.9441, product 1.0.6.7354\n"
              "  040904B0 CompanyName: runpack\n"
              "  040904B0 FileDescription: runpack self-extracting run engine\n"
              "  040904B0 FileVersion: 1,0,22,9441\n"
              "  040904B0 InternalName: runpack-engine\n"
              "  040904B0 OriginalFilename: runpack-engine.exe\n"
              "  040904B0 ProductName: runpack\n"
              "  040904B0 ProductVersion: 1,0,6,7354\n"
              "execution level: requireAdministrator\n");

    const Result json = list(faced, {"--json"});
    ASSERT_EQ(json.code, 0) << json.err;
    const nlohmann::json root = nlohmann::json::parse(json.out);
    ASSERT_EQ(root["icon"]["images"].size(), 4u);
    EXPECT_EQ(root["icon"]["group"], 101);
    EXPECT_EQ(root["icon"]["images"][3], nlohmann::json::parse(R"({"width": 256, "height": 256, "bitCount": 32,
        "png": true, "bytes": )" + std::to_string(makePngData(256, SAMPLE_ICON_COLORS[3]).size()) +
                                                                   R"(, "id": 4, "present": true})"));
    EXPECT_EQ(root["icon"]["images"][0]["png"], false);
    EXPECT_EQ(root["version"]["fileVersion"], "2.5.0.17");
    EXPECT_EQ(root["version"]["productVersion"], "2.5.0.0");
    EXPECT_EQ(root["version"]["strings"]["040904B0"].size(), 8u);
    EXPECT_EQ(root["version"]["strings"]["040904B0"]["Comments"], VERSION_OPTIONS.back());
    EXPECT_EQ(root["version"]["error"], nullptr);
    EXPECT_EQ(root["executionLevel"], "asInvoker");
    EXPECT_EQ(root["files"].size(), 1u);
}

TEST_F(ToolFace, WithoutTheOptionsTheOutputIsTheEngineWithItsPackageOnly) {
    const fs::path plain = dir / "plain.exe";
    ASSERT_EQ(buildReal(plain, {}).code, 0);
    std::vector<uint8_t> digest;
    const std::vector<uint8_t> package = packageOf(plain, &digest);
    std::vector<uint8_t> expected;
    std::string error;
    ASSERT_TRUE(embedRunInfo(fileBytes(realEngine), &package, &digest, &expected, &error)) << error;
    EXPECT_EQ(fileBytes(plain), expected);
    // Asking for the level the engine already requests changes nothing either.
    const fs::path same = dir / "same.exe";
    ASSERT_EQ(buildReal(same, {"--execution-level", "requireAdministrator"}).code, 0);
    EXPECT_EQ(fileBytes(same), expected);
}

TEST_F(ToolFace, VersionNumbersFillEachOtherAndTheEngineStringsGo) {
    const fs::path out = dir / "out.exe";
    ASSERT_EQ(buildReal(out, {"--set-product-version", "3.1.4.1"}).code, 0);
    EXPECT_NE(list(out).out.find("version: file 3.1.4.1, product 3.1.4.1\n"
                                 "  040904B0 FileVersion: 3.1.4.1\n"
                                 "  040904B0 ProductVersion: 3.1.4.1\n"
                                 "execution level: requireAdministrator\n"), std::string::npos);
    fs::remove(out);
    ASSERT_EQ(buildReal(out, {"--set-version-string", "ProductName", "Example"}).code, 0);
    const Result shown = list(out);
    EXPECT_NE(shown.out.find("icon:    group 101: 16x16 4-bit, 32x32 4-bit, 48x48 4-bit\n"
                             "version: file 0.0.0.0, product 0.0.0.0\n"
                             "  040904B0 FileVersion: 0.0.0.0\n"
                             "  040904B0 ProductName: Example\n"
                             "  040904B0 ProductVersion: 0.0.0.0\n"
                             "execution level: requireAdministrator\n"), std::string::npos)
        << shown.out;
}

TEST_F(ToolFace, RefusesBadOptionsAndMalformedIconsWithOneLineAndNoOutput) {
    const fs::path out = dir / "out.exe";
    auto refused = [&](const std::vector<std::string>& options, int code, const std::string& message) {
        const Result r = buildReal(out, options);
        EXPECT_EQ(r.code, code) << r.err;
        EXPECT_EQ(r.err, message);
        EXPECT_FALSE(fs::exists(out));
        EXPECT_FALSE(fs::exists(dir / "out.exe.partial"));
    };
    const std::string retry = "\nTry 'runpack build --help'.\n";
    refused({"--set-file-version", "1.2.3"}, 2,
            "runpack build: --set-file-version needs four numbers 0..65535 as A.B.C.D, not \"1.2.3\"" + retry);
    refused({"--set-product-version", "1.2.3.70000"}, 2,
            "runpack build: --set-product-version needs four numbers 0..65535 as A.B.C.D, not \"1.2.3.70000\"" + retry);
    refused({"--set-version-string", "fileversion", "9"}, 2,
            "runpack build: --set-version-string: fileversion is written from the version number: use "
            "--set-file-version or --set-product-version" + retry);
    refused({"--set-version-string", "Comments", "a", "--set-version-string", "COMMENTS", "b"}, 2,
            "runpack build: --set-version-string: version string COMMENTS given twice" + retry);
    refused({"--set-version-string", "", "a"}, 2, "runpack build: --set-version-string: a version string needs a name" + retry);
    refused({"--set-version-string", "Tab\tKey", "a"}, 2,
            "runpack build: --set-version-string: version string name \"Tab\\x09Key\" holds a control character" + retry);
    refused({"--set-version-string", "Comments", "bad \xC0\xAF"}, 2,
            "runpack build: --set-version-string: text is not valid UTF-8: \"bad \\xC0\\xAF\"" + retry);
    const Result last = run(runBuildCommand, {"-o", out.string(), tree.string(), "--set-version-string", "Comments"});
    EXPECT_EQ(last.code, 2);
    EXPECT_EQ(last.err, "runpack build: --set-version-string needs a KEY and a VALUE" + retry);
    refused({"--execution-level", "admin"}, 2,
            "runpack build: unknown execution level \"admin\" (asInvoker, highestAvailable or requireAdministrator)" + retry);

    refused({"--set-icon", (dir / "missing.ico").string()}, 1,
            "runpack build: --set-icon " + (dir / "missing.ico").string() + ": cannot open " +
                (dir / "missing.ico").string() + " for reading: No such file or directory\n");
    writeBytes(dir / "empty.ico", {0, 0, 1, 0, 0, 0});
    refused({"--set-icon", (dir / "empty.ico").string()}, 1,
            "runpack build: --set-icon " + (dir / "empty.ico").string() + ": the icon file holds no images\n");
    std::vector<uint8_t> truncated = sampleIconFile();
    truncated.resize(truncated.size() - 1);
    writeBytes(dir / "cut.ico", truncated);
    const Result cut = buildReal(out, {"--set-icon", (dir / "cut.ico").string()});
    EXPECT_EQ(cut.code, 1);
    EXPECT_EQ(cut.err.find("image 4 lies outside the file's images"), cut.err.find(": image 4") + 2) << cut.err;
    EXPECT_EQ(std::count(cut.err.begin(), cut.err.end(), '\n'), 1);

    // An engine without a manifest cannot have its level set; without icon group 101 it
    // gets one.
    const Result noManifest = build(out, {"--execution-level", "asInvoker", tree.string()});
    EXPECT_EQ(noManifest.code, 1);
    EXPECT_EQ(noManifest.err, "runpack build: engine " + engine.string() +
                                  ": the engine has no application manifest (RT_MANIFEST 1) to set the execution level in\n");
    ASSERT_EQ(build(out, {"--set-icon", icon.string(), tree.string()}).code, 0);
    EXPECT_NE(list(out).out.find("icon:    group 101: 16x16 32-bit, 32x32 32-bit, 48x48 32-bit, 256x256 32-bit PNG\n"
                                 "version: (none)\nexecution level: (no manifest)\n"), std::string::npos);
}

TEST_F(ToolFace, ReplacesOnlyTheImagesGroup101AloneNamesWithTheLowestFreeIds) {
    std::vector<IconImage> images;
    std::string error;
    ASSERT_TRUE(parseIconFile(sampleIconFile(), &images, &error)) << error;
    // Group 101 names 1, 2, 3; group 7 shares 3 and names 9; image 4 belongs to no group.
    std::vector<IconImage> old(3, images[0]);
    std::vector<PeResource> resources = {
        resource(RT_ICON_TYPE, 1, 0x0409, {1}), resource(RT_ICON_TYPE, 2, 0x0409, {2}),
        resource(RT_ICON_TYPE, 3, 0x0409, {3}), resource(RT_ICON_TYPE, 4, 0x0409, {4}),
        resource(RT_ICON_TYPE, 9, 0x0409, {9}),
        resource(RT_GROUP_ICON_TYPE, 7, 0x0409, makeIconGroup({images[0], images[1]}, {3, 9})),
        resource(RT_GROUP_ICON_TYPE, 101, 0x0409, makeIconGroup(old, {1, 2, 3})),
    };
    FaceOptions face;
    face.setIcon = true;
    face.icon = images;
    ASSERT_TRUE(applyFace(&resources, face, &error)) << error;
    std::vector<uint16_t> ids;
    for (const PeResource& r : resources) {
        if (isType(r, RT_ICON_TYPE)) {
            ids.push_back(r.name.id);
            EXPECT_EQ(r.language, 0x0409);
            if (r.name.id == 3 || r.name.id == 4 || r.name.id == 9) {
                EXPECT_EQ(r.data, std::vector<uint8_t>{uint8_t(r.name.id)});
            }
        }
        if (isType(r, RT_GROUP_ICON_TYPE) && r.name.id == 101) {
            EXPECT_EQ(r.language, 0x0409);
            EXPECT_EQ(r.data, makeIconGroup(images, {1, 2, 5, 6}));
        }
    }
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<uint16_t>{1, 2, 3, 4, 5, 6, 9}));

    // A group 101 that cannot be read: its images cannot be told, so nothing is replaced.
    resources.push_back(resource(RT_GROUP_ICON_TYPE, 101, 0x0405, {0, 0, 1, 0, 9, 0}));
    EXPECT_FALSE(applyFace(&resources, face, &error));
    EXPECT_EQ(error, "the engine's icon group 101 is malformed: icon group of 9 images in 6 bytes");
}

TEST_F(ToolFace, ListShowsMalformedPartsAndStillThePackage) {
    std::vector<PeResource> resources = resourcesOf(fileBytes(realEngine));
    for (PeResource& r : resources) {
        if (isType(r, RT_VERSION_TYPE)) r.data[0] = 0xFF;  // the root claims more than there is
        if (isType(r, RT_MANIFEST_TYPE)) r.data.resize(std::string(r.data.begin(), r.data.end()).find("uiAccess"));
        if (isType(r, RT_GROUP_ICON_TYPE)) r.data.resize(10);
    }
    std::vector<uint8_t> broken;
    std::string error;
    ASSERT_TRUE(writePeResources(fileBytes(realEngine), resources, &broken, &error)) << error;
    writeBytes(realEngine, broken);
    const fs::path out = dir / "broken.exe";
    ASSERT_EQ(buildReal(out, {}).code, 0);
    const Result shown = list(out);
    ASSERT_EQ(shown.code, 0) << shown.err;
    EXPECT_NE(shown.out.find("a.txt\n"), std::string::npos);
    EXPECT_EQ(shown.out.substr(shown.out.find("icon:")),
              "icon:    group 101, malformed: icon group of 3 images in 10 bytes\n"
              "version: malformed version resource: a part of 767 bytes at 0 overruns what holds it\n"
              "execution level: malformed manifest: a tag without its end\n");
    const nlohmann::json root = nlohmann::json::parse(list(out, {"--json"}).out);
    EXPECT_EQ(root["version"]["error"], "malformed version resource: a part of 767 bytes at 0 overruns what holds it");
    EXPECT_EQ(root["executionLevel"], nullptr);
    EXPECT_EQ(root["manifestError"], "malformed manifest: a tag without its end");
    // The broken group cannot be replaced either.
    const Result r = buildReal(dir / "x.exe", {"--set-icon", icon.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "runpack build: engine " + realEngine.string() +
                         ": the engine's icon group 101 is malformed: icon group of 3 images in 10 bytes\n");
}
