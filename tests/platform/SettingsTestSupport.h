#pragma once
// Fixtures of the settings, translation and counter tests: the program key
// redirected to the test's scratch key and raw registry helpers that do not
// go through the code under test. The stand-in programs lie beside the test
// program (ktest::ProgramDir).

#include "KorvTest.h"

#include <windows.h>

#include <string>

namespace settingstest {

// ASCII only: the scratch names and stub paths are plain.
std::string Narrow(const std::wstring& Text);
std::wstring Widen(const std::string& Text);

// Writes through an open key (RegSetValueExA).
void SetSz(HKEY Key, const char* Name, const std::string& Value);
void SetDword(HKEY Key, const char* Name, DWORD Value);
// True with the REG_SZ text (its NUL removed) when the value is a REG_SZ.
bool GetSz(HKEY Key, const char* Name, std::string& Value);
// The value's type, REG_NONE (0) when missing.
DWORD TypeOf(HKEY Key, const char* Name);

// HKCU\<scratch> and its HKLM twin in the 32-bit view stand in for the
// program key (ProgramKey() points at them); the settings start as the
// compiled-in defaults. Both are removed and everything restored afterwards.
class ProgramKeyTest : public ktest::ScratchKeyTest {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string key_;      // the scratch path as ProgramKey() gives it
    HKEY lm32_ = nullptr;  // HKLM\<scratch>, 32-bit view
};

// A scratch folder (ending in a backslash), made and removed by the caller.
std::wstring MakeScratchFolder(const wchar_t* Tag);

} // namespace settingstest
