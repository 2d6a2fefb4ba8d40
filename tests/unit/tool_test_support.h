// Shared by the tool tests: a temporary directory per test with a synthetic engine in it,
// and the commands run in-process with their output captured.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "runpack/commands/build_command.h"
#include "runpack/commands/inspect_commands.h"
#include "runpack/image/pe_resources.h"
#include "support/pe_test_image.h"

namespace tooltest {

namespace fs = std::filesystem;

struct Result {
    int code;
    std::string out;
    std::string err;
};

inline std::vector<uint8_t> fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void writeText(const fs::path& path, const std::string& text) {
    writeBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

class ToolTest : public ::testing::Test {
protected:
    fs::path dir;
    fs::path engine;

    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "runpack-tool-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        engine = dir / "engine.exe";
        TestImageOptions options;
        options.resources = sampleTestResources();
        writeBytes(engine, makeTestImage(options));
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    Result run(int (*command)(const std::vector<std::string>&, std::ostream&, std::ostream&),
               const std::vector<std::string>& args) {
        std::ostringstream out, err;
        const int code = command(args, out, err);
        return {code, out.str(), err.str()};
    }
    // `runpack build --engine <test engine> -o OUT args...`
    Result build(const fs::path& output, std::vector<std::string> args) {
        args.insert(args.begin(), {"--engine", engine.string(), "-o", output.string()});
        return run(runBuildCommand, args);
    }
    Result list(const fs::path& exe, std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), exe.string());
        return run(runListCommand, extra);
    }
    Result verify(const fs::path& exe) { return run(runVerifyCommand, {exe.string()}); }
    Result extract(const fs::path& exe, const fs::path& to, std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), {exe.string(), "-C", to.string()});
        return run(runExtractCommand, extra);
    }
    // The package inside a built executable.
    std::vector<uint8_t> packageOf(const fs::path& exe, std::vector<uint8_t>* digest = nullptr) {
        std::vector<uint8_t> package, d;
        bool hasPackage = false, hasDigest = false;
        std::string error;
        EXPECT_TRUE(readRunInfo(fileBytes(exe), &package, &hasPackage, &d, &hasDigest, &error)) << error;
        EXPECT_TRUE(hasPackage);
        if (digest) *digest = d;
        return package;
    }
};

}  // namespace tooltest
