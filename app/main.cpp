// The korvat executable: all of it lies in the library, so that the tests run the same code.
#include "app/run.h"

int main(int argc, char** argv) { return korvat::runKorvat(argc, argv); }
