#include "app/program.h"

int main(int argc, char** argv) { return tovarin::program_start(argc, argv); }
