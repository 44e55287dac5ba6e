// Design-time registration of component classes: a package's Register
// routine calls RegisterComponents, which hands the classes to the
// registration hook that a design host has installed.
#pragma once

#include "System.Classes.hpp"

namespace System::Classes {

// The design host's hook: `classes[0..highIndex]` go on the palette `page`.
using TRegisterComponentsProc = void (*)(const UnicodeString& page, const TComponentClass* classes,
                                         int highIndex);

// Hands `classes[0..highIndex]` (highIndex is the highest index, not the
// count) to the installed hook. Raises EComponentError when no design host
// has installed one. Whatever the hook raises passes through.
QEV_VCL_API void RegisterComponents(const UnicodeString& page, const TComponentClass* classes, int highIndex);

// Installs the hook (null removes it) and returns the previous one.
QEV_VCL_API TRegisterComponentsProc SetRegisterComponentsProc(TRegisterComponentsProc hook) noexcept;

}  // namespace System::Classes
