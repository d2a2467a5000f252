#include "cli/driver.h"

#ifdef _WIN32
// The runtime's start-up expands unquoted wildcards in the arguments, as a Windows user
// of a console program expects ("pixsieve *.swf").
extern "C" int _dowildcard;
int _dowildcard = -1;
#endif

int main(int argc, char** argv) { return pixsieve_main(argc, argv); }
