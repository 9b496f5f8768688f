// brevant: the command line.
#include "cli/commands.h"

int main(int argc, char** argv) { return brevant::cli::Main(argc, argv); }
