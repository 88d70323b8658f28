// Raising the engine's errors: one function builds every EOleException the engines raise, so that
// each shows the engine's message the same way. Costs a copy of the message.
#include "EngineError.h"

#include "DatabaseErrors.h"

std::string CleanEngineMessage(std::string message) {
    constexpr unsigned char kDelete = 0x7f;
    while (!message.empty()) {
        const unsigned char last = static_cast<unsigned char>(message.back());
        if (last == '.' || last == ' ' || last < ' ' || last == kDelete)
            message.pop_back();
        else
            break;
    }
    return message;
}

void RaiseEngineError(std::string message, int code) {
    throw EOleException(CleanEngineMessage(std::move(message)), code);
}
