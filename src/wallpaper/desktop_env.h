// Checks that a wallpaper set now will reach the logged-in user's desktop.
#pragma once

// Reports the session, the shell and the wallpaper policy. False (Session 0 or no shell
// window) means exit code 4.
bool CheckDesktopEnvironment();
