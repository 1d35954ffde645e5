// Export macro of the object layer: lumarek-general is built with hidden
// visibility, so every class the programs link against is marked here.
#pragma once

#if defined(__GNUC__)
#define LMR_QT_EXPORT __attribute__((visibility("default")))
#else
#define LMR_QT_EXPORT
#endif
