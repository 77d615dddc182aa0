#include "quorrel/program/runtime.h"

int main(int argc, char** argv) { return quorrel::RunProgram(argc, argv); }
