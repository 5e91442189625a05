#pragma once

#include "run/run.h"

// The batch program on its command line, with the stage forms its build
// chooses: reads the options, runs, reports; returns the exit status.
int RunCli(int argc, char** argv, const korvan::StageForms& forms);
