// docs/runpack.1 against the tool's own help: every option that `runpack --help` and each
// command's --help show is in the manual page, every option the page describes is one the
// tool has, and the page renders without a warning.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

struct Output {
    int code;
    std::string text;  // standard output and error
};

Output runShell(const std::string& command) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return {-1, "popen failed"};
    std::string text;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

const std::string MAN_PAGE = RUNPACK_SOURCE_DIR "/docs/runpack.1";

#ifdef RUNPACK_TOOL
std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The page's text as a reader sees it: font changes dropped, roff's escapes for the minus,
// backslash and quote made plain.
std::string plainText(std::string roff) {
    roff = std::regex_replace(roff, std::regex(R"(\\f[BIRP])"), "");
    roff = std::regex_replace(roff, std::regex(R"(\\-)"), "-");
    roff = std::regex_replace(roff, std::regex(R"(\\\(dq)"), "\"");
    roff = std::regex_replace(roff, std::regex(R"(\\e)"), "\\");
    roff = std::regex_replace(roff, std::regex(R"(\\&)"), "");
    return roff;
}

// The words of `text` that are options: a dash or two and a letter, standing alone (after a
// blank, a bracket, a bar or a comma), so that words such as "per-file" are not taken.
std::set<std::string> optionsIn(const std::string& text) {
    std::set<std::string> options;
    const std::regex option(R"((?:^|[\s\[(|,])(--?[A-Za-z][A-Za-z0-9-]*))");
    for (std::sregex_iterator it(text.begin(), text.end(), option), end; it != end; ++it) options.insert((*it)[1]);
    return options;
}

// True when `word` stands alone in `text`, not as the start of a longer option.
bool hasWord(const std::string& text, const std::string& word) {
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        const size_t after = at + word.size();
        const bool endsThere = after == text.size() || !(isalnum(static_cast<unsigned char>(text[after])) || text[after] == '-');
        const bool startsThere = at == 0 || !(isalnum(static_cast<unsigned char>(text[at - 1])) || text[at - 1] == '-');
        if (startsThere && endsThere) return true;
    }
    return false;
}

// Everything the tool says about its options: `runpack --help`, and each command's --help.
std::string toolHelp(std::set<std::string>* commands) {
    const Output top = runShell(std::string(RUNPACK_TOOL) + " --help");
    EXPECT_EQ(top.code, 0) << top.text;
    std::string help = top.text;
    const std::regex commandLine(R"((?:^|\n)runpack ([a-z]+))");
    for (std::sregex_iterator it(top.text.begin(), top.text.end(), commandLine), end; it != end; ++it)
        commands->insert((*it)[1]);
    for (const std::string& command : *commands) help += runShell(std::string(RUNPACK_TOOL) + " " + command + " --help").text;
    return help;
}

#endif

}  // namespace

#ifdef RUNPACK_TOOL
TEST(ManPage, DescribesEveryOptionOfTheToolsHelpAndNoOther) {
    std::set<std::string> commands;
    const std::string help = toolHelp(&commands);
    // The usage names the five commands; each but lzhuf explains itself at length.
    EXPECT_EQ(commands, (std::set<std::string>{"build", "extract", "list", "lzhuf", "verify"}));
    const std::set<std::string> helpOptions = optionsIn(help);
    ASSERT_GT(helpOptions.size(), 25u) << help;

    const std::string roff = readWhole(MAN_PAGE);
    ASSERT_FALSE(roff.empty()) << MAN_PAGE;
    const std::string page = plainText(roff);
    for (const std::string& option : helpOptions) EXPECT_TRUE(hasWord(page, option)) << option << " is not in " << MAN_PAGE;
    for (const std::string& command : commands)
        EXPECT_NE(page.find(".SS \"runpack " + command), std::string::npos) << "no section for " << command;

    // The other way: what the page describes as an option (the tag of each .TP paragraph)
    // is one the tool shows.
    std::istringstream lines(page);
    std::set<std::string> described;
    bool tagNext = false;
    for (std::string line; std::getline(lines, line);) {
        if (tagNext)
            for (const std::string& option : optionsIn(line)) described.insert(option);
        tagNext = line == ".TP";
    }
    ASSERT_GT(described.size(), 25u);
    for (const std::string& option : described) EXPECT_EQ(helpOptions.count(option), 1u) << option << " is not in the tool's help";
}
#endif

TEST(ManPage, RendersWithoutWarnings) {
    if (runShell("command -v groff").code != 0) GTEST_SKIP() << "groff is not installed (scripts/setup.sh installs it)";
    const Output rendered = runShell("LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z " + MAN_PAGE);
    EXPECT_EQ(rendered.code, 0);
    EXPECT_EQ(rendered.text, "");
    // A cut-off page (an unbalanced .RS, a macro that swallowed the rest) loses its last part.
    const Output text = runShell("LC_ALL=C.UTF-8 groff -man -Tutf8 -P-cbou " + MAN_PAGE);
    EXPECT_NE(text.text.find("SEE ALSO"), std::string::npos) << text.text;
}
