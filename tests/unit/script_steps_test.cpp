// scripts/steps.sh, which scripts/setup.sh and scripts/demo.sh source: exit codes that survive
// set -e, the output of a failed step shown whole, the step lines' clock, apt's progress, the
// line a minute of a long quiet command; and scripts/locale.sh, the locale the scripts choose.
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

// apt_update with a stand-in apt-get on PATH that fails its first FAILS calls the way a
// mirror in the middle of a sync does: with exit code 100 and "E: Failed to fetch", or, where
// older lists are at hand, with exit code 0 and only a warning.
Shell aptUpdateWithStub(int fails, int failCode, int attempts, const std::string& options = "") {
    const std::string failLine = failCode == 0 ? "W: Failed to fetch" : "E: Failed to fetch";
    const std::string script =
        "stub=$(mktemp -d); trap 'rm -rf \"$stub\"' EXIT\n"
        "cat >\"$stub/apt-get\" <<STUB\n"
        "#!/bin/sh\n"
        "echo \"\\$*\" >>\"$stub/calls\"\n"
        "if [ \\$(wc -l <\"$stub/calls\") -le " + std::to_string(fails) + " ]; then\n"
        "  echo 'Get:1 http://deb.example/debian-security bookworm-security/main i386 Packages'\n"
        "  echo '" + failLine + " http://deb.example/dists/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?'\n"
        "  exit " + std::to_string(failCode) + "\n"
        "fi\n"
        "echo 'Reading package lists...'\n"
        "STUB\n"
        "chmod +x \"$stub/apt-get\"\n"
        "status=0; PATH=\"$stub:$PATH\" apt_update \"$stub/update.log\"" + options + " || status=$?\n"
        "echo \"status $status, calls $(wc -l <\"$stub/calls\"): $(sort -u \"$stub/calls\")\"\n"
        "exit $status\n";
    return runWithSteps(script, "RUNPACK_APT_PAUSE=0 RUNPACK_APT_ATTEMPTS=" + std::to_string(attempts));
}

TEST(ScriptSteps, AptUpdateTriesAgainUntilEveryIndexIsFetched) {
    Shell r = aptUpdateWithStub(2, 100, 4);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.output,
              "   apt-get update could not fetch every index (exit code 100); trying again in 0 s\n"
              "   apt-get update could not fetch every index (exit code 100); trying again in 0 s\n"
              "status 0, calls 3: update -q\n");
    // Exit code 0 with a "Failed to fetch" warning: apt used older lists, which is no success.
    r = aptUpdateWithStub(1, 0, 4);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.output,
              "   apt-get update could not fetch every index (exit code 100); trying again in 0 s\n"
              "status 0, calls 2: update -q\n");
    r = aptUpdateWithStub(0, 100, 4);
    EXPECT_EQ(r.output, "status 0, calls 1: update -q\n");
    // Options for another set of lists (the source package's) reach every try.
    r = aptUpdateWithStub(1, 100, 4, " -o 'Dir::State::Lists=/tmp/x y'");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.output,
              "   apt-get update could not fetch every index (exit code 100); trying again in 0 s\n"
              "status 0, calls 2: -o Dir::State::Lists=/tmp/x y update -q\n");
}

TEST(ScriptSteps, AptUpdateThatKeepsFailingSaysTheMirrorIsInconsistentBeforeTheLog) {
    for (int failCode : {100, 0}) {
        SCOPED_TRACE(failCode);
        const Shell r = aptUpdateWithStub(99, failCode, 3);
        EXPECT_EQ(r.code, 100);
        const std::string hint = "-- the distribution's mirror looks inconsistent";
        const size_t hintAt = r.output.find(hint);
        ASSERT_NE(hintAt, std::string::npos) << r.output;
        size_t retries = 0;
        for (size_t at = r.output.find("trying again"); at < hintAt; at = r.output.find("trying again", at + 1)) ++retries;
        EXPECT_EQ(retries, 2u) << r.output;
        const size_t logAt = r.output.find("-- apt-get update failed 3 times, the last with exit code 100; its output (");
        EXPECT_GT(logAt, hintAt) << r.output;
        // The log holds every try's output, the mirror's own words among them.
        const std::string log = r.output.substr(logAt);
        EXPECT_NE(log.find("-- apt-get update, try 3 of 3\nGet:1"), std::string::npos) << log;
        EXPECT_NE(log.find("Mirror sync in progress?"), std::string::npos);
        EXPECT_NE(r.output.find("status 100, calls 3: update -q\n"), std::string::npos) << r.output;
    }
}

