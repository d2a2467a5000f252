#include "platform/platform.h"

#include <cstdio>

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

bool platform_exists(const char* path) { return access(path, F_OK) == 0; }

bool platform_readable(const char* path) { return access(path, R_OK) == 0; }

bool platform_make_dir(const char* path) { return mkdir(path, 0777) == 0; }

void platform_pause()
{
    std::fputs("Press any key to continue . . . ", stdout);
    std::fflush(stdout);
    if (!isatty(STDIN_FILENO)) {
        std::putchar('\n');
        return;
    }
    termios saved{};
    tcgetattr(STDIN_FILENO, &saved);
    termios raw = saved;
    raw.c_lflag &= ~(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    char key = 0;
    if (read(STDIN_FILENO, &key, 1) < 0)
        key = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    std::putchar('\n');
}
