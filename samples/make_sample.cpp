// Writes the bundled sample movie. Usage: make-sample OUT.swf
#include <cstdio>

#include "swf_builder.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-sample OUT.swf\n");
        return 2;
    }
    swfkit::Movie movie;
    movie.container = swfkit::Container::CWS;
    const uint8_t background[] = {0x33, 0x66, 0x99};
    movie.tag(9, background);  // SetBackgroundColor
    movie.tag(1, {});          // ShowFrame
    movie.end();
    return swfkit::write_file(argv[1], movie.build()) ? 0 : 1;
}
