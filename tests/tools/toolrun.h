// Runs a tool as a person does, with given standard input, and captures
// both outputs and the exit status.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "tests/common/vlx/pwlayout.h"

struct ToolRun {
    int status = -1;
    std::string out, err;
};

// Runs a command line with the given standard input; captures both outputs.
inline ToolRun run(const pwl::TempDir &tmp, const std::string &args, const std::string &input = "")
{
    const std::string in = tmp.file("stdin"), out = tmp.file("stdout"), err = tmp.file("stderr");
    pwl::writeFile(in, pwl::bytes(input));
    std::string cmd = args + " <" + in + " >" + out + " 2>" + err;
    int rc = system(cmd.c_str());
    ToolRun r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    pwl::Bytes o = pwl::readFile(out), e = pwl::readFile(err);
    r.out.assign(o.begin(), o.end());
    r.err.assign(e.begin(), e.end());
    return r;
}

