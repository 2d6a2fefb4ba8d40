// scripts/steps.sh, which scripts/setup.sh and scripts/demo.sh source: exit codes that survive
// set -e, the output of a failed step shown whole, the step lines' clock, apt's progress.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <string>

namespace {

struct Shell {
    int code;
    std::string output;  // standard output and error
};

// `text` as one word of the shell.
std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// True when `text` is `head`, then `middle` (some characters of `allowed`, at least one), then `tail`.
bool framed(const std::string& text, const std::string& head, const std::string& allowed, const std::string& tail) {
    if (text.size() <= head.size() + tail.size() || text.compare(0, head.size(), head) != 0 ||
        text.compare(text.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const std::string middle = text.substr(head.size(), text.size() - head.size() - tail.size());
    return middle.find_first_not_of(allowed) == std::string::npos;
}

// Runs `script` in bash with set -euo pipefail, after sourcing steps.sh.
Shell runWithSteps(const std::string& script, const std::string& environment = "") {
    const std::string quoted = shellQuoted(script);
    const std::string command = environment + " bash -c 'set -euo pipefail; . \"$0\"; eval \"$1\"' " +
                                shellQuoted(RUNPACK_SOURCE_DIR "/scripts/steps.sh") + " " + quoted + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return {-1, "popen failed"};
    std::string output;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

}  // namespace

TEST(ScriptSteps, ReportExitPrintsTheRealCodeAndReturnsIt) {
    // What demo.sh does with the executable's run: the code is printed, then handed on.
    Shell r = runWithSteps("status=0; report_exit sh -c 'exit 7' || status=$?; echo \"after: $status\"; exit $status");
    EXPECT_EQ(r.code, 7);
    EXPECT_EQ(r.output, "exit code: 7\nafter: 7\n");
    // Without "|| ...", set -e ends the script at once, with that code, after the line.
    r = runWithSteps("report_exit sh -c 'exit 3'; echo never");
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.output, "exit code: 3\n");
    r = runWithSteps("report_exit true; echo next");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.output, "exit code: 0\nnext\n");
}

TEST(ScriptSteps, QuietlyShowsTheWholeOutputOnlyWhenTheCommandFails) {
    const std::string log = "\"$(mktemp)\"";
    Shell r = runWithSteps("log=" + log + "; quietly \"$log\" sh -c 'echo one; echo two >&2'; echo ok; rm \"$log\"");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.output, "ok\n");
    r = runWithSteps("log=" + log + "; trap 'rm \"$log\"' EXIT; quietly \"$log\" sh -c 'echo one; echo two >&2; exit 5'");
    EXPECT_EQ(r.code, 5);
    EXPECT_TRUE(framed(r.output, "-- sh -c echo one; echo two >&2; exit 5 failed with exit code 5; its output (/",
                       "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789./_-", "):\none\ntwo\n"))
        << r.output;
}

TEST(ScriptSteps, StepLinesCountFromTheStartTheCallerInheritsOrFromNow) {
    // Inherited: started 65 seconds ago (a little more on a slow machine).
    Shell r = runWithSteps("step building things", "RUNPACK_STEPS_STARTED=$(($(date +%s) - 65))");
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(framed(r.output, "== [01:", "0123456789", "] building things\n")) << r.output;
    // Not a number, or in the future: the clock starts now.
    for (const char* value : {"'1; exit 9'", "99999999999", "-5", "1e3"}) {
        r = runWithSteps("step again", std::string("RUNPACK_STEPS_STARTED=") + value);
        EXPECT_EQ(r.code, 0) << value;
        EXPECT_TRUE(framed(r.output, "== [00:", "0123456789", "] again\n")) << value << ": " << r.output;
    }
}

TEST(ScriptSteps, AptProgressPrintsEachTenthOnceAndLogsTheRest) {
    const std::string lines =
        "Reading package lists...\n"
        "dlstatus:1:0.0000:Retrieving file 1 of 3\n"
        "dlstatus:1:4.5000:Retrieving file 1 of 3\n"
        "dlstatus:2:33.3333:Retrieving file 2 of 3\n"
        "dlstatus:3:100.0000:Retrieving file 3 of 3\n"
        "Setting up bc (1.07.1-3+b1) ...\n"
        "pmstatus:dpkg-exec:0.0000:Running dpkg\n"
        "pmstatus:bc:9.0909:Unpacking bc (amd64)\n"
        "pmstatus:bc:57.1:Installing bc: a text with : in it\n"
        "pmstatus:bc:not-a-number:?\n"
        "pmerror:bc:60:something went wrong\n";
    const Shell r = runWithSteps("log=$(mktemp); printf '%s' \"$LINES\" | apt_progress \"$log\"; echo ---; cat \"$log\"; rm \"$log\"",
                                 "LINES='" + lines + "'");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.output,
              "   downloading: 0 %\n"
              "   downloading: 30 %\n"
              "   downloading: 100 %\n"
              "   installing: 0 %\n"
              "   installing: 50 %\n"
              "---\n"
              "Reading package lists...\n"
              "Setting up bc (1.07.1-3+b1) ...\n"
              "pmerror:bc:60:something went wrong\n");
}
