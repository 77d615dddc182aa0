#include "quorrel/driver.h"

int main(int argc, char** argv) { return quorrel::RunProgram(argc, argv); }
