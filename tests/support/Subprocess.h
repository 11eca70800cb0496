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

// s as one word for sh.
inline std::string shellQuoted(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

inline ProcessResult runProcess(const std::vector<std::string>& argv, int seconds = 60) {
    const TempDir dir;
    const auto quoted = shellQuoted;
    std::string command = "timeout -s KILL " + std::to_string(seconds);
    for (const std::string& a : argv)
        command += " " + quoted(a);
    command += " >" + quoted(dir.file("out")) + " 2>" + quoted(dir.file("err")) + " </dev/null";
    const int raw = std::system(command.c_str());
    // timeout reports its KILL as 137 and passes a crashed child's 128 + signal through.
    const bool exited = WIFEXITED(raw) && WEXITSTATUS(raw) < 124;
    return {exited, WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readFile(dir.file("out")),
            readFile(dir.file("err"))};
}

}  // namespace qz::testing
