#pragma once
// The inspection of a running program: started with KV_INSPECT=1 in its
// environment, a program of the form library keeps a hidden window of class
// "KvInspect" (caption "KvInspect <process id>") that answers requests of a
// second process (the tests' formdrive.exe) sent as WM_COPYDATA: a
// property of a named control as text, a click on a named control, the list
// of forms and their components. Without the variable there is no window
// and so no answer. Nothing else of the program changes.
//
// A request is UTF-16 text, fields split by tabs, with dwData
// kInspectRequest and the asker's window in wParam; the answer goes back to
// that window, before the request returns, as WM_COPYDATA with dwData
// kInspectReply: "ok" or "error", a tab, then the value or the reason.
//   get <path> <property>   the property's text (TControl::InspectProperty)
//   click <path>            posts a left press and release at the control's
//                           centre (a native button: BM_CLICK); the click
//                           happens after the answer
//   list                    one line per component: path, tab, class
//   find <path>             the control's state as fields name=value split
//                           by tabs: class, visible, enabled, caption,
//                           bounds, handle (its window, 0 for a windowless
//                           control), and checked and step where the
//                           control has them
// A path is "Form.Control", "Control" (the first form that has one of that
// name) or "Form".

#include "controls/KvComponents.h"

#include <windows.h>

#include <string>

inline constexpr wchar_t kInspectClass[] = L"KvInspect";
inline constexpr ULONG_PTR kInspectRequest = 0x4B560001;
inline constexpr ULONG_PTR kInspectReply = 0x4B560002;

// The inspection window owned by owner when KV_INSPECT is "1", else null.
TComponent* StartInspectionIfAsked(TComponent* owner);

// The answer to one request's text ("ok\t..." or "error\t...").
std::wstring AnswerInspection(const std::wstring& request);
