// Runs a tool as a person does, with given standard input, and captures
// both outputs and the exit status.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "tests/common/unx/pwfixture.h"

struct ToolRun {
    int status = -1;
    std::string out, err;
};

// Runs a command line with the given standard input; captures both outputs.
inline ToolRun run(const pwfix::TempDir &tmp, const std::string &args, const std::string &input = "")
{
    const std::string in = tmp.file("stdin"), out = tmp.file("stdout"), err = tmp.file("stderr");
    pwfix::writeFile(in, input);
    std::string cmd = args + " <" + in + " >" + out + " 2>" + err;
    int rc = system(cmd.c_str());
    ToolRun r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.out = pwfix::readFile(out);
    r.err = pwfix::readFile(err);
    return r;
}

