// The application's software version, reported at start-up and through self-diagnosis.
#pragma once

inline constexpr const char* kZemSoftwareVersion = "19.22.3";
