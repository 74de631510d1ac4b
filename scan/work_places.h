// The places on this computer that can take the work besides the mounted
// volumes: the user's videos folder and a folder the user chose.
#pragma once

#include <string>

struct WorkPlaces {
    std::string home;    // the videos folder; empty: none offered
    std::string chosen;  // chosen through "다른 폴더…"; empty: none
};

// The XDG videos folder when it exists, else the home folder; empty when
// neither is a folder. Settled on first use. Any thread.
std::string videosFolder();

// The folder chosen last (the application restores it at start-up). Any thread.
void setChosenFolder(const std::string& folder);
std::string chosenFolder();

// {videosFolder(), chosenFolder()}.
WorkPlaces systemWorkPlaces();
