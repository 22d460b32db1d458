// Lindova, the tray companion of Korvelle.
#include "platform/GuardU.h"
#include "tray/qvTray.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    Guard([] { InitTrayUnits(); });
    return RunTray();
}
