// plcsim: simulated GE Series 90 PLC stations on a serial line.
#include "sim/cli.h"

int main(int argc, char** argv) { return plcsim::RunProgram(argc, argv); }
