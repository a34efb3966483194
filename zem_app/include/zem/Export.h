// ZEM_EXPORT marks what libZem.so offers its host beyond the C entry points: the application
// getter `getApp()` and the class `ZemSelfDiagnosisIpcProxy`. The plug-in is built with hidden
// visibility and a version script (zem_app/libZem.map); both must name a symbol for it to be exported.
#pragma once

#define ZEM_EXPORT __attribute__((visibility("default")))
