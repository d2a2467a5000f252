// The version both programs report with --version.
#pragma once

inline constexpr const char kPixsieveVersion[] = "1.1.0";
