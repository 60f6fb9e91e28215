// Leak reports from the system's Qt, font and display libraries are not ours.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libQt6\nleak:libfontconfig\nleak:libfreetype\nleak:libglib\nleak:libdbus\nleak:libxcb\n"
           "leak:libstdc++\nleak:libX11\nleak:libEGL\nleak:libGLX\nleak:libgobject\n";
}
