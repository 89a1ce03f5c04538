// The names Windows cannot hold as they are, as the extraction judges them on Windows; the rules
// are plain code, so they are checked here on every system.
#include <string>

#include <gtest/gtest.h>

#include "actions/entry_names.h"

TEST(WindowsEntryNames, DeviceNamesAreRefusedInAnyCaseWithAnyExtensionInAnySegment) {
    for (const char* name : {"CON", "con", "Prn", "aux.txt", "NUL.tar.gz", "nul.", "COM1",
                             "com9.log", "LPT1", "lpt9.dat", "CON .txt", "AUX ", "d/aux.txt",
                             "d\\CON\\x.txt", "aux/x.txt", "COM\xc2\xb9", "lpt\xc2\xb3.txt"}) {
        EXPECT_FALSE(IsWindowsSafeEntryName(name)) << name;
    }
    // Only the names themselves: longer names, numbers 0 and 10, and names that only begin so.
    for (const char* name : {"CONSOLE", "con1", "COM0", "COM10", "LPT", "auxiliary.txt", "nul_data",
                             "x.con", "d/prn-settings.ini", "COM\xc2\xb4"}) {
        EXPECT_TRUE(IsWindowsSafeEntryName(name)) << name;
    }
}

TEST(WindowsEntryNames, ReservedAndControlCharactersAndTrailingDotsOrSpacesAreRefused) {
    for (const char* name :
         {"a:b", "a<b", "a>b", "a\"b", "a|b", "what?", "all*", "tab\there", "new\nline", "\x1f",
          "trail.", "trail ", "folder./x", "folder /x", "d/...", "x/.. "}) {
        EXPECT_FALSE(IsWindowsSafeEntryName(name)) << name;
    }
    for (const char* name : {"windows_pc_halden/win32/game.exe", "a.b.c", ".hidden", "x/./y",
                             "x/../y", "dir/", "with space.txt",
                             "\xe6\x95\xb0\xe6\x8d\xae/"
                             "\xe8\xaf\xb4\xe6\x98\x8e.txt",
                             "a,b;c=d[e]{f}+g&h#i%j~k'l!m@n$o^p`q"}) {
        EXPECT_TRUE(IsWindowsSafeEntryName(name)) << name;
    }
}
