// `runpack lzhuf`: the files it writes, its reports and its refusals.
#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "runpack/commands/lzhuf_command.h"
#include "support/lzhuf_streams.h"

namespace {

class LzhufCommand : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/runpack-lzhuf-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        for (const std::string& name : created) {
            remove(name.c_str());
        }
        rmdir(dir.c_str());
    }
    std::string path(const char* name) {
        created.push_back(dir + "/" + name);
        return created.back();
    }
    void put(const std::string& name, const Bytes& data) {
        std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                    data.size());
    }
    Bytes get(const std::string& name) {
        std::ifstream file(name, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    int run(std::vector<std::string> words) {
        std::vector<char*> args;
        for (std::string& word : words) {
            args.push_back(&word[0]);
        }
        out.str("");
        err.str("");
        return runLzhufCommand(static_cast<int>(args.size()), args.data(), out, err);
    }
    std::string dir;
    std::vector<std::string> created;
    std::ostringstream out;
    std::ostringstream err;
};

TEST_F(LzhufCommand, EncodesAndDecodesFiles) {
    std::string in = path("in"), packed = path("packed"), back = path("back");
    put(in, hexBytes("61 61 61 61"));
    EXPECT_EQ(run({"encode", in, packed}), 0);
    EXPECT_EQ(get(packed), hexBytes("F6 C6 00 00"));
    EXPECT_EQ(out.str(), "4 bytes in, 4 bytes out\n");
    EXPECT_EQ(run({"decode", packed, back, "4"}), 0);
    EXPECT_EQ(get(back), hexBytes("61 61 61 61"));
}

TEST_F(LzhufCommand, RefusesStreamsThatDoNotFitTheSize) {
    std::string packed = path("packed"), back = path("back");
    put(packed, hexBytes("F6 C6 00 00"));
    EXPECT_EQ(run({"decode", packed, back, "5"}), 1);
    EXPECT_EQ(err.str(), "runpack lzhuf: input ends early\n");
    EXPECT_EQ(run({"decode", packed, back, "2"}), 1);
    EXPECT_EQ(err.str(), "runpack lzhuf: stream decodes past 2 by 2 bytes\n");
    EXPECT_NE(run({"decode", packed, back, "-1"}), 0);
    EXPECT_NE(run({"decode", packed, back}), 0);
    EXPECT_NE(run({"decode", path("missing"), back, "1"}), 0);
}

}  // namespace
