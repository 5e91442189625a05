// korvan-cli-straightforward: the batch program with every stage the way the
// method is written; its reports are the bytes korvan-cli must write.
#include "cli/cli.h"
#include "run/straightforward_forms.h"

int main(int argc, char** argv) { return RunCli(argc, argv, korvan::StraightforwardForms()); }
