#include "app/run.h"

int main(int argc, char** argv) { return korvat::runKorvat(argc, argv); }
