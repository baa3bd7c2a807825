// zrlink -- talk to an attached handheld from the command line.
#include "cli.h"

int main(int argc, char **argv) { return zrcli::run(argc, argv); }
