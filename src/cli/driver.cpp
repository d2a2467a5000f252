#include "cli/driver.h"

#include <cstdio>

#include "codec/jpeg_decoder.h"
#include "codec/png.h"
#include "platform/platform.h"
#include "support/debug.h"
#include "swf/extract.h"
#include "swf/swf.h"
#include "text/charset.h"

namespace {

// GBK text: "工具名称：提取swf中的图片", "使用说明：pixsieve.exe a.swf b.swf c.swf",
// "(或可直接拖动多个swf到图标上)", then the credit line.
constexpr const char kUsage[] =
    "\xB9\xA4\xBE\xDF\xC3\xFB\xB3\xC6\xA3\xBA\xCC\xE1\xC8\xA1swf\xD6\xD0\xB5\xC4\xCD\xBC\xC6\xAC\n"
    "\xCA\xB9\xD3\xC3\xCB\xB5\xC3\xF7\xA3\xBApixsieve.exe a.swf b.swf c.swf\n"
    "(\xBB\xF2\xBF\xC9\xD6\xB1\xBD\xD3\xCD\xCF\xB6\xAF\xB6\xE0\xB8\xF6swf\xB5\xBD\xCD\xBC\xB1\xEA\xC9\xCF)\n"
    "---by pixsieve(https://pixsieve.invalid)";

}  // namespace

void app_init()
{
    png_init(nullptr, nullptr);
    jpeg_decoder_reset();
    charset_init();
}

bool make_res_dir(const char* movie_path, std::string& folder)
{
    folder = movie_path;
    folder += "_res";
    if (folder.size() >= kMaxPath) {
        DEBUG_LINE("main", "path too long for an output folder: %s", folder.c_str());
        return false;
    }
    if (!platform_prepare_output_dir(folder.c_str())) {
        DEBUG_LINE("main", "cannot use %s as output folder (not a real folder, or cannot be created)",
                   folder.c_str());
        return false;
    }
    return true;
}

int process_file(const char* path)
{
    SwfPtr swf(swf_readfile(path));
    if (!swf)
        return kExitUnreadable;
    std::string folder;
    make_res_dir(swf->path.c_str(), folder);  // a folder that is unusable fails each bitmap, with a line
    return swf_saveimg(swf.get(), 1) == 0 ? kExitDone : kExitNotWritten;
}

int pixsieve_main(int argc, char** argv)
{
    app_init();
    if (argc < 2) {
        std::puts(kUsage);
        std::fflush(stdout);
        platform_pause();
        return 0;
    }
    // An unreadable movie outweighs bitmaps that could not be written.
    int status = kExitDone;
    for (int i = 1; i < argc; ++i) {
        const int file_status = process_file(argv[i]);
        if (status != kExitUnreadable && file_status != kExitDone)
            status = file_status;
        std::fflush(stdout);
    }
    return status;
}
