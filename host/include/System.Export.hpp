// Export macros of the stand-in's two runtime packages: the "rtl" package
// (namespace System) and the "vcl" package (namespace System::Classes).
// Everything else in them keeps hidden visibility.
#pragma once

#if defined(_WIN32)
#  define QEV_EXPORT __declspec(dllexport)
#  define QEV_IMPORT __declspec(dllimport)
#else
#  define QEV_EXPORT __attribute__((visibility("default")))
#  define QEV_IMPORT __attribute__((visibility("default")))
#endif

#if defined(QEV_BUILDING_RTL)
#  define QEV_RTL_API QEV_EXPORT
#else
#  define QEV_RTL_API QEV_IMPORT
#endif

#if defined(QEV_BUILDING_VCL)
#  define QEV_VCL_API QEV_EXPORT
#else
#  define QEV_VCL_API QEV_IMPORT
#endif

// x86 Windows: the packages and every program linked against them share one
// libgcc, libgcc_s_dw2-1.dll. That toolchain unwinds exceptions with DWARF
// tables, which a statically linked libgcc cannot follow from one module into
// another, so a program linked with -static ends, without a message, at the
// first exception that crosses a module. This reference to a symbol that only
// that DLL's import library defines makes such a link fail instead, with an
// undefined reference to `libgcc_s_dw2_1_dll_iname` in the function below:
// link with -static-libstdc++ -shared-libgcc, as qev::rtl and qevtimer.pc do.
#if defined(_WIN32) && defined(__i386__) && defined(__GNUC__)
extern "C" const char libgcc_s_dw2_1_dll_iname[];
namespace System::Runtime {
[[gnu::used]] inline const void* SharedLibgccRequiredLinkWithoutStatic() { return libgcc_s_dw2_1_dll_iname; }
}  // namespace System::Runtime
#endif
