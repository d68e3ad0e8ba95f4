#include <cstdio>

#include "corvaner_run.h"

int main(int argc, char** argv) { return corvane_main(argc, argv, stdout); }
