// Modules that look like packages but are not good ones, for the loader's
// failure cases: each carries its own identity table (fake_*.rc); those
// built with FAKE_ENTRY_POINTS export Initialize and Finalize.
#include "System.Export.hpp"

#if defined(FAKE_ENTRY_POINTS)
extern "C" QEV_EXPORT void Initialize() {}
extern "C" QEV_EXPORT void Finalize() {}
#endif
