#pragma once

// Settings the programs make before they create their application object.
namespace QtEnvironment {
// Qt's own event dispatcher instead of the GLib one, unless the user chose:
// the manager's 10 ms service tick wakes both threads all the time the tool
// is connected, and each wake costs less than half the CPU time there.
void useLeanEventLoop();
// Qt's offscreen platform when there is no display to show a window on, or
// when the program is to show none; Qt's own choice when the user made one.
void useOffscreenWithoutDisplay(bool showsNoWindow = false);
// The program's name and version (CMake's project version) for Qt; the
// installed tool also names its desktop entry, by which a Wayland desktop
// matches its window to the menu's entry and icon.
void identifyProgram(const char *name = "linecard-updater", bool desktopEntry = true);
} // namespace QtEnvironment
