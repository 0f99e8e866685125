#pragma once

#include <string>

#include "platform/Platform.h"

// The system's message for an error, without its line end and closing dots: trailing
// bytes below 0x21 and "." are dropped. Empty when the system has no text for the code.
std::string SystemErrorText(const platform::TError& error);
