// Korvelle, the wizard and its engine.
#include "app/qvAppBody.h"
#include "platform/GuardU.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    Guard([] { InitMainProgramUnits(); });
    int code = 0;
    Guard([&code] { code = RunApplication(); });
    return code;
}
