// Exceptions raised by the entity runtime.
//
// Every message names what was expected and what was found, so that a failure read in a log
// can be diagnosed without the input at hand.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace Orlo {

// Base of every runtime exception. msg() and what() return the same text.
class Exception : public std::exception {
  public:
    explicit Exception(std::string msg) : msg_(std::move(msg)) {}

    const std::string& msg() const noexcept { return msg_; }
    const char* what() const noexcept override { return msg_.c_str(); }

  private:
    std::string msg_;
};

// Text does not match the form a parser expects.
class ParseException : public Exception {
  public:
    using Exception::Exception;
};

// A number is outside the range of the type it is read into.
class RangeException : public Exception {
  public:
    using Exception::Exception;
};

// A value of one type was used where another type was required.
class TypeException : public Exception {
  public:
    using Exception::Exception;
};

// A hash was asked of a type that has none.
class UnhashableException : public Exception {
  public:
    using Exception::Exception;
};

}  // namespace Orlo
