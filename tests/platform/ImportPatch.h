#pragma once
// Counting what a unit asks of the system, instead of timing it: the test
// program's import table entry of a system function is pointed at a stand-in
// that counts the calls of one thread and then makes the real call. A loaded
// machine changes how long a call takes, never what it calls.

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

namespace importpatch {

// Points the test program's import of Module!Function at Replacement; returns
// the address the import held, nullptr when the program does not import it.
void* PatchImport(const char* Module, const char* Function, void* Replacement);

// While it lives, counts the calls that the thread which made it makes to the
// registry (the key open, create, query and set calls, A and W) and to
// WaitForSingleObject, whose time-outs it keeps. Other threads' calls go
// through uncounted. One at a time.
class TCallCounter {
public:
    TCallCounter();
    ~TCallCounter();
    TCallCounter(const TCallCounter&) = delete;
    TCallCounter& operator=(const TCallCounter&) = delete;

    // False when the program does not import the counted calls, so that a
    // count of 0 would prove nothing.
    bool Installed() const { return installed_; }
    int RegistryCalls() const;
    int Waits() const;
    // The time-out of every counted wait, in call order.
    std::vector<DWORD> WaitTimeouts() const;
    void Clear();

private:
    bool installed_ = false;
    std::vector<std::pair<std::string, void*>> restore_; // "module!function", real address
};

} // namespace importpatch
