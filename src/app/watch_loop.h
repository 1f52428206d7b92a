// The resident part of a watch run.
#pragma once

#include <string>
#include <vector>

// Guards target every interval seconds until the stop event or a ready update ends the watch.
void WatchLoop(unsigned long interval, const std::wstring& target, const std::wstring& stageDir,
               const std::vector<unsigned char>& pictureBytes);
