// zrlink -- talk to an attached handheld from the command line.
#include "cli.h"

int main(int argc, char **argv) { return zrcli::run(argc, argv); }

#if defined(__SANITIZE_ADDRESS__)
// LeakSanitizer (the sanitizer build): what system libraries keep for the life of the
// process is not zrlink's leak: the D-Bus connection SDL opens for screen, and the font
// configuration cairo loads for the contact sheet's labels.
extern "C" const char *__lsan_default_suppressions() { return "leak:libdbus-1.so\nleak:libfontconfig.so\n"; }
#endif
