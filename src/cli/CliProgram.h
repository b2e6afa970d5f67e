#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace corvane::cli {

// Runs corvane-cli with the given arguments (argv[0] excluded), writing to
// `out` and `err`; `terminal` says whether `out` is a terminal (progress
// bar) or not (plain lines). Returns the exit status (TExitStatus).
int RunCli(const std::vector<std::string>& args, std::FILE* out, std::FILE* err, bool terminal);

}  // namespace corvane::cli
