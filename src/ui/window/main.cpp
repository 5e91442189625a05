#include "ui/window/program.h"

int main(int argc, char* argv[]) { return korvan::RunWindowProgram(argc, argv); }
