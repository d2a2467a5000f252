#include "cli/progress.h"

#include <chrono>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "capture.h"
#include "support/debug.h"

namespace {

using namespace std::chrono_literals;

// What the bar wrote, on a clock the test moves by hand.
struct Screen {
    std::FILE* file = std::tmpfile();
    ProgressBar::Clock::time_point time = ProgressBar::Clock::time_point{} + 1h;

    ~Screen()
    {
        if (file != nullptr)
            std::fclose(file);
    }
    std::string text()
    {
        std::fflush(file);
        std::rewind(file);
        std::string all;
        char buf[256];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, file)) > 0;)
            all.append(buf, n);
        return all;
    }
};

// Blanks over `width` characters, between returns to the start of the line.
std::string erased(size_t width)
{
    std::string text(width + 2, ' ');
    text.front() = text.back() = '\r';
    return text;
}

TEST(ProgressBar, AppearsAfterHalfASecondAndRedrawsAtMostTenTimesASecond)
{
    Screen screen;
    ASSERT_NE(screen.file, nullptr);
    {
        ProgressBar bar(true, false, 10, screen.file, [&screen] { return screen.time; });
        bar.update(1, 3);
        screen.time += 499ms;
        bar.update(1, 3);
        EXPECT_EQ(screen.text(), "");
        screen.time += 1ms;
        bar.update(1, 3);
        const std::string first = "\r[##------------------] 1/10 movies, 3 bitmaps, 0:00";
        EXPECT_EQ(screen.text(), first);
        screen.time += 99ms;
        bar.update(2, 4);
        EXPECT_EQ(screen.text(), first);
        screen.time = screen.time - 599ms + 65s;
        bar.update(10, 12);
        const std::string last = "\r[####################] 10/10 movies, 12 bitmaps, 1:05";
        EXPECT_EQ(screen.text(), first + last);
    }
    // Gone when the run ends: blanks over the whole bar, the cursor back at the start.
    const std::string bar = "[####################] 10/10 movies, 12 bitmaps, 1:05";
    EXPECT_EQ(screen.text().substr(screen.text().rfind("\r[")), "\r" + bar + erased(bar.size()));
}

TEST(ProgressBar, ShorterBarsCoverLongerOnesAndADisabledBarShowsNothing)
{
    Screen screen;
    ASSERT_NE(screen.file, nullptr);
    {
        ProgressBar off(false, true, 4, screen.file, [&screen] { return screen.time; });
        screen.time += 10s;
        off.update(2, 100);
        off.erase();
    }
    EXPECT_EQ(screen.text(), "");

    ProgressBar bar(true, false, 4, screen.file, [&screen] { return screen.time; });
    screen.time += 1s;
    bar.update(1, 12345);
    screen.time += 1s;
    bar.update(2, 1);
    const std::string drawn = "\r[#####---------------] 1/4 movies, 12345 bitmaps, 0:01"
                              "\r[##########----------] 2/4 movies, 1 bitmaps, 0:02    ";
    EXPECT_EQ(screen.text(), drawn);
    bar.erase();
    bar.erase();  // nothing left to erase
    EXPECT_EQ(screen.text(), drawn + erased(drawn.size() / 2 - 1));
}

TEST(ProgressBar, StepsAsideForEachLineOnlyWhenSharingTheTerminal)
{
    for (bool shared : {false, true}) {
        Screen screen;
        ASSERT_NE(screen.file, nullptr);
        ProgressBar bar(true, shared, 2, screen.file, [&screen] { return screen.time; });
        screen.time += 1s;
        bar.update(1, 0);
        const std::string drawn = screen.text();
        testkit::CapturedStdout capture;
        DEBUG_LINE("main", "a line");
        DEBUG_LINE("main", "another line");  // the bar is already out of the way
        capture.take();
        EXPECT_EQ(screen.text(), shared ? drawn + erased(drawn.size() - 1) : drawn);
        screen.time += 1s;
        bar.update(2, 0);  // drawn again
        EXPECT_NE(screen.text().rfind("2/2 movies"), std::string::npos) << shared;
    }
}

}  // namespace
