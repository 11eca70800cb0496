#pragma once

// Runs a program with arguments, no input, a time limit, and its output captured.

#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/TestFiles.h"

namespace qz::testing {

struct ProcessResult {
    bool exited = false;  // false: killed by a signal (a crash, or the time limit)
    int status = -1;      // the exit status when exited
    std::string out, err;
};

inline std::string shellQuoted(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

inline ProcessResult runProcess(const std::vector<std::string>& argv, int seconds = 60) {
    const TempDir dir;
    std::string command = "timeout -s KILL " + std::to_string(seconds);
    for (const std::string& a : argv)
        command += " " + shellQuoted(a);
    command += " >" + shellQuoted(dir.file("out")) + " 2>" + shellQuoted(dir.file("err")) + " </dev/null";
    const int raw = std::system(command.c_str());
    ProcessResult r;
    // timeout reports its KILL as 137 and passes a crashed child's 128 + signal through.
    r.exited = WIFEXITED(raw) && WEXITSTATUS(raw) < 124;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = readFile(dir.file("out"));
    r.err = readFile(dir.file("err"));
    return r;
}

}  // namespace qz::testing
