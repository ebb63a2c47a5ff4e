// mendkit.exe: applies the patches on this medium to the installed products.
#include "MendCore.h"
#include "MendWin.h"

int main()
{
    HideMendConsole();
    CMendWinUi ui;
    CMendWinRegistry registry;
    CMendWinRunner runner;
    CMendWinFiles files;
    CMendWinConsole console;
    CMendWinProfile profile;
    CMendWinSystem system;
    MendWorld world{ui, registry, runner, files, console, profile, system};
    return RunMendSequence(world);
}
