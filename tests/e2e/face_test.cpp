// The face `runpack build` gives an executable, as Windows reads it: a probe program reads the
// icon (every size, the 256-pixel PNG image included), the version resource and the manifest
// through the Win32 API under Wine. Checked on the product engine (PE32, read as data by the
// probe) and on the engine that runs here, also after signing, and the Windows build of the
// tool must make the same bytes.
#include "e2e/harness.h"

#include <stdio.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include "runpack/image/manifest_level.h"
#include "runpack/image/pe_resources.h"
#include "support/icon_builder.h"

namespace {

#ifdef RUNPACK_TOOL
const char* const TOOL = RUNPACK_TOOL;

std::string quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') quoted += "'\\''";
        else quoted += c;
    }
    return quoted + "'";
}

int shell(const std::string& command, std::string* output) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    output->clear();
    char buffer[4096];
    while (fgets(buffer, sizeof(buffer), pipe) != nullptr) *output += buffer;
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<uint8_t> bytesOf(const fs::path& path) {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(readFile(path.string(), &bytes, &error)) << error;
    return bytes;
}

// The strings every test sets, in the order the probe asks for them.
const std::vector<std::pair<std::string, std::string>> STRINGS = {
    {"CompanyName", "Example Ltd."},
    {"FileDescription", "Example installer"},
    {"ProductName", "Example"},
    {"LegalCopyright", "\xC2\xA9 2026 Example Ltd."},
    {"OriginalFilename", "setup.exe"},
    {"InternalName", "setup"},
    {"Comments", "P\xC5\x99\xC3\xADli\xC5\xA1 \xC5\xBElu\xC5\xA5ou\xC4\x8Dk\xC3\xBD k\xC5\xAF\xC5\x88, \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x93\xA6"},
};

class Face : public EngineTest {
protected:
    fs::path icon;

    void SetUp() override {
        EngineTest::SetUp();
        icon = dir / "app.ico";
        std::string error;
        ASSERT_TRUE(writeFile(icon.string(), sampleIconFile(), &error)) << error;
        fs::create_directories(dir / "tree");
        ASSERT_TRUE(writeFile((dir / "tree" / "a.txt").string(), {'o', 'k'}, &error)) << error;
    }

    // The face options, with paths as `path` gives them (Linux or Windows form).
    std::string faceOptions(const std::function<std::string(const fs::path&)>& path) {
        std::string options = " --set-icon " + quote(path(icon)) +
                              " --set-file-version 2.5.0.17 --set-product-version 2.5.0.0 --execution-level asInvoker";
        for (const auto& [key, value] : STRINGS) options += " --set-version-string " + key + " " + quote(value);
        return options;
    }
    // Builds `out` with the native tool; an empty engine means the one the tool carries.
    void buildFaced(const fs::path& out, const fs::path& engine, const std::string& extra = "") {
        std::string output;
        ASSERT_EQ(shell(std::string(TOOL) + " build -o " + quote(out.string()) + extra +
                            (engine.empty() ? "" : " --engine " + quote(engine.string())) + " -c " +
                            quote("cmd.exe /c exit") + faceOptions([](const fs::path& p) { return p.string(); }) + " " +
                            quote((dir / "tree").string()), &output), 0) << output;
    }
    // What the probe reads of `exe` through the Win32 API.
    std::string probe(const fs::path& exe) {
        const fs::path report = dir / "probe.txt";
        fs::remove(report);
        std::string command = "timeout " + std::to_string(120 * timeScale()) + " " +
                              std::string(RUNPACK_SOURCE_DIR) + "/scripts/wine " +
                              quote((windowsBuildDir() / "runpack-face-probe.exe").string()) + " " +
                              quote(windowsPath(exe)) + " " + quote(windowsPath(report));
        for (const auto& [key, value] : STRINGS) command += " " + key;
        command += " FileVersion ProductVersion LegalTrademarks </dev/null";
        std::string output;
        EXPECT_EQ(shell(command, &output), 0) << output;
        const std::vector<uint8_t> bytes = bytesOf(report);
        return std::string(bytes.begin(), bytes.end());
    }
    // What the probe must see: the sample icon's four images, each at its own size and in its
    // own colour, the numbers and strings given, and the engine's manifest asking asInvoker.
    std::string expectedReport(const fs::path& engine) {
        std::string report;
        char line[64];
        for (int i = 0; i < 4; ++i) {
            snprintf(line, sizeof line, "icon %u: %ux%u %08x\n", SAMPLE_ICON_SIDES[i], SAMPLE_ICON_SIDES[i],
                     SAMPLE_ICON_SIDES[i], SAMPLE_ICON_COLORS[i]);
            report += line;
        }
        for (uint32_t side : SAMPLE_ICON_SIDES)
            report += "loaded " + std::to_string(side) + ": " + std::to_string(side) + "x" + std::to_string(side) + "\n";
        report += "fixed: file 2.5.0.17 product 2.5.0.0 mask 3f flags 0 os 40004 type 1\n";
        report += "translation 0409 04b0\n";
        for (const auto& [key, value] : STRINGS) report += key + "=" + value + "\n";
        report += "FileVersion=2.5.0.17\nProductVersion=2.5.0.0\nLegalTrademarks missing\n";
        report += "run level asInvoker ui access 0\n";
        std::vector<PeResource> resources;
        std::string error;
        EXPECT_TRUE(readPeResources(bytesOf(engine), &resources, &error)) << error;
        std::string manifest;
        for (const PeResource& r : resources)
            if (!r.type.isName && r.type.id == RT_MANIFEST_TYPE) manifest.assign(r.data.begin(), r.data.end());
        EXPECT_TRUE(setExecutionLevel(manifest, "asInvoker", &manifest, &error)) << error;
        return report + "manifest:\n" + manifest;
    }
};

