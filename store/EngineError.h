#pragma once

#include <string>

// The one place an engine's failure becomes the program's error: EOleException with the engine's
// message, cleaned of trailing full stops, blanks and control characters, and the engine's own code.
[[noreturn]] void RaiseEngineError(std::string message, int code);

// Cleans an engine message the way every EOleException shows it.
std::string CleanEngineMessage(std::string message);
