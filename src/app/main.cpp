// The program entry of twinfold (program.h).
#include "app/program.h"

int main(int argc, char** argv) { return twf::RunProgram(argc, argv, twf::TProgramConfig{}); }
