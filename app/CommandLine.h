#pragma once

#include <cstdio>

// The two conventional options of linecard-updater, answered before the
// application object exists, so that neither needs a window or a display.
namespace CommandLine {

enum { GoOn = -1, BadOption = 64 };

// "--help" or "-h": the usage on out, exit 0; "--version" or "-v": the
// program's name and version on out, exit 0. Otherwise GoOn: every other
// argument is left to Qt, which takes its own options (such as -platform).
int answerBeforeStart(int argc, char *argv[], std::FILE *out);

// An argument Qt did not take, or null when none is left: the program has
// no option of its own besides the two above.
const char *leftOver(int argc, char *argv[]);

const char *version();
const char *helpText();

} // namespace CommandLine
