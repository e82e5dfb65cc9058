// reelwright-fix: repairs AVI files from the command line.
#include "cli/cli_unit.h"

int main(int argc, char** argv) { return run_cli(argc, argv); }
