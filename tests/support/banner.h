// The banner every run of the program prints first on standard error.
#pragma once

#include <string>

inline const std::string banner = "\nSBC Encoder LIB Version 1.5\n"
                                  "vantrel: raw SBC stream encoder, by the vantrel developers\n\n";
