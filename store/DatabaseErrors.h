#pragma once

#include <exception>
#include <string>

// Every error the program raises carries a message and the name of its class; the top-level error
// box shows the message, the start-up failure box also names the class.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : m_message(std::move(message)) {}
    const char* what() const noexcept override { return m_message.c_str(); }
    const std::string& Message() const { return m_message; }
    virtual const char* ClassName() const { return "Exception"; }

private:
    std::string m_message;
};

// Raised by a record set itself (closed dataset, unknown field, wrong state, conflicts on post or
// delete). Messages that concern one record set already carry its name in front.
class EDatabaseError : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { return "EDatabaseError"; }
};

// Raised when the database engine reports a failure; carries the engine's own error code.
class EOleException : public Exception {
public:
    EOleException(std::string message, int errorCode) : Exception(std::move(message)), m_errorCode(errorCode) {}
    const char* ClassName() const override { return "EOleException"; }
    int ErrorCode() const { return m_errorCode; }

private:
    int m_errorCode;
};
