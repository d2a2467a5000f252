#include "cli/edit_tool.h"

int main(int argc, char** argv) { return pixsieve_edit_main(argc, argv); }
