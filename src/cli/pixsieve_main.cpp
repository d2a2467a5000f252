#include "cli/driver.h"

int main(int argc, char** argv) { return pixsieve_main(argc, argv); }
