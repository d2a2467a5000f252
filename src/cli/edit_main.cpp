#include "cli/edit_tool.h"
#include "platform/platform.h"

#ifdef _WIN32
// The runtime's start-up expands unquoted wildcards in the arguments, as a Windows user
// of a console program expects ("pixsieve *.swf").
extern "C" int _dowildcard;
int _dowildcard = -1;

// The arguments as the system holds them (UTF-16), so a path with any character works.
int wmain(int argc, wchar_t** argv) { return platform_run_utf8_main(argc, argv, pixsieve_edit_main); }
#else
int main(int argc, char** argv) { return pixsieve_edit_main(argc, argv); }
#endif
