#include "app/CommandLine.h"

#include <cstring>

namespace CommandLine {

const char *version()
{
    return LINECARD_VERSION;
}

const char *helpText()
{
    return "Usage: linecard-updater [--help | --version]\n"
           "\n"
           "Installs firmware into an LQ770 line card plugged into a VX420 controller,\n"
           "which is attached to this computer by USB. Click \"Connect to controller\",\n"
           "plug in one line card and click \"Update card\"; the card's LED turns green\n"
           "when it is done, red after an error.\n"
           "\n"
           "Options:\n"
           "  -h, --help     Show this help and exit.\n"
           "  -v, --version  Show the version and exit.\n"
           "\n"
           "Qt's own options, such as -platform, are accepted as well. Diagnostics\n"
           "(the USB library chosen and why, the link, the bootloader):\n"
           "  QT_LOGGING_RULES=\"linecard.*.debug=true\" linecard-updater\n";
}

int answerBeforeStart(int argc, char *argv[], std::FILE *out)
{
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(helpText(), out);
            return 0;
        }
        if (!std::strcmp(argv[i], "--version") || !std::strcmp(argv[i], "-v")) {
            std::fprintf(out, "linecard-updater %s\n", version());
            return 0;
        }
    }
    return GoOn;
}

const char *leftOver(int argc, char *argv[])
{
    return argc > 1 ? argv[1] : nullptr;
}

} // namespace CommandLine