TEST_F(Face, WindowsReadsTheIconVersionAndLevelOfTheProductAndOfTheRunningEngine) {
    const fs::path product = fs::path(RUNPACK_SOURCE_DIR) / "build" / "win32" / "runpack-engine.exe";
    const fs::path running = windowsBuildDir() / "runpack-engine.exe";
    for (const fs::path& engine : {fs::path(), running}) {
        SCOPED_TRACE(engine.empty() ? "the engine the tool carries" : engine.string());
        const fs::path exe = dir / (engine.empty() ? "product.exe" : "running.exe");
        buildFaced(exe, engine);
        EXPECT_EQ(probe(exe), expectedReport(engine.empty() ? product : engine));

        // The tool reads back the same.
        std::string output;
        ASSERT_EQ(shell(std::string(TOOL) + " list --json " + quote(exe.string()), &output), 0) << output;
        const nlohmann::json listed = nlohmann::json::parse(output);
        std::vector<std::string> sizes;
        for (const auto& image : listed["icon"]["images"])
            sizes.push_back(std::to_string(int(image["width"])) + (image["png"] ? " png" : ""));
        EXPECT_EQ(sizes, (std::vector<std::string>{"16", "32", "48", "256 png"}));
        for (const auto& [key, value] : STRINGS) EXPECT_EQ(listed["version"]["strings"]["040904B0"][key], value);
        EXPECT_EQ(listed["executionLevel"], "asInvoker");
    }
    // The one that runs here still runs, and leaves nothing.
    EngineRun run = this->run(dir / "running.exe");
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_TRUE(listTree(tmp).empty());
}

TEST_F(Face, SignedFacedExecutableVerifiesKeepsItsFaceAndRuns) {
    const fs::path engine = windowsBuildDir() / "runpack-engine.exe";
    const fs::path exe = dir / "app.exe", signed_ = dir / "signed.exe";
    buildFaced(exe, engine);
    std::string output;
    ASSERT_EQ(shell("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=runpack-test -keyout " +
                        quote((dir / "key.pem").string()) + " -out " + quote((dir / "cert.pem").string()), &output), 0)
        << output;
    ASSERT_EQ(shell("osslsigncode sign -certs " + quote((dir / "cert.pem").string()) + " -key " +
                        quote((dir / "key.pem").string()) + " -in " + quote(exe.string()) + " -out " +
                        quote(signed_.string()), &output), 0) << output;
    EXPECT_EQ(shell("osslsigncode verify -CAfile " + quote((dir / "cert.pem").string()) + " " + quote(signed_.string()),
                    &output), 0) << output;
    EXPECT_EQ(shell(std::string(TOOL) + " verify " + quote(signed_.string()), &output), 0) << output;
    EXPECT_EQ(probe(signed_), expectedReport(engine));
    EngineRun run = this->run(signed_);
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_TRUE(listTree(tmp).empty());
}

TEST_F(Face, WindowsBuildOfToolMakesTheSameBytes) {
    const fs::path engine = windowsBuildDir() / "runpack-engine.exe";
    const fs::path native = dir / "native.exe", windows = dir / "windows.exe";
    // Both tools compress with the same liblzma: the default method gives the same bytes too.
    buildFaced(native, engine, "");
    std::string output;
    ASSERT_EQ(shell("timeout 120 " + std::string(RUNPACK_SOURCE_DIR) + "/scripts/wine " +
                        quote((windowsBuildDir() / "runpack.exe").string()) + " build -o " + quote(windowsPath(windows)) +
                        " --engine " + quote(windowsPath(engine)) + " -c " + quote("cmd.exe /c exit") +
                        faceOptions([](const fs::path& p) { return windowsPath(p); }) + " " +
                        quote(windowsPath(dir / "tree")) + " </dev/null", &output), 0) << output;
    EXPECT_EQ(bytesOf(windows), bytesOf(native));
}
#endif

}  // namespace