TEST(ScriptSteps, AptInstallEndsAt100PercentOnlyWhenAptGetSucceeds) {
    // A stand-in apt-get whose status lines stop at 95 %, as apt's own do before the last
    // package is set up, and which ends with CODE.
    const auto install = [](int code) {
        const std::string script =
            "stub=$(mktemp -d); trap 'rm -rf \"$stub\"' EXIT\n"
            "cat >\"$stub/apt-get\" <<'STUB'\n"
            "#!/bin/sh\n"
            "echo \"$*\"\n"
            "echo 'pmstatus:bc:0.0000:Running dpkg'\n"
            "echo 'Unpacking bc ...' >&2\n"
            "echo 'pmstatus:bc:95.2:Installing bc'\n"
            "exit " + std::to_string(code) + "\n"
            "STUB\n"
            "chmod +x \"$stub/apt-get\"\n"
            "status=0; PATH=\"$stub:$PATH\" apt_install \"$stub/install.log\" bc 'wine32:i386' || status=$?\n"
            "echo \"status $status\"; cat \"$stub/install.log\"\n";
        return runWithSteps(script);
    };
    Shell r = install(0);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.output,
              "   installing: 0 %\n"
              "   installing: 90 %\n"
              "   installing: 100 %\n"
              "status 0\n"
              "install -y -q --no-install-recommends -o APT::Status-Fd=1 bc wine32:i386\n"
              "Unpacking bc ...\n");
    // A failure keeps its code and never claims the end.
    r = install(100);
    EXPECT_EQ(r.output,
              "   installing: 0 %\n"
              "   installing: 90 %\n"
              "status 100\n"
              "install -y -q --no-install-recommends -o APT::Status-Fd=1 bc wine32:i386\n"
              "Unpacking bc ...\n");
}

TEST(ScriptSteps, HeartbeatSpeaksWhileTheCommandRunsAndStopsWithIt) {
    // The command waits until it has heard two heartbeats (each a second apart here), then
    // ends with 4; nothing more is said once it has ended. No limit on how long it waits:
    // a loaded machine only makes it slower.
    const Shell r = runWithSteps(
        "heard=$(mktemp); trap 'rm -f \"$heard\"' EXIT\n"
        "status=0\n"
        "with_heartbeat 'making things' sh -c 'until [ $(grep -c still \"$0\") -ge 2 ]; do sleep 0.1; done; exit 4' "
        "\"$heard\" 2>>\"$heard\" || status=$?\n"
        "lines=$(wc -l <\"$heard\"); sleep 2.5\n"
        "echo \"status $status, later $(($(wc -l <\"$heard\") - lines))\"; head -n 2 \"$heard\"\n",
        "RUNPACK_HEARTBEAT=1");
    EXPECT_EQ(r.code, 0);
    const std::string first = "status 4, later 0\n   still making things (00:0";
    ASSERT_EQ(r.output.compare(0, first.size(), first), 0) << r.output;
    const std::string second = r.output.substr(r.output.find('\n', first.size()) + 1);
    EXPECT_TRUE(framed(second, "   still making things (", "0123456789:", " so far)\n")) << r.output;
    // Under set -e a failing command still ends the script with its code.
    const Shell failed = runWithSteps("with_heartbeat 'failing' sh -c 'exit 3'; echo never");
    EXPECT_EQ(failed.code, 3);
    EXPECT_EQ(failed.output, "");
}

// scripts/locale.sh, sourced in a shell that starts with the environment given.
Shell withLocale(const std::string& environment, const std::string& function) {
    return runWithSteps(". " + shellQuoted(RUNPACK_SOURCE_DIR "/scripts/locale.sh") + "; " + function +
                            "; echo \"LANG=${LANG-} LC_ALL=${LC_ALL-} LC_CTYPE=${LC_CTYPE-} $(locale charmap)\"",
                        "env -u LANG -u LC_ALL -u LC_CTYPE -u LC_MESSAGES -u LANGUAGE " + environment);
}

TEST(ScriptSteps, LocaleIsUtf8WhateverTheCallerSet) {
    // The tests' locale: C.UTF-8 in every category, from a shell without LANG too.
    EXPECT_EQ(withLocale("", "use_test_locale").output, "LANG=C.UTF-8 LC_ALL= LC_CTYPE= UTF-8\n");
    EXPECT_EQ(withLocale("LC_ALL=POSIX LC_CTYPE=C LANG=cs_CZ.UTF-8", "use_test_locale").output,
              "LANG=C.UTF-8 LC_ALL= LC_CTYPE= UTF-8\n");
    // Wine's: a UTF-8 locale that chooses a language stays; anything else becomes C.UTF-8.
    EXPECT_EQ(withLocale("LANG=POSIX", "use_utf8_locale").output, "LANG=C.UTF-8 LC_ALL= LC_CTYPE= UTF-8\n");
    EXPECT_EQ(withLocale("", "use_utf8_locale").output, "LANG=C.UTF-8 LC_ALL= LC_CTYPE= UTF-8\n");
    EXPECT_EQ(withLocale("LANG=C.UTF-8 LC_CTYPE=POSIX", "use_utf8_locale").output, "LANG=C.UTF-8 LC_ALL= LC_CTYPE= UTF-8\n");
    EXPECT_EQ(withLocale("LANG=C.UTF-8 LC_ALL=C.UTF-8", "use_utf8_locale").output,
              "LANG=C.UTF-8 LC_ALL=C.UTF-8 LC_CTYPE= UTF-8\n");
    if (system("locale -a 2>/dev/null | grep -qix cs_CZ.utf8") == 0) {
        EXPECT_EQ(withLocale("LANG=cs_CZ.UTF-8", "use_utf8_locale").output, "LANG=cs_CZ.UTF-8 LC_ALL= LC_CTYPE= UTF-8\n");
    }
}
