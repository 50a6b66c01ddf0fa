// The three commands; each returns the program's exit status.
#pragma once

#include "cli.h"

namespace vcomusb {

int RunDemo(const Options& options);
int RunTerm(const Options& options);
int RunPty(const Options& options);

}  // namespace vcomusb
