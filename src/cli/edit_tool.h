// pixsieve-edit: load a movie, put edited bitmaps back, shrink or add bitmaps, save.
#pragma once

#include <string>
#include <vector>

enum class SaveContainer { same, fws, cws, zws };

struct EditOptions {
    std::string in, out;
    bool replace = false;
    bool small = false;
    std::vector<std::pair<std::string, std::string>> adds;  // (class name as typed, image path)
    SaveContainer container = SaveContainer::same;
};

// Parses the arguments after the program name; false when they are not a valid call.
bool parse_edit_options(const std::vector<std::string>& args, EditOptions* options);

// Runs the whole command; returns the exit status (0 done, 1 failed, 2 bad usage).
int pixsieve_edit_main(int argc, char** argv);
