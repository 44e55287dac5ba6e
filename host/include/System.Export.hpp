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
