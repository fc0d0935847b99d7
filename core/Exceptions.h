#pragma once
// The program's own exception types. Each carries the text the user sees; the
// top of a run turns the type into an exit code and a message prefix.

#include <exception>
#include <stdexcept>
#include <string>

// Input from the user that cannot be used.
class user_error : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// A file that cannot be opened, read or written.
class io_error : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// An operation abandoned: a declined confirmation or a refused image.
class user_abort_error : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// An image refused by the certificate and signature check before it is
// written. It ends a run as a user abort does, but the run logs it also when
// quiet, where a declined prompt stays silent.
class image_refused_error : public user_abort_error
{
public:
    using user_abort_error::user_abort_error;
};

// A failure of the machine's environment. Caught at the top of a run; it has
// the same shape as the others but is not a runtime_error.
class environment_error : public std::exception
{
public:
    explicit environment_error(std::string message) : m_message(std::move(message)) {}
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    std::string m_message;
};
